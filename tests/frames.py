"""Test-only helper: cut a framed output into the record streams of its processes."""
import struct


def split_frames(data):
    """Returns ({pid: concatenated payloads}, pids in order of first appearance)."""
    streams, order, pos = {}, [], 0
    while pos < len(data):
        assert pos + 6 <= len(data), "truncated frame header"
        pid, length = struct.unpack_from("<IH", data, pos)
        assert 1 <= length <= 65530, length
        pos += 6
        assert pos + length <= len(data), "truncated frame payload"
        if pid not in streams:
            streams[pid] = bytearray()
            order.append(pid)
        streams[pid] += data[pos:pos + length]
        pos += length
    return {pid: bytes(b) for pid, b in streams.items()}, order
