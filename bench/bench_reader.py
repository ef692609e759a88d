"""Reading back a 200,000-value tape with TapeReader, beside marshal.loads and
pickle.loads of the same values, in one run.

The values are those of the writer benchmark (small ints, negative ints, interned and
non-interned strings, bytes, and tuples, lists and dicts of those), written one by one
by a Persister in raw mode. Times are the process's CPU time (the machine may be
shared), best of several runs.

Run: .venv/bin/python bench/bench_reader.py [count]
"""

import itertools
import marshal
import os
import pickle
import sys
import tempfile
import time

import _tarnwick_stream_debug as ts
from _tarnwick_stream_debug import TapeReader
from bench_persister import build_values

COUNT = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
REPEATS = 5


def best(fn):
    times = []
    for _ in range(REPEATS):
        start = time.process_time()
        fn()
        times.append(time.process_time() - start)
    return min(times)


def main():
    values = build_values(COUNT)
    fd, path = tempfile.mkstemp(suffix=".tape")
    os.close(fd)
    p = ts.Persister(ts.FramedWriter(path, raw=True), pickle.dumps)
    for v in values:
        p.write_object(v)
    p.flush()
    tape_size = os.path.getsize(path)
    try:
        m_blobs = [marshal.dumps(v) for v in values]
        p_blobs = [pickle.dumps(v, protocol=pickle.HIGHEST_PROTOCOL) for v in values]
        m_all = marshal.dumps(values)
        p_all = pickle.dumps(values, protocol=pickle.HIGHEST_PROTOCOL)

        def tape_calls():
            r = TapeReader(path, bytes, 0, False)
            for _ in range(COUNT):
                r()
            r.close()

        def tape_iter():
            r = TapeReader(path, bytes, 0, False)
            list(itertools.islice(r, COUNT))
            r.close()

        r = TapeReader(path, bytes, 0, False)
        assert [r() for _ in range(COUNT)] == values, "tape does not read back its values"
        r.close()

        loads_m, loads_p = marshal.loads, pickle.loads
        rows = [
            ("per value: TapeReader()", best(tape_calls)),
            ("per value: marshal.loads", best(lambda: [loads_m(b) for b in m_blobs])),
            ("per value: pickle.loads", best(lambda: [loads_p(b) for b in p_blobs])),
            ("whole tape: islice(TapeReader)", best(tape_iter)),
            ("whole list: marshal.loads", best(lambda: loads_m(m_all))),
            ("whole list: pickle.loads", best(lambda: loads_p(p_all))),
        ]
    finally:
        os.unlink(path)

    print(f"{COUNT} values, tape {tape_size} bytes, marshal {sum(map(len, m_blobs))} bytes "
          f"(per value), best of {REPEATS}")
    print(f"{'':34} {'ns/value':>9}")
    for name, t in rows:
        print(f"{name:34} {t / COUNT * 1e9:9.1f}")
    tape_per, m_per, p_per = rows[0][1], rows[1][1], rows[2][1]
    tape_all, m_all_t, p_all_t = rows[3][1], rows[4][1], rows[5][1]
    print(f"per value:  TapeReader / marshal.loads = {tape_per / m_per:.2f}, "
          f"TapeReader / pickle.loads = {tape_per / p_per:.2f}")
    print(f"whole tape: TapeReader / marshal.loads = {tape_all / m_all_t:.2f}, "
          f"TapeReader / pickle.loads = {tape_all / p_all_t:.2f}")


if __name__ == "__main__":
    main()
