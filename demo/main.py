"""Main job: writes a small raw tape and shows its bytes."""
import os
import tempfile

import _tarnwick_stream_debug as ts


def main():
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "demo.tape")
        w = ts.FramedWriter(path, raw=True)
        # A LIST of two UINT records, written with the primitive writes.
        w.write(bytes([0x21, 0x16, 0x26]))
        w.close()
        data = open(path, "rb").read()
        print(f"wrote {len(data)} bytes to {path}: {data.hex(' ')}")


if __name__ == "__main__":
    main()
