import os
import time

import pytest

import _tarnwick_stream_debug as ts

# Under the sanitizer builds the suite runs far slower; keep generated cases few.
try:
    from hypothesis import settings

    settings.register_profile("sanitizer", max_examples=25, deadline=None)
    settings.register_profile("default", deadline=None)
    settings.load_profile("sanitizer" if os.environ.get("TARNWICK_SANITIZER_RUN") else "default")
except ImportError:  # pragma: no cover
    pass


@pytest.fixture
def mod():
    return ts


class FifoReader:
    """A named pipe whose reading end is open (non-blocking) before any writer opens it."""

    def __init__(self, path):
        self.path = path
        os.mkfifo(path)
        self.fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
        self.got = bytearray()

    def read_available(self):
        """Reads what the pipe holds now; returns everything read so far."""
        while True:
            try:
                chunk = os.read(self.fd, 1 << 16)
            except BlockingIOError:
                break
            if not chunk:
                break
            self.got.extend(chunk)
        return bytes(self.got)

    def read_until_done(self, thread, timeout=20):
        """Keeps reading while `thread` (a writer the full pipe blocks) runs; joins it."""
        deadline = time.monotonic() + timeout
        while thread.is_alive() and time.monotonic() < deadline:
            self.read_available()
            time.sleep(0.001)
        thread.join(timeout=10)
        assert not thread.is_alive()
        return self.read_available()

    def close(self):
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


@pytest.fixture
def fifo_reader(tmp_path):
    reader = FifoReader(str(tmp_path / "fifo"))
    yield reader
    reader.close()  # a writer still blocked on the pipe then fails with EPIPE
