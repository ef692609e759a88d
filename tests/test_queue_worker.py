"""The writer thread driving Python targets: order, dispatch, failures and shutdown."""
import sys
import threading

import pytest

import _tarnwick_queue_probe as probe
import _tarnwick_stream_debug as ts
from queue_support import ALL_METHODS, STOPPED, RecordingTarget, info, wait_until

REQUIRED = ("write_object", "write_handle_ref", "intern", "start_collection")
CMD_INTERN, CMD_FLUSH, CMD_SHUTDOWN = 0, 1, 2


def cmd_word(cmd, length=0):
    return probe.words(0, cmd, length)[1]


class Obj:
    """A mortal object whose deletion is observable."""

    deleted_on = []

    def __init__(self, tag):
        self.tag = tag if isinstance(tag, tuple) else (tag,)

    def __repr__(self):
        return f"Obj({self.tag})"

    def __del__(self):
        Obj.deleted_on.append((self.tag, threading.get_native_id()))


def gated_queue(**kwargs):
    """A queue whose target blocks in its first write_object until the gate opens, so
    that everything pushed meanwhile is written in one batch, in ring order."""
    gate = threading.Event()
    errors = []
    target = RecordingTarget(gate=gate, **kwargs)
    q = ts.Queue(target, on_target_error=errors.append, worker_wait_timeout_ms=1)
    return q, target, gate, errors


def test_calls_follow_ring_order():
    q, target, gate, errors = gated_queue()
    s = sys.intern("ring_order_interned_string")
    h = id(s)
    probe.push_obj(q, "first")
    assert target.wait_for(lambda calls: True)
    probe.push_header(q, "list", 1)
    probe.push_intern(q, s, h)
    probe.push_ref(q, h)
    probe.push_obj(q, 7)
    gate.set()
    q.drain()
    assert target.data_calls() == [
        ("write_object", ("first",)),
        ("start_collection", (list, 1)),
        ("intern", (s, h)),
        ("write_handle_ref", (h,)),
        ("write_object", (7,)),
    ]
    assert target.names()[-1] == "flush_background"
    assert errors == []
    q.close()


def test_nested_collections_and_controls():
    q, target, gate, errors = gated_queue()
    probe.push_obj(q, "first")
    probe.push_header(q, "list", 3)
    probe.push_obj(q, 1)
    probe.push_header(q, "tuple", 2)
    probe.push_obj(q, 2)
    probe.push_obj(q, 3)
    probe.push_header(q, "dict", 1)
    probe.push_obj(q, "k")
    probe.push_header(q, "list", 0)
    probe.push_control(q, "heartbeat")
    probe.push_header(q, "dict", 0)
    probe.push_control(q, "flush")
    probe.push_ref(q, (1 << 61) - 1)
    gate.set()
    q.drain()
    assert target.data_calls() == [
        ("write_object", ("first",)),
        ("start_collection", (list, 3)),
        ("write_object", (1,)),
        ("start_collection", (tuple, 2)),
        ("write_object", (2,)),
        ("write_object", (3,)),
        ("start_collection", (dict, 1)),
        ("write_object", ("k",)),
        ("start_collection", (list, 0)),
        ("write_heartbeat", ()),
        ("start_collection", (dict, 0)),
        ("flush", ()),
        ("write_handle_ref", ((1 << 61) - 1,)),
    ]
    assert errors == []
    q.close()


def test_target_without_optional_methods_works():
    target = RecordingTarget(methods=REQUIRED)
    errors = []
    q = ts.Queue(target, on_target_error=errors.append, worker_wait_timeout_ms=1)
    probe.push_control(q, "heartbeat")
    probe.push_control(q, "flush")
    probe.push_obj(q, 5)
    probe.push_control(q, "shutdown")
    assert wait_until(lambda: info(q)["state"] == STOPPED)
    q.close()
    assert target.names() == ["write_object"]
    assert errors == []


@pytest.mark.parametrize("missing", REQUIRED)
def test_missing_required_method_is_a_target_failure(missing):
    methods = [m for m in ALL_METHODS if m != missing]
    target = RecordingTarget(methods=methods)
    errors = []
    q = ts.Queue(target, on_target_error=errors.append, worker_wait_timeout_ms=1)
    s = sys.intern("missing_method_string")
    pushes = {
        "write_object": lambda: probe.push_obj(q, Obj("x")),
        "write_handle_ref": lambda: probe.push_ref(q, 9),
        "intern": lambda: probe.push_intern(q, s, id(s)),
        "start_collection": lambda: probe.push_header(q, "list", 0),
    }
    pushes[missing]()
    assert wait_until(lambda: info(q)["state"] == STOPPED)
    assert errors == [f"AttributeError: target is missing '{missing}'"]
    assert "shutdown" in target.names()
    assert probe.push_obj(q, 1) is False
    q.close()
    assert q.inflight_bytes == 0


def test_raising_write_object_stops_queue_and_releases_everything():
    gate = threading.Event()
    target = RecordingTarget(gate=gate, fail={"write_object": ValueError("bad value")})
    errors = []
    q = ts.Queue(target, on_target_error=errors.append, worker_wait_timeout_ms=1)
    objs = [Obj(i) for i in range(20)]
    counts = [sys.getrefcount(o) for o in objs]
    for o in objs:
        assert probe.push_obj(q, o)
    del o
    assert q.inflight_bytes > 0
    gate.set()
    assert wait_until(lambda: info(q)["state"] == STOPPED)
    assert errors == ["ValueError: bad value"]
    assert target.names().count("write_object") == 1
    assert target.names().count("shutdown") == 1
    assert wait_until(lambda: q.inflight_bytes == 0)
    # The first object is kept by the target's record of the failed call.
    assert [sys.getrefcount(o) for o in objs][1:] == counts[1:]
    assert probe.push_obj(q, objs[0]) is False
    q.resume()  # a stopped queue cannot be resumed
    assert info(q)["state"] == STOPPED
    q.close()


@pytest.mark.parametrize(
    "exc, message",
    [
        (KeyError(), "KeyError"),
        (RuntimeError(""), "RuntimeError"),
        (OSError(5, "Input/output error"), "OSError: [Errno 5] Input/output error"),
    ],
)
def test_error_message_forms(exc, message):
    target = RecordingTarget(fail={"write_handle_ref": exc})
    errors = []
    q = ts.Queue(target, on_target_error=errors.append, worker_wait_timeout_ms=1)
    probe.push_ref(q, 1)
    assert wait_until(lambda: errors)
    assert errors == [message]
    q.close()


def test_failing_flush_background_and_flush_are_reported():
    for method, push in (("flush_background", lambda q: probe.push_obj(q, 1)),
                         ("flush", lambda q: probe.push_control(q, "flush"))):
        target = RecordingTarget(fail={method: OSError(28, "No space left on device")})
        errors = []
        q = ts.Queue(target, on_target_error=errors.append, worker_wait_timeout_ms=1)
        push(q)
        assert wait_until(lambda: info(q)["state"] == STOPPED)
        assert errors == ["OSError: [Errno 28] No space left on device"]
        q.close()


def test_raising_on_target_error_is_cleared():
    target = RecordingTarget(fail={"write_object": ValueError("x")})

    def on_error(message):
        raise RuntimeError("callback broke")

    q = ts.Queue(target, on_target_error=on_error, worker_wait_timeout_ms=1)
    probe.push_obj(q, 1)
    assert wait_until(lambda: info(q)["state"] == STOPPED)
    q.close()


def test_shutdown_command_calls_shutdown_once_and_keeps_later_entries_until_close():
    target = RecordingTarget()
    q = ts.Queue(target, worker_wait_timeout_ms=1)
    probe.push_obj(q, 1)
    probe.push_control(q, "shutdown")
    assert wait_until(lambda: info(q)["state"] == STOPPED)
    assert target.names().count("shutdown") == 1
    assert probe.push_obj(q, 2) is False  # refused once stopped
    q.close()
    assert target.names()[-1] == "reset_state"


def test_raising_shutdown_is_reported_and_called_again():
    target = RecordingTarget(fail={"shutdown": RuntimeError("cannot shut down")})
    errors = []
    q = ts.Queue(target, on_target_error=errors.append, worker_wait_timeout_ms=1)
    probe.push_control(q, "shutdown")
    assert wait_until(lambda: info(q)["state"] == STOPPED)
    assert errors == ["RuntimeError: cannot shut down"]
    assert target.names().count("shutdown") == 2
    q.close()


@pytest.mark.parametrize(
    "pushes, message",
    [
        (lambda q: probe.push_word(q, cmd_word(7)), "RuntimeError: unexpected command entry"),
        (lambda q: (probe.push_word(q, cmd_word(CMD_INTERN)), probe.push_ref(q, 3)),
         "RuntimeError: expected owned object payload"),
        (lambda q: (probe.push_word(q, cmd_word(CMD_INTERN)), probe.push_obj(q, Obj("p")),
                    probe.push_control(q, "flush")),
         "RuntimeError: expected binding handle payload"),
    ],
)
def test_malformed_items(pushes, message):
    gate = threading.Event()
    target = RecordingTarget(gate=gate)
    errors = []
    q = ts.Queue(target, on_target_error=errors.append, worker_wait_timeout_ms=1)
    probe.push_obj(q, "first")
    pushes(q)
    gate.set()
    assert wait_until(lambda: info(q)["state"] == STOPPED)
    assert errors == [message]
    assert wait_until(lambda: q.inflight_bytes == 0)
    q.close()


def test_drain_during_half_pushed_collection_stops_queue():
    target = RecordingTarget()
    errors = []
    q = ts.Queue(target, on_target_error=errors.append, worker_wait_timeout_ms=1)
    probe.push_header(q, "list", 3)
    probe.push_obj(q, Obj(1))
    assert target.wait_for(lambda calls: any(c[0] == "write_object" for c in calls))
    q.drain()
    assert errors == ["RuntimeError: queue shutdown while awaiting payload"]
    assert info(q)["state"] == STOPPED
    q.close()
    assert q.inflight_bytes == 0


def test_written_objects_are_released_on_the_return_thread():
    Obj.deleted_on.clear()
    target = RecordingTarget()
    writer_ids = set()
    target.write_object = lambda obj: writer_ids.add(threading.get_native_id())
    q = ts.Queue(target, worker_wait_timeout_ms=1)
    for i in range(50):
        probe.push_obj(q, Obj(("returned", i)))
    assert wait_until(lambda: q.inflight_bytes == 0)
    q.drain()
    deleted_on = {tid for tag, tid in Obj.deleted_on if tag[0:1] == ("returned",)}
    assert len([1 for tag, _ in Obj.deleted_on if tag[0:1] == ("returned",)]) == 50
    assert len(writer_ids) == 1 and len(deleted_on) == 1
    assert threading.get_native_id() not in deleted_on
    assert not writer_ids & deleted_on
    assert q.inflight_bytes == 0
    q.close()


def test_zero_timeout_threads_recheck_without_sleeping():
    target = RecordingTarget()
    q = ts.Queue(target, worker_wait_timeout_ms=0)
    for i in range(10):
        probe.push_obj(q, i)
    assert target.wait_for(lambda calls: sum(c[0] == "write_object" for c in calls) == 10, 5)
    q.close()


def test_writes_on_queue_threads_see_their_queue():
    # Target code runs on the writer thread and finalisers on the return thread; a
    # push made there must not deadlock: here the probe pushes into another queue.
    other = ts.Queue(queue_capacity=64)
    target = RecordingTarget()
    target.write_object = lambda obj: probe.push_ref(other, 1)
    q = ts.Queue(target, worker_wait_timeout_ms=1)
    probe.push_obj(q, 1)
    assert wait_until(lambda: info(other)["entries"] == 1)
    q.close()


def test_a_ring_kept_full_is_still_flushed_every_16384_items():
    q, target, gate, errors = gated_queue()
    probe.push_obj(q, "first")
    assert target.wait_for(lambda calls: True)
    for i in range(20000):
        probe.push_ref(q, i)
    gate.set()
    q.drain()
    names = [n for n in target.names() if n != "prepare_resume"]
    first_flush = names.index("flush_background")
    assert first_flush == 16384
    assert names.count("write_handle_ref") == 20000
    assert names[-1] == "flush_background"
    assert errors == []
    q.close()
