"""A Persister writing a raw tape into a temporary file, for the tests."""
import pickle

import _tarnwick_stream_debug as ts


class Tape:
    def __init__(self, path, serializer=pickle.dumps, intern_serializer=None):
        self.path = str(path)
        self.writer = ts.FramedWriter(self.path, raw=True)
        self.p = ts.Persister(self.writer, serializer, intern_serializer=intern_serializer)
        self._seen = 0

    def write(self, *values):
        for v in values:
            self.p.write_object(v)
        return self

    def data(self):
        """Every byte of the tape so far (flushes first)."""
        self.p.flush()
        with open(self.path, "rb") as f:
            return f.read()

    def new(self):
        """The bytes written since the previous call."""
        data = self.data()
        out, self._seen = data[self._seen:], len(data)
        return out


class TapeFactory:
    def __init__(self, tmp_path):
        self.tmp_path = tmp_path
        self.count = 0

    def __call__(self, **kwargs):
        self.count += 1
        return Tape(self.tmp_path / f"tape{self.count}.bin", **kwargs)
