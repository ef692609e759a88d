"""Main job: writes a small raw tape with a Persister and shows its bytes."""
import os
import pickle
import sys
import tempfile

import _tarnwick_stream_debug as ts

VALUES = [
    None,
    5,
    300,
    -1,
    sys.intern("abc"),
    sys.intern("abc"),  # the same interned string again: a one-byte reference
    b"hi",
    [1, 2],
    {"a": 1},
    ts.Binding(7),
    1.5,  # no native encoding: a record of the serializer's bytes
]


def main():
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "demo.tape")
        writer = ts.FramedWriter(path, raw=True)
        persister = ts.Persister(writer, pickle.dumps)
        offsets = []
        for value in VALUES:
            persister.write_object(value)
            persister.flush()
            offsets.append(writer.bytes_written)
        writer.close()
        with open(path, "rb") as f:
            data = f.read()
    print(f"wrote {len(data)} bytes for {len(VALUES)} values")
    start = 0
    for value, end in zip(VALUES, offsets):
        print(f"  {value!r:<14} {data[start:end].hex(' ')}")
        start = end


if __name__ == "__main__":
    main()
