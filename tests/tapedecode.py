"""A small, strict decoder of the tape's record stream, used by the tests only.

It reads every record the writer emits (and the few it does not) and fails loudly on
anything malformed: unknown codes, sizes past the end, references that name no entry.
"""
import struct
from dataclasses import dataclass

import _tarnwick_stream_debug as ts


class TapeError(ValueError):
    pass


@dataclass(frozen=True)
class Pickled:
    data: bytes


@dataclass(frozen=True)
class SerializeError:
    value: object


@dataclass(frozen=True)
class Heartbeat:
    payload: object


_CONTAINERS = {1: list, 3: tuple, 8: set, 9: frozenset}


class Decoder:
    def __init__(self, data, deserialize=Pickled):
        self.data = bytes(data)
        self.pos = 0
        self.strings = []
        self.interns = []
        self.deserialize = deserialize

    def _take(self, n):
        if n < 0 or self.pos + n > len(self.data):
            raise TapeError(f"record at {self.pos} needs {n} bytes past the end")
        chunk = self.data[self.pos:self.pos + n]
        self.pos += n
        return chunk

    def _size(self, high):
        if high <= 11:
            return high
        width = {12: 1, 13: 2, 14: 4, 15: 8}[high]
        return int.from_bytes(self._take(width), "little")

    def at_end(self):
        return self.pos >= len(self.data)

    def read_top(self):
        """The next top-level value; None-sentinel StopIteration at the end."""
        return self._read(top=True)

    def _read(self, top=False):
        while True:
            if self.at_end():
                if top:
                    raise StopIteration
                raise TapeError("stream ends inside a value")
            c = self._take(1)[0]
            if c == 0x5D:  # INTERN_INLINE: defines, yields nothing
                value = self._read()
                self.interns.append(value)
                continue
            break
        low, high = c & 15, c >> 4
        if low == 13:
            if high == 0:
                return None
            if high == 3:
                return struct.unpack("<d", self._take(8))[0]
            if high == 4:
                return struct.unpack("<q", self._take(8))[0]
            if high == 8 and top:
                return Heartbeat(self._read())
            if high == 9:
                return SerializeError(self._read())
            raise TapeError(f"bad fixed-size code {c:#04x} at {self.pos - 1}")
        n = self._size(high)
        if low == 0:
            return self._take(n)
        if low in _CONTAINERS:
            return _CONTAINERS[low](self._read() for _ in range(n))
        if low == 2:
            d = {}
            for _ in range(n):
                k = self._read()
                d[k] = self._read()
            return d
        if low == 4:
            s = self._take(n).decode("utf-8", "strict")
            self.strings.append(s)
            return s
        if low == 5:
            return self.deserialize(self._take(n))
        if low == 6:
            return n
        if low == 7:
            return int.from_bytes(self._take(n), "big", signed=True)
        if low == 10:
            return ts.Binding(n)
        if low == 11:
            if n >= len(self.interns) or n > 2**31 - 1:
                raise TapeError(f"INTERN {n} names no entry ({len(self.interns)} defined)")
            return self.interns[n]
        if low == 12:
            if n >= len(self.strings):
                raise TapeError(f"STR_REF {n} names no entry ({len(self.strings)} defined)")
            return self.strings[n]
        raise TapeError(f"bad sized code {c:#04x}")


def decode(data, deserialize=Pickled):
    """Every top-level value of a raw record stream, in order."""
    dec = Decoder(data, deserialize)
    out = []
    while True:
        try:
            out.append(dec.read_top())
        except StopIteration:
            return out
