"""Opening either reader type on tape bytes, and draining a tape."""

import _tarnwick_stream_debug as ts


def pickled(payload):
    """The deserialize callable of the tests: tags a pickled payload."""
    return ("P", payload)


def open_reader(kind, path, read_timeout=0, verbose=False, **kw):
    if kind == "tape":
        return ts.TapeReader(str(path), kw.pop("deserialize", pickled), read_timeout, verbose, **kw)
    return ts.ObjectStreamReader(
        str(path), kw.pop("deserialize", pickled), kw.pop("stub_factory", object), read_timeout,
        verbose, **kw)


def next_value(reader):
    return reader.next() if isinstance(reader, ts.TapeReader) else reader()


def drain(reader, limit=100000):
    """Every value up to the first failure; returns (values, exception)."""
    values = []
    for _ in range(limit):
        try:
            values.append(next_value(reader))
        except Exception as exc:  # the reader's own failure ends the tape
            return values, exc
    raise AssertionError("tape did not end")


SHORT_READ = "Could not read: 1 bytes from tracefile with timeout: 0 milliseconds"
