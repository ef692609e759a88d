"""Persister under failure: roll-back of a failed value, recursion limits, containers
mutated while written, identity keys, write errors and misuse."""
import errno
import gc
import os
import pickle
import sys
import threading
import time
import weakref

import pytest

import _tarnwick_stream_debug as ts
from tapedecode import decode
from tapes import Tape, TapeFactory


@pytest.fixture
def make_tape(tmp_path):
    return TapeFactory(tmp_path)


def fresh(text):
    return "".join(list(text))


class Token:
    """Mapped by the intern serializer to its payload."""

    def __init__(self, payload):
        self.payload = payload


class Boom:
    """The serializer raises for it."""


class Forever:
    """The serializer answers with another Forever, never with bytes."""


class Callback:
    """The serializer runs `action` and serializes the object as b'cb'."""

    def __init__(self, action):
        self.action = action


RAISE = object()


def serializer(obj):
    if isinstance(obj, Boom):
        raise ZeroDivisionError("boom")
    if isinstance(obj, Forever):
        return Forever()
    if isinstance(obj, Callback):
        obj.action()
        return b"cb"
    return pickle.dumps(obj)


def intern_serializer(obj):
    if isinstance(obj, Token):
        if obj.payload is RAISE:
            raise KeyError("intern payload")
        return obj.payload
    return None


def nested(depth):
    v = []
    for _ in range(depth - 1):
        v = [v]
    return v


ALPHA = sys.intern("alpha-string")
BETA = sys.intern("beta-string")


def released_view():
    m = memoryview(b"abc")
    m.release()
    return m


def self_list():
    v = [1]
    v.append(v)
    return v


def self_dict():
    d = {}
    d["me"] = d
    return d


def self_token():
    t = Token(None)
    t.payload = (t,)
    return t


def clearing_list():
    v = [1, 2]
    v.insert(1, Callback(v.clear))
    return v


def growing_list():
    v = [1]
    v.append(Callback(lambda: v.append(3)))
    v.append(2)
    return v


def growing_dict():
    d = {"a": 1}
    d["b"] = Callback(lambda: d.__setitem__("c", 3))
    d["z"] = 0
    return d


def shrinking_dict():
    d = {"a": 1}
    d["b"] = Callback(lambda: d.pop("a"))
    d["z"] = 0
    return d


# Each builds the failing piece placed after a new interned string and a new interned
# object inside the same top-level value.
FAILURES = {
    "serializer raises": (lambda: Boom(), ZeroDivisionError),
    "serializer raises in dict": (lambda: {"k": Boom()}, ZeroDivisionError),
    "serializer raises in payload": (lambda: Token([BETA, Boom()]), ZeroDivisionError),
    "intern serializer raises": (lambda: Token(RAISE), KeyError),
    "released memoryview": (released_view, ValueError),
    "lone surrogate": (lambda: fresh("\ud800"), UnicodeEncodeError),
    "interned lone surrogate": (lambda: sys.intern("\udcff"), UnicodeEncodeError),
    "deep nesting": (lambda: nested(50000), RecursionError),
    "list contains itself": (self_list, RecursionError),
    "dict contains itself": (self_dict, RecursionError),
    "serializer never returns bytes": (lambda: Forever(), RecursionError),
    "payload leads back to object": (self_token, RecursionError),
    "list cleared by callback": (clearing_list, RuntimeError),
    "list grown by callback": (growing_list, RuntimeError),
    "dict grown by callback": (growing_dict, RuntimeError),
    "dict shrunk by callback": (shrinking_dict, RuntimeError),
}


@pytest.mark.parametrize("name", list(FAILURES))
def test_failed_value_leaves_no_trace(make_tape, name):
    build, exc = FAILURES[name]
    t1, t2, t3 = Token(1), Token((ALPHA, 2)), Token([3])
    before = [ALPHA, t1, fresh("plain")]
    after = [BETA, t2, ALPHA, BETA, t3, t1, t2]

    clean = make_tape(serializer=serializer, intern_serializer=intern_serializer)
    clean.write(*before, *after)

    tape = make_tape(serializer=serializer, intern_serializer=intern_serializer)
    tape.write(*before)
    with pytest.raises(exc):
        tape.p.write_object([BETA, t2, Token([t3]), build(), 99])
    with pytest.raises(exc):
        tape.p.intern(build())
    tape.write(*after)

    assert tape.data() == clean.data()
    assert decode(tape.data()) == [ALPHA, 1, "plain", BETA, (ALPHA, 2), ALPHA, BETA, [3], 1,
                                   (ALPHA, 2)]


def test_reentrant_call_from_a_callback_is_refused(make_tape):
    tape = make_tape(serializer=serializer)
    errors = []

    def reenter():
        for call in (lambda: tape.p.write_object(1), tape.p.flush, tape.p.reset_state,
                     lambda: tape.p.start_list(1)):
            try:
                call()
            except RuntimeError as e:
                errors.append(str(e))

    tape.write([5, Callback(reenter)])
    assert len(errors) == 4 and all("already in use" in e for e in errors)
    assert decode(tape.data(), bytes) == [[5, b"cb"]]


def test_elements_replaced_or_dropped_by_callback_stay_alive(make_tape):
    tape = make_tape(serializer=serializer, intern_serializer=intern_serializer)
    v = [None, 1]

    def replace():
        v[0] = "gone"
        v[1] = 2

    v[0] = Callback(replace)
    victim = Token(7)
    r = weakref.ref(victim)
    outer = []
    # Clearing outer drops the inner list while it is being walked.
    outer.append([Callback(outer.clear), victim])
    del victim
    tape.write(v, outer)
    assert decode(tape.data(), bytes) == [[b"cb", 2], [[b"cb", 7]]]
    assert outer == [] and r() is not None  # the intern table holds it
    tape.p.reset_state()
    assert r() is None


def test_dict_value_replaced_by_callback(make_tape):
    tape = make_tape(serializer=serializer)
    d = {"a": None, "b": 1}
    d["a"] = Callback(lambda: d.__setitem__("b", [2]))
    tape.write(d)
    assert decode(tape.data(), bytes) == [{"a": b"cb", "b": [2]}]


# ---- recursion limits ----

def test_nesting_up_to_the_limit_is_written(make_tape):
    tape = make_tape()
    depth = sys.getrecursionlimit() - 10
    tape.write(nested(depth))
    assert tape.data() == b"\x11" * (depth - 1) + b"\x01"


def test_raised_recursion_limit_is_capped(make_tape):
    tape = make_tape()
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(1_000_000)
    try:
        tape.write(nested(1500))  # deeper than the default limit
        with pytest.raises(RecursionError):
            tape.p.write_object(nested(500_000))
    finally:
        sys.setrecursionlimit(old)
    assert tape.data() == b"\x11" * 1499 + b"\x01"


def test_recursion_limit_follows_the_interpreter(make_tape):
    tape = make_tape()
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(200)
    try:
        with pytest.raises(RecursionError):
            tape.p.write_object(nested(300))
    finally:
        sys.setrecursionlimit(old)
    tape.write(nested(300))
    assert tape.data() == b"\x11" * 299 + b"\x01"


# ---- tables ----

def test_string_table_never_wraps(make_tape):
    tape = make_tape()
    early = sys.intern("early-string")
    tape.write(early)
    tape.write([fresh(f"s{i}") for i in range(70000)])
    late = sys.intern("late-string")
    tape.write(late, early, late)
    data = tape.data()
    # late took index 70001: a four-byte STR_REF.
    assert data.endswith(b"\xb4late-string" + bytes.fromhex("0c ec 71 11 01 00"))
    values = decode(data)
    assert values[2:] == [late, early, late] and len(values[1]) == 70000


def test_intern_keeps_its_keyed_object_alive(make_tape):
    tape = make_tape(serializer=serializer)
    ref = Token(None)
    r = weakref.ref(ref)
    tape.p.intern(2.5, ref)
    del ref
    gc.collect()
    assert r() is not None
    tape.p.reset_state()
    assert r() is None


# ---- write errors ----

@pytest.mark.parametrize("method", ["flush", "flush_background", "shutdown"])
def test_write_error_on_full_device(method):
    w = ts.FramedWriter("/dev/full", raw=True)
    p = ts.Persister(w, pickle.dumps)
    p.write_object(b"x" * 100)
    with pytest.raises(OSError) as info:
        getattr(p, method)()
    assert info.value.errno == errno.ENOSPC
    assert info.value.filename == "/dev/full"
    assert "/dev/full" in str(info.value)


def test_write_error_on_fifo_without_reader(tmp_path):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    rfd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    p = ts.Persister(ts.FramedWriter(fifo, raw=True), pickle.dumps)
    os.close(rfd)
    p.write_object([1, 2])
    with pytest.raises(BrokenPipeError) as info:
        p.flush()
    assert info.value.errno == errno.EPIPE and info.value.filename == fifo


# ---- misuse ----

def test_writer_reinitialised_by_a_callback(tmp_path):
    first, second = tmp_path / "first", tmp_path / "second"
    w = ts.FramedWriter(str(first), raw=True)

    def reinit(obj):
        w.__init__(str(second), raw=True)
        return b"x"

    p = ts.Persister(w, reinit)
    with pytest.raises(RuntimeError, match="re-initialised"):
        p.write_object([1, 2.5, 3])
    p.write_object(7)
    p.flush()
    assert second.read_bytes() == bytes.fromhex("76")
    assert p.path == str(second)


def test_second_thread_is_refused_while_a_flush_blocks(tmp_path):
    fifo = str(tmp_path / "fifo")
    os.mkfifo(fifo)
    rfd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        p = ts.Persister(ts.FramedWriter(fifo, raw=True), pickle.dumps)
        payload = b"y" * 300000
        p.write_object(payload)
        flusher = threading.Thread(target=p.flush)
        flusher.start()
        refused = None
        deadline = time.monotonic() + 20
        while refused is None and time.monotonic() < deadline:
            try:
                p.write_object(1)
                time.sleep(0.001)
            except RuntimeError as e:
                refused = str(e)
        received = bytearray()

        def drain():
            while True:
                try:
                    chunk = os.read(rfd, 1 << 16)
                except BlockingIOError:
                    return
                if not chunk:
                    return
                received.extend(chunk)

        while flusher.is_alive() and time.monotonic() < deadline:
            drain()
            time.sleep(0.001)
        flusher.join(timeout=10)
        assert not flusher.is_alive()
        drain()
        assert refused is not None and "already in use" in refused
        values = decode(bytes(received))
        assert values[0] == payload and set(values[1:]) <= {1}
    finally:
        os.close(rfd)
