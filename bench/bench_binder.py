"""Binder benchmark: cost of bind + death report per object for each strategy, beside
weakref.finalize on the same objects, and the extra cost a patched type adds to every
deallocation of an unbound instance.

Run: .venv/bin/python bench/bench_binder.py [objects]"""
import collections
import gc
import sys
import time
import weakref

import _tarnwick_stream_debug as ts

N = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
REPEATS = 5


def best(fn):
    times = []
    for _ in range(REPEATS):
        gc.collect()
        gc.disable()
        try:
            t0 = time.perf_counter()
            fn()
            times.append(time.perf_counter() - t0)
        finally:
            gc.enable()
    return min(times) / N * 1e9  # ns per object


def noop(_):
    pass


class Plain:  # weak-referenceable, never registered
    pass


class Supported:  # registered: bound through the patched slot
    pass


class Unpatched:  # same shape, never registered
    pass


class PatchedUnbound:  # registered and patched, instances never bound
    pass


ts.add_bind_support(Supported)
ts.add_bind_support(PatchedUnbound)
ts.Binder().bind(PatchedUnbound())  # patches the slot once


def make_objects(cls):
    return [cls() for _ in range(N)]


def cycle_binder(cls):
    def run():
        objs = make_objects(cls)
        binder = ts.Binder(noop)
        bind = binder.bind
        for o in objs:
            bind(o)
        del o
        objs.clear()  # every death reported here
        del binder
    return run


def cycle_fallback():
    objs = [(i,) for i in range(N)]
    binder = ts.Binder(noop)
    bind = binder.bind
    for o in objs:
        bind(o)
    del o
    objs.clear()
    del binder  # the binder held the tuples alive; no report for them


def cycle_finalize():
    objs = make_objects(Plain)
    for o in objs:
        weakref.finalize(o, noop, 0)
    del o
    objs.clear()


def cycle_create(cls):
    def run():
        objs = make_objects(cls)
        objs.clear()
    return run


def cycle_tuples():
    objs = [(i,) for i in range(N)]
    objs.clear()


def main():
    print(f"Binder benchmark, {N} objects, best of {REPEATS}, ns per object")
    base_obj = best(cycle_create(Plain))
    base_tuple = best(cycle_tuples)
    rows = [
        ("bind support (patched slot)", best(cycle_binder(Supported)), base_obj),
        ("weak reference + callback", best(cycle_binder(Plain)), base_obj),
        ("fallback (kept alive, no report)", best(cycle_fallback), base_tuple),
        ("weakref.finalize", best(cycle_finalize), base_obj),
    ]
    finalize_cost = rows[-1][1] - rows[-1][2]
    print(f"{'strategy':36} {'total':>9} {'minus create/drop':>18} {'vs finalize':>12}")
    for name, total, base in rows:
        extra = total - base
        print(f"{name:36} {total:9.1f} {extra:18.1f} {extra / finalize_cost:11.2f}x")

    print("\nDeallocation of unbound instances (create + drop), ns per object")
    plain = best(cycle_create(Unpatched))
    patched = best(cycle_create(PatchedUnbound))
    print(f"{'Python class, unpatched':36} {plain:9.1f}")
    print(f"{'Python class, patched':36} {patched:9.1f}   ratio {patched / plain:.3f}")

    def deques():
        objs = [collections.deque() for _ in range(N)]
        objs.clear()

    native_plain = best(deques)
    ts.add_bind_support(collections.deque)
    ts.Binder().bind(collections.deque())
    native_patched = best(deques)
    print(f"{'collections.deque, unpatched':36} {native_plain:9.1f}")
    print(f"{'collections.deque, patched':36} {native_patched:9.1f}   ratio "
          f"{native_patched / native_plain:.3f}")


if __name__ == "__main__":
    main()
