import os
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

from _tarnwick_stream_debug import FramedWriter
from lowmem import run_low_memory


def split_frames(data):
    """Splits a framed byte stream into (pid, payload) pairs."""
    frames = []
    pos = 0
    while pos < len(data):
        pid, length = struct.unpack_from("<IH", data, pos)
        assert 1 <= length <= 65530
        frames.append((pid, data[pos + 6:pos + 6 + length]))
        assert len(frames[-1][1]) == length, "frame cut short"
        pos += 6 + length
    return frames


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "out.tape")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def test_frame_header_carries_pid_and_length(path):
    w = FramedWriter(path)
    w.write(bytes([0x21, 0x16, 0x26]))
    w.flush()
    assert read(path) == struct.pack("<IH", os.getpid(), 3) + bytes([0x21, 0x16, 0x26])
    assert w.bytes_written == 3


def test_empty_flush_writes_nothing(path):
    w = FramedWriter(path)
    w.flush()
    assert read(path) == b"" and w.bytes_written == 0


@pytest.mark.parametrize("size,payloads", [(65530, [65530]), (65531, [65530, 1]),
                                           (200000, [65530, 65530, 65530, 3410])])
def test_regular_file_frames_are_cut_by_size(path, size, payloads):
    data = os.urandom(size)
    w = FramedWriter(path)
    w.write(data)
    w.flush()
    raw = read(path)
    frames = split_frames(raw)
    assert [len(p) for _, p in frames] == payloads
    assert b"".join(p for _, p in frames) == data
    assert all(pid == os.getpid() for pid, _ in frames)
    if size == 65530:
        assert raw[4:6] == b"\xfa\xff"
    assert w.bytes_written == size


def test_raw_mode_writes_exactly_the_bytes(path):
    w = FramedWriter(path, raw=True)
    w.write(b"abc")
    w.write(memoryview(b"defg")[1:3])
    w.write(bytearray(b"!"))
    w.flush()
    assert read(path) == b"abcef!"
    assert w.bytes_written == os.path.getsize(path) == 6


def test_existing_file_is_appended_not_truncated(path):
    with open(path, "wb") as f:
        f.write(b"keep")
    w = FramedWriter(path, raw=True)
    w.write(b"more")
    w.close()
    assert read(path) == b"keepmore"


@pytest.mark.parametrize("method,value,expected", [
    ("write_uint16", 65535, b"\xff\xff"),
    ("write_uint16", 0x1234, b"\x34\x12"),
    ("write_uint32", 0x01020304, b"\x04\x03\x02\x01"),
    ("write_uint64", 2**64 - 1, b"\xff" * 8),
    ("write_int64", -2, b"\xfe" + b"\xff" * 7),
    ("write_int64", -2**63, b"\x00" * 7 + b"\x80"),
    ("write_float64", 1.5, b"\x00" * 6 + b"\xf8\x3f"),
    ("write_float64", 2, struct.pack("<d", 2.0)),
])
def test_typed_writes_are_little_endian(path, method, value, expected):
    w = FramedWriter(path, raw=True)
    getattr(w, method)(value)
    w.flush()
    assert read(path) == expected


@pytest.mark.parametrize("method,value,exc,message", [
    ("write_uint16", 65536, OverflowError, "value too large for uint16"),
    ("write_uint32", 2**32, OverflowError, "value too large for uint32"),
    ("write_uint32", -1, OverflowError, None),
    ("write_uint16", -1, OverflowError, None),
    ("write_uint64", 2**64, OverflowError, None),
    ("write_uint64", -1, OverflowError, None),
    ("write_int64", 2**63, OverflowError, None),
    ("write_uint16", "1", TypeError, None),
    ("write_float64", "x", TypeError, None),
    ("write", "text", TypeError, None),
    ("write", 5, TypeError, None),
])
def test_conversion_failures_append_nothing(path, method, value, exc, message):
    w = FramedWriter(path, raw=True)
    with pytest.raises(exc) as info:
        getattr(w, method)(value)
    if message:
        assert str(info.value) == message
    w.flush()
    assert read(path) == b""


def test_close_flushes_and_is_idempotent(path):
    w = FramedWriter(path, raw=True)
    assert w.fd >= 0 and w.path == path and w.is_fifo is False
    w.write(b"x")
    w.close()
    assert w.fd == -1 and read(path) == b"x"
    w.close()
    # A closed writer keeps accepting writes into its buffer; nothing reaches a file.
    w.write(b"y")
    w.flush()
    assert read(path) == b"x"


def test_uninitialised_writer_raises_cleanly(path):
    w = FramedWriter.__new__(FramedWriter)
    assert w.fd == -1 and w.path == "" and w.bytes_written == 0
    w.close()
    for call in (lambda: w.write(b"a"), w.flush, w.drain, w.resume, lambda: w.write_uint16(1)):
        with pytest.raises(RuntimeError):
            call()


def test_out_of_memory_raises_memory_error_and_appends_nothing():
    out = run_low_memory("""
        import _tarnwick_stream_debug as ts
        w = ts.FramedWriter("/dev/null", raw=True)
        w.write(b"x" * (1 << 26))  # the buffer is exactly full: any append must grow it
        failed = []
        with low_memory():
            for name, arg in [("write", b"y"), ("write_uint16", 1), ("write_uint32", 1),
                              ("write_uint64", 1), ("write_int64", -1),
                              ("write_float64", 1.0)]:
                try:
                    getattr(w, name)(arg)
                except MemoryError:
                    failed.append(name)
        w.write(b"z")
        w.close()
        print(len(failed), w.bytes_written)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["6", str((1 << 26) + 1)]


def test_type_is_final():
    with pytest.raises(TypeError):
        class Sub(FramedWriter):
            pass


@pytest.mark.parametrize("bad", ["/nonexistent-dir/x/y.tape", "/"])
def test_open_failure_names_path(bad):
    with pytest.raises(OSError, match="Could not open file: .* for writing: "):
        FramedWriter(bad)


def test_dealloc_flushes(path):
    w = FramedWriter(path, raw=True)
    w.write(b"bye")
    del w
    assert read(path) == b"bye"


def test_failed_write_raises_oserror_and_counts_only_accepted(tmp_path):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    w = FramedWriter("/dev/full", raw=True)
    w.write(b"abc")
    with pytest.raises(OSError) as info:
        w.flush()
    assert "/dev/full" in str(info.value)
    assert info.value.errno is not None
    assert w.bytes_written == 0


def test_broken_fifo_raises_oserror(fifo_reader):
    w = FramedWriter(fifo_reader.path)
    fifo_reader.close()
    w.write(b"abc")
    with pytest.raises(BrokenPipeError, match="fifo"):
        w.flush()


class FifoDrain:
    """A real named pipe read to its end by a background thread."""

    def __init__(self, path):
        self.path = path
        self.got = bytearray()
        os.mkfifo(path)
        self.thread = threading.Thread(target=self._read)
        self.thread.start()

    def _read(self):
        with open(self.path, "rb") as f:
            while chunk := f.read(65536):
                self.got.extend(chunk)

    def result(self):
        self.thread.join(20)
        assert not self.thread.is_alive()
        return bytes(self.got)


def test_fifo_frames_are_4096_and_whole(tmp_path):
    fifo = str(tmp_path / "pipe")
    drain = FifoDrain(fifo)
    # Opening blocks until the reader arrives; the interpreter lock is released meanwhile.
    w = FramedWriter(fifo)
    assert w.is_fifo
    data = os.urandom(10000)
    w.write(data)
    w.close()
    frames = split_frames(drain.result())
    assert [len(p) for _, p in frames] == [4090, 4090, 1820]
    assert b"".join(p for _, p in frames) == data


def test_fifo_shared_by_processes_keeps_frames_whole(tmp_path):
    fifo = str(tmp_path / "pipe")
    drain = FifoDrain(fifo)
    w = FramedWriter(fifo)
    pids = []
    for i in range(3):
        pid = os.fork()
        if pid == 0:
            try:
                w.resume()
                for _ in range(50):
                    w.write(bytes([i]) * 5000)
                    w.flush()
            finally:
                os._exit(0)
        pids.append(pid)
    w.close()
    for pid in pids:
        assert os.waitpid(pid, 0)[1] == 0
    streams = {}
    for pid, payload in split_frames(drain.result()):
        streams.setdefault(pid, bytearray()).extend(payload)
    assert set(streams) == set(pids)
    for i, pid in enumerate(pids):
        assert bytes(streams[pid]) == bytes([i]) * 5000 * 50


# A child started with SIGINT ignored (a background job of a non-interactive shell) would
# keep ignoring it: give it Python's own handler whatever it inherited.
INTERRUPTIBLE = """
import signal
signal.signal(signal.SIGINT, signal.default_int_handler)
"""


def test_waiting_for_a_fifo_reader_can_be_interrupted(tmp_path):
    fifo = str(tmp_path / "lonely")
    os.mkfifo(fifo)
    script = INTERRUPTIBLE + f"""
import _tarnwick_stream_debug as ts
print("opening", flush=True)
try:
    ts.FramedWriter({fifo!r})
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "opening\n"
        time.sleep(0.3)  # now blocked in open(2): no reader ever comes
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=10)
    finally:
        child.kill()
        child.wait()
    assert out == "interrupted\n"


def read_line(stream, timeout=20):
    """One line from a child's unbuffered stdout; fails instead of waiting forever."""
    line = b""
    deadline = time.monotonic() + timeout
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        assert left > 0, f"no line from the child within {timeout} s"
        if select.select([stream], [], [], left)[0]:
            byte = os.read(stream.fileno(), 1)
            if not byte:
                break
            line += byte
    return line.decode()


@pytest.mark.parametrize("raw,method", [(False, "flush"), (True, "flush"), (False, "close")])
def test_flush_blocked_on_a_full_fifo_can_be_interrupted(tmp_path, raw, method):
    # Nobody reads until the interrupt, so the flush blocks. Interrupted, it keeps what
    # it has not sent; the close that follows sends the rest, and the reader gets every
    # byte once, frames whole.
    fifo = str(tmp_path / "full")
    os.mkfifo(fifo)
    script = INTERRUPTIBLE + f"""
import os, signal
import _tarnwick_stream_debug as ts
keep_open = os.open({fifo!r}, os.O_RDONLY | os.O_NONBLOCK)  # lets the writer open
w = ts.FramedWriter({fifo!r}, raw={raw!r})
data = os.urandom(1_000_000)
w.write(data)
in_handler = []
def meddle(*args):  # runs inside the blocked flush: must not touch the buffer
    for call in (lambda: w.write(b"z" * 2_000_000), w.flush):
        try:
            call()
            in_handler.append("done")
        except RuntimeError as e:
            in_handler.append(str(e))
signal.signal(signal.SIGUSR1, meddle)
print("flushing", flush=True)
try:
    w.{method}()
except KeyboardInterrupt:
    print("interrupted", w.bytes_written < len(data), w.fd >= 0, in_handler, flush=True)
w.close()
print("sent", w.bytes_written == len(data), data.hex(), flush=True)
"""
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, bufsize=0)
    got = bytearray()
    try:
        assert read_line(child.stdout) == "flushing\n"
        time.sleep(0.3)
        child.send_signal(signal.SIGUSR1)
        time.sleep(0.3)
        child.send_signal(signal.SIGINT)
        assert read_line(child.stdout) == (
            "interrupted True True ['FramedWriter is flushing', 'FramedWriter is flushing']\n")
        rfd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        try:
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                select.select([rfd], [], [], 0.1)
                try:
                    chunk = os.read(rfd, 1 << 16)
                except BlockingIOError:
                    continue
                if not chunk:
                    break  # the writer has closed
                got.extend(chunk)
        finally:
            os.close(rfd)
        out, _ = child.communicate(timeout=20)
    finally:
        child.kill()
        child.wait()
    sent, ok, hexdata = out.decode().split()
    assert (sent, ok) == ("sent", "True")
    data = bytes.fromhex(hexdata)
    if raw:
        assert bytes(got) == data
    else:
        frames = split_frames(bytes(got))
        assert all(len(p) == 4090 for _, p in frames[:-1])
        assert b"".join(p for _, p in frames) == data


@pytest.fixture
def dgram(tmp_path):
    path = str(tmp_path / "sock")
    s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    s.bind(path)
    s.settimeout(5)
    yield path, s
    s.close()


def test_datagram_socket_gets_one_frame_per_datagram(dgram):
    path, s = dgram
    w = FramedWriter(path)
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    frame = min(probe.getsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF), 65536)
    probe.close()
    data = os.urandom(frame + 100)
    w.write(data)
    w.flush()
    datagrams = [s.recv(70000), s.recv(70000)]
    frames = [split_frames(d) for d in datagrams]
    assert all(len(f) == 1 for f in frames)
    assert [len(f[0][1]) for f in frames] == [frame - 6, 106]
    assert b"".join(f[0][1] for f in frames) == data
    w.close()


def test_socket_connect_failure(tmp_path):
    path = str(tmp_path / "sock")
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.bind(path)
    try:
        with pytest.raises(OSError, match="Could not connect to socket: "):
            FramedWriter(path)
    finally:
        s.close()


def test_socket_path_too_long_for_an_address_is_refused(tmp_path, monkeypatch):
    # Two sockets whose absolute paths are 107 and 108 bytes long: the longer one cannot
    # be named in a socket address, and cutting it short would name the other one.
    monkeypatch.chdir(tmp_path)
    stem = 107 - len(str(tmp_path)) - 1
    short, long_ = "a" * stem, "a" * (stem + 1)
    receivers = []
    for name in (short, long_):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        s.bind(name)
        s.setblocking(False)
        receivers.append(s)
    try:
        with pytest.raises(OSError, match="Could not connect to socket: .*: File name too long"):
            FramedWriter(str(tmp_path / long_))
        with pytest.raises(BlockingIOError):
            receivers[0].recv(100)
    finally:
        for s in receivers:
            s.close()


def test_fork_restamps_and_buffered_bytes_take_each_process_pid(path):
    w = FramedWriter(path)
    w.write(b"early")          # buffered before the fork, never drained
    r, wfd = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            w.resume()
            w.write(b"child")
            w.flush()
        finally:
            os._exit(0)
    os.close(wfd)
    assert os.waitpid(pid, 0)[1] == 0
    os.close(r)
    w.write(b"parent")
    w.flush()
    frames = split_frames(read(path))
    assert frames == [(pid, b"earlychild"), (os.getpid(), b"earlyparent")]


def test_drain_flushes_before_fork(path):
    w = FramedWriter(path)
    w.write(b"shared")
    w.drain()
    pid = os.fork()
    if pid == 0:
        try:
            w.resume()
            w.write(b"c")
            w.close()
        finally:
            os._exit(0)
    assert os.waitpid(pid, 0)[1] == 0
    w.write(b"p")
    w.close()
    assert split_frames(read(path)) == [(os.getpid(), b"shared"), (pid, b"c"), (os.getpid(), b"p")]
