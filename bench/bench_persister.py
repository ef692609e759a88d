"""Persister.write_object against marshal.dumps (time) and pickle.dumps(protocol 5) (size).

Encodes one list of 200,000 mixed values (small ints, negative ints, interned and
non-interned strings, bytes, and tuples, lists and dicts of those) into a raw tape, side
by side with the standard library in one run, and prints both ratios. Times are the
process's CPU time (the machine may be shared), best of the interleaved runs.

    .venv/bin/python bench/bench_persister.py [--count N] [--repeat R]
"""
import argparse
import marshal
import os
import pickle
import random
import sys
import tempfile
import time

import _tarnwick_stream_debug as ts


def build_values(count, seed=42):
    rng = random.Random(seed)
    names = [sys.intern(f"name_{i}") for i in range(500)]

    def small():
        return rng.randrange(0, 200)

    def negative():
        return -rng.randrange(1, 1_000_000)

    def interned():
        return names[rng.randrange(len(names))]

    def text():
        return f"text value {rng.randrange(1_000_000)}"  # a new, non-interned str

    def blob():
        return rng.randbytes(rng.randrange(0, 24))

    def scalar():
        return rng.choice((small, negative, interned, text, blob))()

    kinds = [
        small, small, negative, interned, interned, text, blob,
        lambda: (scalar(), scalar()),
        lambda: [scalar() for _ in range(rng.randrange(0, 5))],
        lambda: {interned(): scalar() for _ in range(rng.randrange(0, 4))},
    ]
    return [rng.choice(kinds)() for _ in range(count)]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=11)
    args = ap.parse_args()
    values = build_values(args.count)

    with tempfile.TemporaryDirectory() as d:
        sizes = []

        def persist_list():
            # A fresh writer and Persister each run: empty tables and a buffer that
            # grows from its initial 64 KiB, as at the start of a recording.
            path = os.path.join(d, f"tape{len(sizes)}")
            p = ts.Persister(ts.FramedWriter(path, raw=True), pickle.dumps)
            t0 = time.process_time()
            p.write_object(values)
            t1 = time.process_time()
            p.flush()
            t2 = time.process_time()
            sizes.append(os.path.getsize(path))
            os.unlink(path)
            return t1 - t0, t2 - t0

        def persist_each():
            path = os.path.join(d, "each")
            p = ts.Persister(ts.FramedWriter(path, raw=True), pickle.dumps)
            write = p.write_object
            t0 = time.process_time()
            for v in values:
                write(v)
            t1 = time.process_time()
            os.unlink(path)
            return t1 - t0

        def marshal_list():
            t0 = time.process_time()
            marshal.dumps(values)
            return time.process_time() - t0

        # Interleave the contenders so that machine noise hits them alike; keep the
        # best run of each.
        t_persist = t_flushed = t_marshal = t_each = float("inf")
        for _ in range(args.repeat):
            t_marshal = min(t_marshal, marshal_list())
            encode, flushed = persist_list()
            t_persist = min(t_persist, encode)
            t_flushed = min(t_flushed, flushed)
            t_each = min(t_each, persist_each())

    tape_size = sizes[0]
    pickle_size = len(pickle.dumps(values, 5))
    marshal_size = len(marshal.dumps(values))
    n = len(values)
    print(f"values: {n}")
    print(f"marshal.dumps(list):          {t_marshal * 1e9 / n:7.1f} ns/value, "
          f"{marshal_size} bytes")
    print(f"Persister.write_object(list): {t_persist * 1e9 / n:7.1f} ns/value, "
          f"{tape_size} bytes")
    print(f"  ... and flush to the file:  {t_flushed * 1e9 / n:7.1f} ns/value "
          f"(ratio to marshal {t_flushed / t_marshal:.3f})")
    print(f"Persister.write_object(each): {t_each * 1e9 / n:7.1f} ns/value "
          f"(one Python call per value)")
    print(f"pickle.dumps(list, 5):        {pickle_size} bytes")
    print(f"time ratio  Persister/marshal = {t_persist / t_marshal:.3f}  (must be <= 1)")
    print(f"size ratio  Persister/pickle5 = {tape_size / pickle_size:.3f}  (must be <= 1)")


if __name__ == "__main__":
    main()
