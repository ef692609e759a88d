"""Reading back a 200,000-value tape with TapeReader, beside marshal.loads and
pickle.loads of the same values, in one run.

Run: .venv/bin/python bench/bench_reader.py [count]
"""

import itertools
import marshal
import os
import pickle
import random
import sys
import tempfile
import time

from _tarnwick_stream_debug import TapeReader

COUNT = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
REPEATS = 5


def make_values(n, seed=1234):
    rnd = random.Random(seed)
    words = [sys.intern(f"name_{i}") for i in range(300)]

    def plain_str():
        # built at run time, so not interned
        return "".join(rnd.choice("abcdefghijklmnop xyz") for _ in range(rnd.randint(1, 40)))

    def leaf():
        k = rnd.randrange(6)
        if k == 0:
            return rnd.randint(0, 1000)
        if k == 1:
            return -rnd.randint(1, 10**12)
        if k == 2:
            return rnd.choice(words)
        if k == 3:
            return plain_str()
        if k == 4:
            return rnd.randbytes(rnd.randint(0, 32))
        return rnd.randint(0, 2**40)

    def value():
        k = rnd.randrange(10)
        if k < 5:
            return leaf()
        if k < 7:
            return tuple(leaf() for _ in range(rnd.randint(0, 4)))
        if k < 9:
            return [leaf() for _ in range(rnd.randint(0, 6))]
        return {rnd.choice(words): leaf() for _ in range(rnd.randint(0, 4))}

    return [value() for _ in range(n)]


class Encoder:
    """Writes values as records; interned strings are referred back to."""

    def __init__(self):
        self.out = bytearray()
        self.strings = {}
        self.str_records = 0

    def size(self, kind, n):
        out = self.out
        if n <= 11:
            out.append((n << 4) | kind)
        elif n <= 254:
            out += bytes([0xC0 | kind, n])
        elif n <= 65534:
            out.append(0xD0 | kind)
            out += n.to_bytes(2, "little")
        elif n <= 4294967294:
            out.append(0xE0 | kind)
            out += n.to_bytes(4, "little")
        else:
            out.append(0xF0 | kind)
            out += n.to_bytes(8, "little")

    def write(self, v):
        t = type(v)
        if t is int:
            if v >= 0:
                self.size(6, v)
            else:
                self.out += b"\x4d" + v.to_bytes(8, "little", signed=True)
        elif t is str:
            interned = sys.intern(v) is v
            if interned and v in self.strings:
                self.size(12, self.strings[v])
                return
            if interned:
                self.strings[v] = self.str_records
            self.str_records += 1
            data = v.encode()
            self.size(4, len(data))
            self.out += data
        elif t is bytes:
            self.size(0, len(v))
            self.out += v
        elif t is tuple or t is list:
            self.size(3 if t is tuple else 1, len(v))
            for x in v:
                self.write(x)
        elif t is dict:
            self.size(2, len(v))
            for k, x in v.items():
                self.write(k)
                self.write(x)
        else:
            raise TypeError(t)


def best(fn):
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    values = make_values(COUNT)
    enc = Encoder()
    for v in values:
        enc.write(v)
    fd, path = tempfile.mkstemp(suffix=".tape")
    os.write(fd, bytes(enc.out))
    os.close(fd)
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

    print(f"{COUNT} values, tape {len(enc.out)} bytes, marshal {sum(map(len, m_blobs))} bytes "
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
