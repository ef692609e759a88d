"""The TapeReader type: construction, its states, next/call/iteration, positioning,
markers and counting, the trace line, collector support, the read lock, and timed
reads of tapes that grow while they are read."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from _tarnwick_stream_debug import TapeReader
from readers import SHORT_READ, drain, pickled
from tape_bytes import INTERN, LIST, STR_REF, Encoder, header, text


@pytest.fixture
def path(tmp_path):
    return tmp_path / "tape.bin"


def make(path, data, read_timeout=0, verbose=False, **kw):
    path.write_bytes(data)
    return TapeReader(str(path), pickled, read_timeout, verbose, **kw)


def run_isolated(code, timeout=60):
    """Runs a script in a fresh interpreter, so that a hang is caught by the timeout
    and a crash cannot take the test run down; returns its stdout."""
    here = os.path.dirname(__file__)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, cwd=here,
                          env={**os.environ, "PYTHONPATH": here})
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


# --- Construction and states ---

def test_constructor_arguments(path):
    path.write_bytes(b"\x06")
    with pytest.raises(TypeError):
        TapeReader(path, pickled, 0, False)  # a Path, not a str
    with pytest.raises(TypeError):
        TapeReader(str(path), pickled, 0)
    r = TapeReader(path=str(path), deserialize=pickled, read_timeout=7, verbose=1)
    assert (r.read_timeout, r.verbose, r.bytes_read, r.messages_read) == (7, True, 0, 0)
    with pytest.raises(AttributeError):
        r.bytes_read = 3
    with pytest.raises(RuntimeError, match="already initialized"):
        r.__init__(str(path), pickled, 0, False)
    assert r.next() == 0


def test_a_missing_tape_raises_os_error_and_leaves_a_closed_reader(tmp_path):
    missing = str(tmp_path / "missing.bin")
    with pytest.raises(OSError) as info:
        TapeReader(missing, pickled, 0, False)
    assert str(info.value) == (f"Could not open file: {missing}, mode: rb for reader, "
                               "error: No such file or directory")
    r = TapeReader.__new__(TapeReader)
    with pytest.raises(OSError):
        r.__init__(missing, pickled, 0, False)
    with pytest.raises(RuntimeError, match="^TapeReader is closed$"):
        r.next()
    with pytest.raises(ValueError):
        TapeReader(missing + "\0x", pickled, 0, False)


def test_an_uninitialised_instance_fails_cleanly():
    r = TapeReader.__new__(TapeReader)
    for read in (r.next, r, lambda: next(r)):
        with pytest.raises(RuntimeError, match="^TapeReader is not initialized$"):
            read()
    with pytest.raises(RuntimeError, match="^file is not open$"):
        r.file_offset()
    with pytest.raises(RuntimeError, match="^no path stored$"):
        r.reopen(0)
    assert r.close() is None


def test_next_call_and_iteration_yield_values_then_the_short_read_error(path):
    r = make(path, Encoder().encode([1, "a"]) + b"\x56\x0d\x26" + text("end"))
    assert r.next() == [1, "a"]
    assert r(1, 2, key=3) == 5  # arguments are ignored
    assert iter(r) is r
    got = []
    with pytest.raises(RuntimeError) as info:
        for value in r:
            got.append(value)
    assert got == [None, 2, "end"] and str(info.value) == SHORT_READ
    assert r.messages_read == 5 and r.bytes_read == path.stat().st_size


def test_close_then_reopen_at_a_noted_boundary_keeps_the_tables(path):
    data = text("abc") + b"\x5d\x16" + header(STR_REF, 0) + header(INTERN, 0)
    r = make(path, data)
    first = r.next()
    boundary = r.file_offset()
    assert boundary == 4
    assert r.next() is first
    r.close()
    r.close()
    with pytest.raises(RuntimeError, match="^TapeReader is closed$"):
        r.next()
    with pytest.raises(RuntimeError, match="^file is not open$"):
        r.file_offset()
    assert r.reopen(boundary) is None
    assert r.next() is first and r.next() == 1
    assert r.bytes_read == len(data) + 3  # not reset by reopen
    with pytest.raises(TypeError):
        r.reopen("x")


def test_start_offset_counts_bytes_from_the_offset(path):
    data = text("skipped") + b"\x21\x16\x26"
    r = make(path, data, start_offset=8)
    assert r.next() == [1, 2]
    assert (r.bytes_read, r.file_offset()) == (3, 11)


def open_descriptors(path):
    names = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            names.append(os.readlink(f"/proc/self/fd/{fd}"))
        except OSError:
            pass
    return names.count(str(path))


def test_deleting_an_open_reader_releases_its_file(path):
    path.write_bytes(b"\x06")
    readers = [TapeReader(str(path), pickled, 0, False) for _ in range(20)]
    assert open_descriptors(path) == 20
    del readers
    assert open_descriptors(path) == 0


# --- Markers and counting ---

def test_markers_are_skipped_without_callables_and_counted(path):
    r = make(path, b"\x7d\x06\x8d\x02\x56" + b"\x8d\x0d" * 10**6 + b"\x26")
    assert r.next() == 5
    assert r.messages_read == 3
    assert r.next() == 2  # a long run is skipped in a loop, not by recursion
    assert r.messages_read == 10**6 + 4


def test_marker_callables_are_called_at_any_depth(path):
    seen = []

    def on_dropped(payload):
        seen.append(("D", payload))
        return "dropped"

    r = make(path, b"\x7d\x16\x21\x8d\x12\x14a\x06\x56\x06", on_dropped=on_dropped,
             on_heartbeat=lambda p: ("H", p))
    assert r.next() == "dropped"
    assert r.messages_read == 2  # the marker and the value returned
    assert r.next() == [("H", {"a": 0}), 5]
    assert r.messages_read == 4
    assert seen == [("D", 1)]


def test_an_explicit_none_callable_is_called(path):
    r = make(path, b"\x7d\x06\x56", on_dropped=None)
    with pytest.raises(TypeError):
        r.next()
    assert r.next() == 5


def test_verbose_traces_inline_interns(path, capfd):
    r = make(path, b"\x06" + b"\x5d\x14x\x0b", verbose=True)
    assert r.next() == 0
    assert r.next() == "x"
    r.verbose = False
    err = capfd.readouterr().err
    assert err == "Vostrel - TapeReader[1, 1] - Inline INTERN\n"


# --- Collector support ---

class Holder:
    def __init__(self, flag):
        self.flag = flag

    def __call__(self, payload):
        return Holder(self.flag)

    def __del__(self):
        self.flag.append(True)


def test_a_cycle_through_a_callable_is_collected(path):
    path.write_bytes(b"")
    gone = []
    callable_ = Holder(gone)
    callable_.reader = TapeReader(str(path), callable_, 0, False)
    del callable_
    gc.collect()
    assert gone


def test_a_cycle_through_the_intern_table_is_collected(path):
    # The definition's payload is built by the callable and refers to the reader.
    path.write_bytes(b"\x5d\x15z\x0b")
    gone = []
    r = TapeReader(str(path), Holder(gone), 0, False)
    payload = r.next()
    payload.reader = r
    del r, payload
    gc.collect()
    assert len(gone) == 2  # the payload and the callable


def test_subclasses_work(path):
    class Sub(TapeReader):
        pass

    path.write_bytes(b"\x56")
    r = Sub(str(path), pickled, 0, False)
    assert r() == 5 and isinstance(r, TapeReader)


# --- Read lock ---

def test_a_callable_that_calls_its_own_reader_gets_runtime_error(path):
    errors = []

    def deserialize(payload):
        for op in (r.next, r, r.close):
            try:
                op()
            except RuntimeError as exc:
                errors.append(str(exc))
        return payload

    path.write_bytes(b"\x15z\x56")
    r = TapeReader(str(path), deserialize, 0, False)
    assert r.next() == b"z"
    assert errors == ["TapeReader is already reading on this thread"] * 3
    assert r.next() == 5


def test_a_waiting_thread_lets_the_decode_in_progress_finish():
    # Thread A's deserialize waits (GIL released) until thread B is blocked on the
    # read lock; A can only finish if B gave up the interpreter lock while waiting.
    out = run_isolated("""
        import os, tempfile, threading, time
        from _tarnwick_stream_debug import TapeReader
        fd, path = tempfile.mkstemp(); os.write(fd, b"\\x15a\\x15b"); os.close(fd)
        b_started = threading.Event()
        def deserialize(payload):
            if payload == b"a":
                assert b_started.wait(10)
                time.sleep(0.2)
            return payload
        r = TapeReader(path, deserialize, 0, False)
        results = []
        a = threading.Thread(target=lambda: results.append(r.next()))
        def b_run():
            b_started.set()
            results.append(r())
        a.start(); time.sleep(0.05)
        b = threading.Thread(target=b_run); b.start()
        a.join(20); b.join(20)
        print(sorted(results))
    """)
    assert out.strip() == "[b'a', b'b']"


# --- Timed reads ---

def test_appended_values_arrive_within_the_timeout_from_another_thread(path):
    enc = Encoder()
    path.write_bytes(enc.encode("first"))
    boundary = path.stat().st_size
    r = TapeReader(str(path), pickled, 1500, False)
    assert r.next() == "first"
    record = enc.encode(["second", "first"])

    def append():
        time.sleep(0.1)
        with open(path, "ab") as f:
            f.write(record[:3])  # a record that arrives in two pieces
            f.flush()

    writer = threading.Thread(target=append)
    writer.start()
    start = time.monotonic()
    with pytest.raises(RuntimeError, match="^Could not read: "):
        r.next()  # only part of the record arrives during the single wait
    writer.join(5)
    assert 1.4 < time.monotonic() - start < 10
    r.reopen(boundary)
    r.read_timeout = 1500

    def append_rest():
        time.sleep(0.1)
        with open(path, "ab") as f:
            f.write(record[3:])

    writer = threading.Thread(target=append_rest)
    writer.start()
    start = time.monotonic()
    assert r.next() == ["second", "first"]
    writer.join(5)
    assert time.monotonic() - start < 2.5


def test_a_long_list_completed_during_the_wait(path):
    # Slots are made for the elements present; the rest are appended as they arrive.
    elements = [i % 200 for i in range(3000)]
    encoded = Encoder().encode(elements)
    path.write_bytes(encoded[:1500])
    r = TapeReader(str(path), pickled, 1000, False)

    def append():
        time.sleep(0.1)
        with open(path, "ab") as f:
            f.write(encoded[1500:])

    writer = threading.Thread(target=append)
    writer.start()
    assert r.next() == elements
    writer.join(5)


def test_appended_values_arrive_from_another_process(path):
    path.write_bytes(b"")
    r = TapeReader(str(path), pickled, 3000, False)
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
        import time
        for chunk in (b"\\x21\\x16", b"\\x26\\x14a"):
            time.sleep(0.1)
            with open({str(path)!r}, "ab") as f:
                f.write(chunk)
    """)])
    try:
        assert r.next() == [1, 2]
        assert r.next() == "a"
    finally:
        child.wait(30)


def test_end_of_a_finished_tape_fails_after_one_wait(path):
    r = make(path, b"\x06", read_timeout=300)
    assert r.next() == 0
    start = time.monotonic()
    with pytest.raises(RuntimeError) as info:
        r.next()
    elapsed = time.monotonic() - start
    assert str(info.value) == "Could not read: 1 bytes from tracefile with timeout: 300 milliseconds"
    assert 0.29 < elapsed < 2
    r.read_timeout = 0
    start = time.monotonic()
    with pytest.raises(RuntimeError, match="timeout: 0 milliseconds"):
        r.next()
    assert time.monotonic() - start < 0.25


def test_bytes_appended_after_a_failed_read_are_seen_at_once(path):
    r = make(path, b"")
    with pytest.raises(RuntimeError):
        r.next()
    with open(path, "ab") as f:
        f.write(b"\x56")
    assert r.next() == 5


def test_other_threads_run_during_the_wait(path):
    r = make(path, b"", read_timeout=400)
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.01)

    t = threading.Thread(target=tick)
    t.start()
    try:
        with pytest.raises(RuntimeError):
            r.next()
    finally:
        stop.set()
        t.join(5)
    assert len(ticks) > 10


FIFO_WRITER = """
import sys, time
with open(sys.argv[1], "wb", buffering=0) as f:
    for chunk in (b"\\x21\\x16", b"\\x26\\x34ab", b"c\\x0d"):
        f.write(chunk)
        time.sleep(0.1)
"""


def test_named_pipes_are_read_as_they_are_written():
    out = run_isolated(f"""
        import os, subprocess, sys, tempfile
        from _tarnwick_stream_debug import TapeReader
        d = tempfile.mkdtemp(); fifo = os.path.join(d, "fifo"); os.mkfifo(fifo)
        child = subprocess.Popen([sys.executable, "-c", {FIFO_WRITER!r}, fifo])
        r = TapeReader(fifo, bytes, 50, False)
        print(r.next(), r(), r())
        try:
            r.file_offset()
        except OSError as exc:
            print("offset", type(exc).__name__)
        try:
            r.next()
        except RuntimeError as exc:
            print(exc)
        child.wait(10)
    """)
    assert out.splitlines() == [
        "[1, 2] abc None", "offset OSError",
        "Could not read: 1 bytes from tracefile with timeout: 50 milliseconds"]


@pytest.mark.parametrize("kind", ["tape", "stream"])
def test_close_or_reopen_from_another_thread_during_the_wait(path, kind):
    # The waiting read looks the stream up again after its wait: a close from another
    # thread makes it fail cleanly, a reopen makes it read the reopened stream.
    from readers import open_reader
    path.write_bytes(b"\x56")
    r = open_reader(kind, path, read_timeout=400)
    read = r.next if kind == "tape" else r
    assert read() == 5
    results = []

    def reader():
        try:
            results.append(read())
        except RuntimeError as exc:
            results.append(str(exc))

    for action, expected in [("reopen", 5), ("close", None)]:
        t = threading.Thread(target=reader)
        t.start()
        time.sleep(0.1)
        if action == "reopen":
            r.reopen(0)
        else:
            r.close()
        t.join(10)
        assert not t.is_alive()
        if expected is None:
            # TapeReader's close waits for the read in progress, which then fails
            # short; ObjectStreamReader's close lands during the wait.
            closed = {"tape": "Could not read: 1 bytes from tracefile with timeout: 400 milliseconds",
                      "stream": "ObjectStreamReader is closed"}
            assert results[-1] == closed[kind]
        else:
            assert results[-1] == expected


def test_a_named_pipe_written_by_a_thread_of_the_same_process():
    # While the pipe is empty the reader waits without the interpreter lock, so a
    # writer thread of its own process (and any other thread) keeps running.
    out = run_isolated("""
        import os, tempfile, threading, time
        from _tarnwick_stream_debug import ObjectStreamReader, TapeReader
        for cls in (TapeReader, ObjectStreamReader):
            fifo = os.path.join(tempfile.mkdtemp(), "fifo"); os.mkfifo(fifo)
            def write():
                with open(fifo, "wb", buffering=0) as f:
                    for chunk in (b"\\x21", b"\\x16", b"\\x26\\x4d", bytes(7) + b"\\x80", b"\\x14x"):
                        time.sleep(0.05)
                        f.write(chunk)
            writer = threading.Thread(target=write, daemon=True)
            writer.start()
            args = (fifo, bytes, object, 20, False) if cls is ObjectStreamReader else (fifo, bytes, 20, False)
            r = cls(*args)
            got = [r(), r(), r()]
            try:
                r()
            except RuntimeError as exc:
                got.append(str(exc))
            writer.join(5)
            print(got)
    """, timeout=60)
    end = "Could not read: 1 bytes from tracefile with timeout: 20 milliseconds"
    assert out.splitlines() == [f"[[1, 2], {-2**63}, 'x', '{end}']"] * 2
