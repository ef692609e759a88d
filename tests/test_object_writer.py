"""ObjectWriter: what it pushes for each kind of value, with Python targets that record
the calls the queue's writer thread makes, and with a Persister over a real file."""
import ctypes
import gc
import sys
import threading
import time

import pytest

import _tarnwick_stream_debug as ts

STALL = b"vostrel: writer queue stalled, disabling recording\n"


class CallLog:
    """A Python target that records every call the queue makes on it."""

    def __init__(self, delay=0.0, on_write=None):
        self.calls = []
        self.delay = delay
        self.on_write = on_write

    def write_object(self, obj):
        if self.delay:
            time.sleep(self.delay)
        if self.on_write:
            self.on_write(obj)
        self.calls.append(("obj", obj))

    def write_handle_ref(self, handle):
        self.calls.append(("ref", handle))

    def intern(self, obj, handle):
        self.calls.append(("intern", obj, handle))

    def start_collection(self, type_, length):
        self.calls.append(("start", type_, length))

    def flush(self):
        self.calls.append(("flush",))

    def write_heartbeat(self):
        self.calls.append(("heartbeat",))

    def shutdown(self):
        self.calls.append(("shutdown",))

    def flush_background(self):
        pass

    def data_calls(self):
        return [c for c in self.calls if c[0] not in ("flush", "shutdown")]


def rebuild(calls):
    """Top-level values rebuilt from a call sequence; checks that every header is
    followed by exactly its elements and every ref names a defined handle."""
    interned = {}
    it = iter(c for c in calls if c[0] not in ("flush", "shutdown", "heartbeat"))

    def item():
        c = next(it)
        while c[0] == "intern":
            interned[c[2]] = c[1]
            c = next(it)
        if c[0] == "obj":
            return c[1]
        if c[0] == "ref":
            return interned.get(c[1], ("binding", c[1]))
        _, type_, n = c
        if type_ is dict:
            d = {}
            for _ in range(n):
                k = item()
                d[k] = item()
            return d
        elems = [item() for _ in range(n)]
        return elems if type_ is list else tuple(elems)

    out = []
    while True:
        try:
            out.append(item())
        except StopIteration:
            return out


@pytest.fixture
def recording():
    """A writer on a queue with a CallLog target; drain() to settle."""
    made = []

    def make(**kw):
        target = CallLog(kw.pop("delay", 0.0), kw.pop("on_write", None))
        q = ts.Queue(target, **kw)
        w = ts.ObjectWriter(q)
        made.append(q)
        return target, q, w

    yield make
    for q in made:
        q.close()


def interned(s):
    return sys.intern(s)


def test_roots_are_pushed_in_order_and_counted(recording):
    target, q, w = recording()
    s = interned("x")
    w(1, s, None)
    with pytest.raises(TypeError, match="ObjectWriter does not accept keyword arguments"):
        w(1, key=2)
    q.drain()
    h = id(s)
    assert target.data_calls() == [("obj", 1), ("intern", s, h), ("ref", h), ("obj", None)]
    assert w.messages_written == 4  # three roots and one intern


def test_containers_are_flattened_for_a_python_target(recording):
    target, q, w = recording()
    key = interned("k")
    w([1, (2, 3), {key: 4}])
    q.drain()
    h = id(key)
    assert target.data_calls() == [
        ("start", list, 3), ("obj", 1),
        ("start", tuple, 2), ("obj", 2), ("obj", 3),
        ("start", dict, 1), ("intern", key, h), ("ref", h), ("obj", 4),
    ]


def test_interned_string_is_defined_once(recording):
    target, q, w = recording()
    s = interned("recorded-name")
    before = w.messages_written
    w(s)
    w(s)
    w._intern(s)
    q.drain()
    h = id(s)
    assert target.data_calls() == [("intern", s, h), ("ref", h), ("ref", h)]
    assert w.messages_written - before == 3


class ListSub(list):
    pass


@pytest.mark.parametrize("value, expected", [
    (ts.Binding(7), [("ref", 7)]),
    (memoryview(b"abc"), [("obj", b"abc")]),
    (ListSub([1, 2]), [("obj", ListSub([1, 2]))]),
    ([], [("start", list, 0)]),
    ({}, [("start", dict, 0)]),
    ("not interned " * 2, [("obj", "not interned " * 2)]),
])
def test_value_kinds(recording, value, expected):
    target, q, w = recording()
    w(value)
    q.drain()
    assert target.data_calls() == expected
    obj_calls = [c for c in target.data_calls() if c[0] == "obj"]
    for c in obj_calls:
        assert type(c[1]) is type(expected[0][1])


def test_memoryview_is_copied_at_the_call():
    buf = bytearray(b"abc")
    target = CallLog()
    q = ts.Queue(target)
    w = ts.ObjectWriter(q)
    w(memoryview(buf))
    buf[0] = ord("z")
    q.close()
    assert target.data_calls() == [("obj", b"abc")]


def test_released_memoryview_raises_and_pushes_nothing(recording):
    target, q, w = recording()
    m = memoryview(b"abc")
    m.release()
    with pytest.raises(ValueError):
        w(1, [2, m])
    q.drain()
    assert target.data_calls() == []


@pytest.mark.parametrize("bad", [
    lambda: ts.Binding(2**61),
    lambda: [1, ts.Binding(2**64 - 1)],
    lambda: {"k": (ts.Binding(2**61 + 5),)},
])
def test_binding_handle_too_large_is_refused_whole(recording, bad):
    target, q, w = recording()
    with pytest.raises(OverflowError, match="binding handle too large for a queue entry"):
        w(1, bad())
    w(ts.Binding(2**61 - 1))
    q.drain()
    # The good root before it in the same call is not pushed either.
    assert target.data_calls() == [("ref", 2**61 - 1)]


def test_collection_too_long_for_a_header_is_refused(recording):
    target, q, w = recording()
    lst = [1, 2]
    # Only the size field is read before the refusal; fake a length above 2**32-1.
    size_field = ctypes.c_ssize_t.from_address(id(lst) + 16)
    real = size_field.value
    size_field.value = 2**32
    try:
        with pytest.raises(OverflowError, match="collection too large for a queue entry"):
            w([lst])
    finally:
        size_field.value = real
    q.drain()
    assert target.data_calls() == []


def test_nesting_is_bounded_by_depth_and_cycles(recording):
    target, q, w = recording()
    deep = "leaf"
    for _ in range(40):
        deep = [deep]
    cyclic = [1]
    cyclic.append(cyclic)
    w(deep, cyclic)
    q.drain()
    calls = target.data_calls()
    # 32 levels flattened, the rest travels as one object.
    assert calls[:32] == [("start", list, 1)] * 32
    assert calls[32][0] == "obj" and type(calls[32][1]) is list
    inner = calls[32][1]
    for _ in range(8):
        inner = inner[0]
    assert inner == "leaf"
    # The cycle: the list is flattened once, met again inside itself it is one object.
    assert calls[33:] == [("start", list, 2), ("obj", 1), ("obj", cyclic)]


def test_heartbeat(recording):
    target, q, w = recording()
    with pytest.raises(TypeError, match="heartbeat payload must be a dict"):
        w.heartbeat(5)
    w.heartbeat({"n": 1})
    q.drain()
    h = id("n")
    assert target.calls == [("heartbeat",), ("start", dict, 1), ("intern", "n", h), ("ref", h),
                            ("obj", 1), ("flush",)]


def test_flush_and_destruction_push_commands(recording):
    target, q, w = recording()
    w(1)
    w.flush()
    del w
    gc.collect()
    q.drain()
    assert target.calls == [("obj", 1), ("flush",), ("shutdown",)]


def test_disabled_writer_pushes_nothing(recording):
    target, q, w = recording()
    w.queue = None
    assert w.queue is None and w.output is None
    assert w(1) is None and w.heartbeat(5) is None and w.flush() is None
    w.output = q
    assert w.queue is q
    w(2)
    w.disable()
    assert w(3) is None and w.heartbeat(5) is None
    q.close()
    assert target.data_calls() == [("obj", 2)]


def test_attribute_errors(recording):
    _, q, w = recording()
    with pytest.raises(AttributeError, match="deletion of 'output' is not allowed"):
        del w.queue
    with pytest.raises(TypeError, match="output must be a Queue or None"):
        w.queue = 5
    with pytest.raises(TypeError):
        ts.ObjectWriter(5)
    assert w.queue is q


def test_verbose_trace(capfd):
    import os
    q = ts.Queue(CallLog())
    w = ts.ObjectWriter(q, True)
    assert w.verbose
    w(42)
    s = sys.intern("traced")
    w(s)
    w.verbose = False
    w(43)
    q.close()
    err = capfd.readouterr().err
    pid = os.getpid()
    assert err == (f"Vostrel({pid}) - ObjectWriter[0] -- 42\n"
                   f"Vostrel({pid}) - ObjectWriter[1] -- traced\n"
                   f"Vostrel({pid}) - ObjectWriter[1] -- INTERN(str)\n")


def test_trace_of_other_objects(capfd):
    q = ts.Queue(CallLog())
    w = ts.ObjectWriter(q, verbose=True)
    obj = [1]
    w(obj)
    q.close()
    err = capfd.readouterr().err
    assert err.endswith(f"ObjectWriter[0] -- <list at 0x{id(obj):x}>\n")


def test_stall_disables_recording_once(capfd):
    # No target: nothing consumes, so the ring fills and the callback gives up.
    asked = []
    q = ts.Queue(push_fail_callback=lambda: asked.append(1), queue_capacity=8)
    w = ts.ObjectWriter(q)
    for i in range(10):
        w(i, i)
    assert asked
    err = capfd.readouterr().err
    assert err == STALL.decode()
    assert w(1) is None
    assert capfd.readouterr().err == ""
    q.close()


def test_writes_on_the_queues_own_threads_are_refused():
    nested = []

    def on_write(obj):
        if obj == 1.5:
            nested.append(w(2.5))

    target = CallLog(on_write=on_write)
    q = ts.Queue(target)
    w = ts.ObjectWriter(q)
    w(1.5)
    q.drain()
    assert nested == [None]
    assert target.data_calls() == [("obj", 1.5)]
    assert w.messages_written == 1
    q.close()


def test_reentrant_call_from_push_fail_callback_is_deferred_not_deadlocked():
    seen = []

    def callback():
        if not seen:
            seen.append(1)
            w("from-callback")
        return 0.001

    target = CallLog(delay=0.002)
    q = ts.Queue(target, push_fail_callback=callback, queue_capacity=8)
    w = ts.ObjectWriter(q)
    t = threading.Thread(target=lambda: w(*range(20)))
    t.start()
    t.join(30)
    assert not t.is_alive()
    q.drain()
    values = [c[1] for c in target.data_calls()]
    assert values == list(range(20)) + ["from-callback"]
    q.close()


def test_mutation_during_a_waiting_push_keeps_items_whole():
    """Another thread mutates and frees the containers while the producer waits for
    room; every header must still match the elements that follow it."""
    target = CallLog(delay=0.0005)
    q = ts.Queue(target, queue_capacity=8)
    w = ts.ObjectWriter(q)
    originals = []
    stop = threading.Event()
    shared = []

    def mutate():
        while not stop.is_set():
            for lst in list(shared):
                lst.clear()
                lst.extend(object() for _ in range(3))
            time.sleep(0)

    for i in range(6):
        lst = [f"v{i}-{j}" * 3 for j in range(30)]
        d = {j: [j] * 2 for j in range(10)}
        originals.append([lst[:], {k: v[:] for k, v in d.items()}])
        shared.append(lst)
    m = threading.Thread(target=mutate)
    m.start()
    try:
        for i, lst in enumerate(shared):
            w([lst, {j: [j] * 2 for j in range(10)}])
    finally:
        stop.set()
        m.join(30)
    q.drain()
    got = rebuild(target.calls)
    assert len(got) == len(originals)
    for g in got:
        assert len(g) == 2 and len(g[0]) in (3, 30) and g[1] == originals[0][1]
    q.close()


def test_detaching_the_queue_while_a_push_waits():
    q = ts.Queue(CallLog(delay=0.001), queue_capacity=8)
    w = ts.ObjectWriter(q)
    base = sys.getrefcount(q)
    t = threading.Thread(target=lambda: w(*range(50)))
    t.start()
    deadline = time.monotonic() + 30
    while not q.persister.calls and time.monotonic() < deadline:
        time.sleep(0.001)
    # 50 values through a ring of 8 at 1 ms each: the write is still waiting. It holds
    # a reference of its own, so detaching cannot free the queue under it.
    assert sys.getrefcount(q) == base + 1
    w.queue = None
    assert sys.getrefcount(q) == base
    t.join(30)
    assert not t.is_alive()
    assert sys.getrefcount(q) == base - 1
    q.drain()
    assert [c[1] for c in q.persister.data_calls()] == list(range(50))
    q.close()


FORK_WHILE_LOCKED = """
import os, sys, threading, time
import _tarnwick_stream_debug as ts

class Log:
    def __init__(self):
        self.seen = []
    def write_object(self, obj):
        self.seen.append(obj)

# No target: the ring fills and the producer keeps waiting, holding the write lock.
stuck = ts.Queue(push_fail_callback=lambda: 0.01, queue_capacity=8)
w = ts.ObjectWriter(stuck)
t = threading.Thread(target=lambda: w(*range(100)), daemon=True)
t.start()
time.sleep(0.2)
child = os.fork()
if child == 0:
    log = Log()
    q = ts.Queue(log)
    w.queue = q
    w(1.5)
    q.close()
    os._exit(0 if log.seen == [1.5] else 3)
_, status = os.waitpid(child, 0)
w.disable()
t.join(30)
print(os.waitstatus_to_exitcode(status), t.is_alive())
"""


def test_fork_while_another_thread_holds_the_write_lock():
    import os
    import subprocess
    env = dict(os.environ)
    if "TSAN_OPTIONS" in env:
        # The parent is multi-threaded at the fork on purpose; let the child start the
        # queue's threads under ThreadSanitizer.
        env["TSAN_OPTIONS"] += " die_after_fork=0"
    out = subprocess.run([sys.executable, "-c", FORK_WHILE_LOCKED], capture_output=True,
                         text=True, timeout=60, env=env)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["0", "False"]


def test_drain_while_pushes_wait_is_not_a_stall(capfd):
    """A drain that catches one producer inside a push and another blocked on the write
    lock in _intern: neither disables recording or records the string as interned, so
    after resume() the string is defined before it is referred to."""
    gate = threading.Event()

    class Gated(CallLog):
        def write_object(self, obj):
            gate.wait(30)
            super().write_object(obj)

    target = Gated()
    q = ts.Queue(target, push_fail_callback=lambda: 0.005, queue_capacity=8)
    w = ts.ObjectWriter(q)
    s = sys.intern("defined-after-resume")
    a = threading.Thread(target=lambda: w(*[float(i) for i in range(20)]))
    a.start()
    time.sleep(0.1)  # a now waits for room, holding the write lock
    b = threading.Thread(target=lambda: w._intern(s))
    b.start()
    time.sleep(0.1)  # b waits for the write lock
    threading.Timer(0.2, gate.set).start()
    q.drain()
    a.join(30)
    b.join(30)
    assert not a.is_alive() and not b.is_alive()
    assert "stalled" not in capfd.readouterr().err
    q.resume()
    w(s)
    q.drain()
    h = id(s)
    calls = target.data_calls()
    assert calls[-2:] == [("intern", s, h), ("ref", h)]
    assert [c for c in calls if c[0] != "obj"] == [("intern", s, h), ("ref", h)]
    q.close()


def test_writes_from_finalisers_on_the_return_thread_are_refused():
    ran = threading.Event()
    results = []

    class Finalised:
        def __del__(self):
            results.append((threading.current_thread() is threading.main_thread(), w(2.5)))
            ran.set()

    class TypeLog:
        """Keeps only the type of what it is given, so the queue holds the last
        reference and the return thread drops it."""

        def __init__(self):
            self.types = []

        def write_object(self, obj):
            self.types.append(type(obj))

    target = TypeLog()
    q = ts.Queue(target)
    w = ts.ObjectWriter(q)
    w(Finalised())
    assert ran.wait(30)
    q.drain()
    assert results == [(False, None)]
    assert target.types == [Finalised]
    q.close()
