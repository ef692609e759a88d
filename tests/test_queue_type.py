"""The Queue type: construction, argument checks, attributes and the queue without target."""
import gc
import sys

import pytest

import _tarnwick_queue_probe as probe
import _tarnwick_stream_debug as ts
from queue_support import ACTIVE, STOPPED, RecordingTarget, info


def test_module_publishes_queue_first():
    assert ts.Queue.__name__ == "Queue"
    assert ts.Queue.__module__ == "tarnwick_stream"
    assert ts.Queue.__doc__ == "Stream queue object"
    public = [name for name in vars(ts) if isinstance(getattr(ts, name), type)]
    assert public[0] == "Queue"
    with pytest.raises(TypeError):
        type("Sub", (ts.Queue,), {})


def test_defaults_without_target():
    q = ts.Queue()
    state = info(q)
    assert q.persister is None
    assert q.push_fail_callback is None and q.on_target_error is None
    assert q.inflight_limit == 134217728 and q.inflight_bytes == 0
    assert state["capacity"] == 65536 and state["timeout_ms"] == 100
    assert state["state"] == ACTIVE and state["accepting"] and not state["thread_started"]
    assert state["notify_threshold_entries"] == 32768
    assert state["return_notify_threshold_bytes"] == 134217728 // 4


def test_bare_allocation_is_a_small_record():
    q = ts.Queue.__new__(ts.Queue)
    state = info(q)
    assert state["capacity"] == 5 and state["notify_threshold_entries"] == 2
    assert q.inflight_limit == 0 and state["return_notify_threshold_bytes"] == 1


@pytest.mark.parametrize("requested, capacity", [(1, 5), (4, 5), (5, 5), (8, 8), (1001, 1001)])
def test_capacity_is_clamped_and_exact(requested, capacity):
    q = ts.Queue(queue_capacity=requested, push_fail_callback=lambda: None)
    assert info(q)["capacity"] == capacity
    assert info(q)["notify_threshold_entries"] == max(1, capacity // 2)
    # With nothing consuming, exactly `capacity` entries fit; then the ring refuses.
    for i in range(capacity):
        probe.push_ref(q, i)
    assert info(q)["entries"] == capacity
    assert probe.push_ref(q, 99) is False
    assert info(q)["entries"] == capacity


@pytest.mark.parametrize(
    "kwargs, exc, text",
    [
        ({"queue_capacity": 0}, ValueError, "queue_capacity must be positive"),
        ({"queue_capacity": -3}, ValueError, "queue_capacity must be positive"),
        ({"worker_wait_timeout_ms": -1}, ValueError, "worker_wait_timeout_ms must be non-negative"),
        ({"thread": 5}, TypeError, "thread must be callable"),
        ({"push_fail_callback": 5}, TypeError, "push_fail_callback must be callable or None"),
        ({"on_target_error": "x"}, TypeError, "on_target_error must be callable or None"),
        # Checked in order: the capacity before the callables.
        ({"queue_capacity": 0, "thread": 5}, ValueError, "queue_capacity must be positive"),
        ({"thread": 5, "push_fail_callback": 5}, TypeError, "thread must be callable"),
        ({"queue_capacity": 1 << 40}, ValueError, "queue_capacity is too large"),
    ],
)
def test_argument_checks(kwargs, exc, text):
    with pytest.raises(exc) as info_:
        ts.Queue(**kwargs)
    assert str(info_.value) == text


def test_failed_reinit_leaves_queue_as_it_was():
    target = RecordingTarget()
    q = ts.Queue(target, queue_capacity=16)
    with pytest.raises(ValueError):
        q.__init__(queue_capacity=0)
    assert q.persister is target and info(q)["thread_started"] and info(q)["capacity"] == 16
    q.close()


def test_positional_arguments_and_thread_not_kept():
    target = RecordingTarget()
    thread = lambda: None  # noqa: E731
    q = ts.Queue(target, thread, None, None, 32, 1000, 5)
    state = info(q)
    assert q.persister is target
    assert state["capacity"] == 32 and state["timeout_ms"] == 5 and q.inflight_limit == 1000
    assert sys.getrefcount(thread) == 2
    q.close()


@pytest.mark.parametrize("limit, threshold", [(1000, 250), (3, 1), (1, 1), (0, 1), (-5, 1)])
def test_inflight_limit_attribute(limit, threshold):
    q = ts.Queue()
    q.inflight_limit = limit
    assert q.inflight_limit == limit
    assert info(q)["return_notify_threshold_bytes"] == threshold


def test_inflight_limit_attribute_errors():
    q = ts.Queue()
    with pytest.raises(AttributeError) as e:
        del q.inflight_limit
    assert str(e.value) == "deletion of 'inflight_limit' is not allowed"
    with pytest.raises(TypeError):
        q.inflight_limit = "many"
    with pytest.raises(OverflowError):
        q.inflight_limit = 1 << 70
    assert q.inflight_limit == 134217728


@pytest.mark.parametrize(
    "name, message",
    [
        ("push_fail_callback", "push_fail_callback must be callable or None"),
        ("on_target_error", "on_target_error must be callable or None"),
    ],
)
def test_callback_attributes(name, message):
    q = ts.Queue()
    first = lambda *a: None  # noqa: E731
    setattr(q, name, first)
    assert getattr(q, name) is first
    with pytest.raises(TypeError) as e:
        setattr(q, name, 42)
    assert str(e.value) == message
    assert getattr(q, name) is first
    with pytest.raises(AttributeError) as e:
        delattr(q, name)
    assert str(e.value) == f"deletion of '{name}' is not allowed"
    setattr(q, name, None)
    assert getattr(q, name) is None
    assert sys.getrefcount(first) == 2


def test_read_only_attributes():
    q = ts.Queue()
    for name in ("persister", "inflight_bytes"):
        with pytest.raises(AttributeError):
            setattr(q, name, 1)


def test_queue_without_target_gives_up_instead_of_waiting_forever():
    q = ts.Queue(queue_capacity=8)
    results = [probe.push_ref(q, i) for i in range(8)]
    # Room for 4 more after each push: the fifth push cannot keep its reserve, and with
    # no thread to make room it gives up at once.
    assert results[:4] == [True] * 4
    assert results[4] is False
    assert info(q)["entries"] == 5 + 3  # later pushes still append while room remains


def test_queue_without_target_consults_callback_until_it_gives_up():
    calls = []

    def callback():
        calls.append(1)
        return None if len(calls) == 3 else -1

    q = ts.Queue(queue_capacity=5, push_fail_callback=callback)
    assert probe.push_ref(q, 1) is True
    assert probe.push_ref(q, 2) is False
    assert len(calls) == 3


def test_dealloc_releases_callbacks_and_target():
    target = RecordingTarget()
    cb = lambda: None  # noqa: E731
    q = ts.Queue(target, push_fail_callback=cb, on_target_error=cb)
    before = sys.getrefcount(target)
    del q
    gc.collect()
    assert sys.getrefcount(target) == before - 1
    assert sys.getrefcount(cb) == 2
    assert target.names()[-1] == "reset_state"


def test_states_without_target():
    q = ts.Queue()
    q.drain()  # no threads: nothing happens
    assert info(q)["state"] == ACTIVE
    q.resume()  # no target: nothing happens
    assert not info(q)["thread_started"]
    probe.disable(q)
    assert info(q)["state"] == STOPPED and not info(q)["accepting"]
    q.close()
    q.close()
    assert info(q)["closed"] and info(q)["state"] == STOPPED
