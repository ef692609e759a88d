"""Reading tapes back with TapeReader, beside marshal.loads and pickle.loads of the same
values, in one run.

The values are those of the writer benchmark: 200,000 small ints, negative ints,
interned and non-interned strings, bytes, and tuples, lists and dicts of those.
- Whole tape: the writer benchmark's tape, one list of all values written by a
  Persister in raw mode, read back with one call, against marshal.loads and
  pickle.loads of the whole list.
- Per value: the values written one by one, read back with one call each, against
  one marshal.loads / pickle.loads call per value.
Times are the process's CPU time (the machine may be shared), best of interleaved runs;
each run starts after a full collection, with the collector enabled.

Run: .venv/bin/python bench/bench_reader.py [--count N] [--repeat R]
"""

import argparse
import gc
import marshal
import os
import pickle
import tempfile
import time

import _tarnwick_stream_debug as ts
from bench_persister import build_values


def timed(fn):
    # Every run starts with no collection pending, so each is charged the collector
    # work its own allocations cause and none left over from the run before it.
    gc.collect()
    t0 = time.process_time()
    fn()
    return time.process_time() - t0


def write_tape(path, values, each):
    p = ts.Persister(ts.FramedWriter(path, raw=True), pickle.dumps)
    if each:
        for v in values:
            p.write_object(v)
    else:
        p.write_object(values)
    p.flush()
    return os.path.getsize(path)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--count", type=int, default=200_000)
    ap.add_argument("--repeat", type=int, default=7)
    args = ap.parse_args()
    n = args.count
    values = build_values(n)

    with tempfile.TemporaryDirectory() as d:
        whole_path = os.path.join(d, "whole.tape")
        each_path = os.path.join(d, "each.tape")
        whole_size = write_tape(whole_path, values, each=False)
        write_tape(each_path, values, each=True)

        m_all = marshal.dumps(values)
        p_all = pickle.dumps(values, protocol=5)
        m_each = [marshal.dumps(v) for v in values]
        p_each = [pickle.dumps(v, protocol=5) for v in values]

        assert ts.TapeReader(whole_path, pickle.loads, 0, False)() == values
        r = ts.TapeReader(each_path, pickle.loads, 0, False)
        assert [r() for _ in range(n)] == values

        def tape_whole():
            ts.TapeReader(whole_path, pickle.loads, 0, False)()

        def tape_each():
            r = ts.TapeReader(each_path, pickle.loads, 0, False)
            for _ in range(n):
                r()

        def marshal_each():
            loads = marshal.loads
            for b in m_each:
                loads(b)

        def pickle_each():
            loads = pickle.loads
            for b in p_each:
                loads(b)

        contenders = {
            "whole: TapeReader()": tape_whole,
            "whole: marshal.loads": lambda: marshal.loads(m_all),
            "whole: pickle.loads": lambda: pickle.loads(p_all),
            "per value: TapeReader()": tape_each,
            "per value: marshal.loads": marshal_each,
            "per value: pickle.loads": pickle_each,
        }
        best = dict.fromkeys(contenders, float("inf"))
        for _ in range(args.repeat):
            for name, fn in contenders.items():
                best[name] = min(best[name], timed(fn))

    print(f"{n} values; whole tape {whole_size} bytes, marshal {len(m_all)} bytes, "
          f"pickle {len(p_all)} bytes; best of {args.repeat}")
    for name, t in best.items():
        print(f"{name:28} {t * 1e9 / n:7.1f} ns/value")
    for kind in ("whole", "per value"):
        tape = best[f"{kind}: TapeReader()"]
        print(f"{kind:9}  TapeReader/marshal.loads = {tape / best[f'{kind}: marshal.loads']:.3f}"
              f"  (must be <= 1),  TapeReader/pickle.loads = "
              f"{tape / best[f'{kind}: pickle.loads']:.3f}")


if __name__ == "__main__":
    main()
