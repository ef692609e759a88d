"""Builds tape bytes for the reader tests: single records, size classes and a small
encoder of Python values that follows the writer's record choices."""

import struct

from _tarnwick_stream_debug import Binding

BYTES, LIST, DICT, TUPLE, STR, PICKLED, UINT, BIGINT, SET, FROZENSET = range(10)
BINDING, INTERN, STR_REF = 10, 11, 12
NONE = b"\x0d"
INTERN_INLINE = b"\x5d"
DROPPED = b"\x7d"
HEARTBEAT = b"\x8d"
SERIALIZE_ERROR = b"\x9d"

# Size class (high nibble) -> byte count of the size field.
_WIDTHS = {12: 1, 13: 2, 14: 4, 15: 8}


def header(kind, n, size_class=None):
    """Control byte and size field of a sized record; the smallest class unless
    size_class (0 for inline, 12-15) is given."""
    if size_class is None:
        if n <= 11:
            size_class = 0
        elif n <= 254:
            size_class = 12
        elif n <= 65534:
            size_class = 13
        elif n <= 4294967294:
            size_class = 14
        else:
            size_class = 15
    if size_class == 0:
        assert n <= 11
        return bytes([(n << 4) | kind])
    width = _WIDTHS[size_class]
    return bytes([(size_class << 4) | kind]) + n.to_bytes(width, "little")


def int64(v):
    return b"\x4d" + struct.pack("<q", v)


def float64(v):
    return b"\x3d" + struct.pack("<d", v)


def bigint(v):
    length = max(1, (v.bit_length() + 8) // 8)
    return header(BIGINT, length) + v.to_bytes(length, "big", signed=True)


def text(s):
    data = s.encode("utf-8")
    return header(STR, len(data)) + data


class Encoder:
    """Encodes values as the writer would: str records take string-table indices,
    and a str written again is referred back to when refer_back(s) says so."""

    def __init__(self, refer_back=lambda s: True):
        self.strings = {}
        self.str_records = 0
        self.refer_back = refer_back

    def encode(self, value):
        out = bytearray()
        self._encode(value, out)
        return bytes(out)

    def _encode(self, v, out):
        t = type(v)
        if v is None:
            out += NONE
        elif t is int:
            if 0 <= v < 2**63:
                out += header(UINT, v)
            elif -(2**63) <= v < 0:
                out += int64(v)
            else:
                out += bigint(v)
        elif t is float:
            out += float64(v)
        elif t is str:
            if v in self.strings and self.refer_back(v):
                out += header(STR_REF, self.strings[v])
            else:
                # Every str record takes the next index, referred back to or not.
                self.strings.setdefault(v, self.str_records)
                self.str_records += 1
                out += text(v)
        elif t is bytes:
            out += header(BYTES, len(v)) + v
        elif t is Binding:
            out += header(BINDING, v.handle)
        elif t in (list, tuple, set, frozenset):
            kind = {list: LIST, tuple: TUPLE, set: SET, frozenset: FROZENSET}[t]
            out += header(kind, len(v))
            for item in v:
                self._encode(item, out)
        elif t is dict:
            out += header(DICT, len(v))
            for k, item in v.items():
                self._encode(k, out)
                self._encode(item, out)
        else:
            raise TypeError(f"cannot encode {t.__name__}")
