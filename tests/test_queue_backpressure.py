"""The push side: slot reserve, in-flight bytes, push_fail_callback and refusals."""
import sys
import threading
import time

import pytest

import _tarnwick_queue_probe as probe
import _tarnwick_stream_debug as ts
from queue_support import RecordingTarget, info, wait_until


class Counter:
    def __init__(self, answers):
        self.answers = list(answers)
        self.calls = 0

    def __call__(self):
        self.calls += 1
        answer = self.answers[min(self.calls, len(self.answers)) - 1]
        if isinstance(answer, BaseException):
            raise answer
        return answer


@pytest.mark.parametrize("answer", [None, "soon", ValueError("no")])
def test_callback_that_gives_up_ends_the_first_wait_cleanly(answer):
    callback = Counter([answer])
    q = ts.Queue(queue_capacity=5, push_fail_callback=callback)
    assert probe.push_ref(q, 1) is True  # 4 slots left: no wait
    assert probe.push_ref(q, 2) is False  # only 3 left: one step, and the callback gives up
    assert callback.calls == 1
    assert info(q)["entries"] == 2  # what was appended stays


def test_negative_delay_retries_without_sleeping():
    callback = Counter([-1] * 100 + [None])
    q = ts.Queue(queue_capacity=5, push_fail_callback=callback)
    probe.push_ref(q, 1)
    assert probe.push_ref(q, 2) is False
    assert callback.calls == 101


def test_callback_delay_sleeps_with_the_interpreter_lock_released():
    callback = Counter([0.05, 0.05, None])
    q = ts.Queue(queue_capacity=5, push_fail_callback=callback)
    probe.push_ref(q, 1)
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.is_set():
            ticks.append(1)
            time.sleep(0.001)

    t = threading.Thread(target=ticker)
    t.start()
    try:
        started = time.monotonic()
        assert probe.push_ref(q, 2) is False
        elapsed = time.monotonic() - started
    finally:
        stop.set()
        t.join(5)
    assert callback.calls == 3
    assert elapsed >= 0.1
    assert len(ticks) > 5  # the other thread ran during the sleeps


def test_intern_keeps_six_slots_free():
    s = sys.intern("six_slot_reserve")
    for capacity, waits in ((8, True), (9, False)):
        callback = Counter([None])
        q = ts.Queue(queue_capacity=capacity, push_fail_callback=callback)
        assert probe.push_intern(q, s, id(s)) is (not waits)
        assert info(q)["entries"] == 3
        assert callback.calls == (1 if waits else 0)


def test_intern_on_smallest_ring_waits_only_for_what_the_ring_holds():
    target = RecordingTarget()
    q = ts.Queue(target, queue_capacity=1, worker_wait_timeout_ms=1)
    s = sys.intern("smallest_ring_intern")
    results = []
    t = threading.Thread(target=lambda: results.extend(
        probe.push_intern(q, s, id(s)) for _ in range(20)))
    t.start()
    t.join(20)
    assert not t.is_alive()
    assert results == [True] * 20
    q.drain()
    assert target.names().count("intern") == 20
    q.close()


def test_refused_pushes_change_nothing():
    obj = object()
    s = sys.intern("refused_push_string")
    queues = []
    paused = ts.Queue(RecordingTarget(), queue_capacity=16)
    paused.drain()
    queues.append(paused)
    disabled = ts.Queue(queue_capacity=16)
    probe.disable(disabled)
    queues.append(disabled)
    closed = ts.Queue(queue_capacity=16)
    closed.close()
    queues.append(closed)
    for q in queues:
        before = (sys.getrefcount(obj), sys.getrefcount(s), info(q)["entries"], q.inflight_bytes)
        assert probe.push_obj(q, obj) is False
        assert probe.push_intern(q, s, id(s)) is False
        assert probe.push_ref(q, 1) is False
        assert probe.push_header(q, "dict", 2) is False
        for kind in ("flush", "shutdown", "heartbeat"):
            assert probe.push_control(q, kind) is False
        after = (sys.getrefcount(obj), sys.getrefcount(s), info(q)["entries"], q.inflight_bytes)
        assert after == before
    paused.close()


def test_full_ring_append_fails_without_losing_the_reference():
    q = ts.Queue(queue_capacity=5, push_fail_callback=lambda: None)
    for i in range(5):
        probe.push_ref(q, i)
    assert info(q)["entries"] == 5
    obj = object()
    before = sys.getrefcount(obj)
    assert probe.push_obj(q, obj) is False
    assert sys.getrefcount(obj) == before
    assert q.inflight_bytes == 0 and info(q)["entries"] == 5


@pytest.mark.parametrize(
    "push",
    [
        lambda q: probe.push_ref(q, 1 << 61),
        lambda q: probe.push_ref(q, (1 << 64) - 1),
        lambda q: probe.push_intern(q, "x", 1 << 62),
        lambda q: probe.push_header(q, "list", 1 << 32),
        lambda q: probe.push_header(q, "dict", (1 << 32) + 5),
    ],
)
def test_values_a_word_cannot_carry_raise_overflow_and_push_nothing(push):
    q = ts.Queue(queue_capacity=16)
    with pytest.raises(OverflowError):
        push(q)
    assert info(q)["entries"] == 0 and q.inflight_bytes == 0


def test_largest_values_that_fit_are_pushed():
    q = ts.Queue(queue_capacity=16)
    assert probe.push_ref(q, (1 << 61) - 1) is True
    assert probe.push_header(q, "list", (1 << 32) - 1) is True


def test_immortal_objects_are_not_counted():
    q = ts.Queue(queue_capacity=64)
    for value in (None, True, 5, (), ""):
        assert probe.push_obj(q, value) is True
        assert probe.push_immortal(q, value) is True
    assert q.inflight_bytes == 0
    big = 10**30
    probe.push_obj(q, big)
    assert q.inflight_bytes == probe.estimate_size(big) > 0
    q.close()
    assert q.inflight_bytes == 0


@pytest.mark.parametrize("fate", ["written", "discarded"])
def test_string_interned_while_queued_leaves_nothing_in_flight(fate):
    """Interning makes a string immortal: one recorded while mortal and interned before
    its release must still take its bytes out of flight when it is released."""
    gate = threading.Event()
    target = RecordingTarget(gate=gate) if fate == "written" else None
    q = ts.Queue(target, queue_capacity=64, worker_wait_timeout_ms=1)
    s = "".join(["interned", "-while-", "queued", str(id(q))])
    assert probe.push_obj(q, s) is True
    assert q.inflight_bytes == probe.estimate_size(s) > 0
    sys.intern(s)
    gate.set()
    if fate == "written":
        assert target.wait_for(lambda calls: ("write_object", (s,)) in calls)
        q.drain()
    q.close()
    assert q.inflight_bytes == 0


def test_reinit_from_a_finaliser_run_by_an_inflight_wait_is_refused():
    """A producer waiting for in-flight bytes releases returned objects itself; a finaliser
    run by that release cannot rebuild the record under the waiting push."""
    target = RecordingTarget()
    target.write_object = lambda obj: None  # keeps no reference
    q = ts.Queue(target, inflight_limit=4096, queue_capacity=64, worker_wait_timeout_ms=1)
    entered, release, outcome = threading.Event(), threading.Event(), []

    class Blocker:  # keeps the return thread busy, so that the next object waits in the ring
        def __del__(self):
            entered.set()
            release.wait(5)

    class Reinit:
        def __del__(self):
            outcome.append(threading.current_thread() is threading.main_thread())
            try:
                q.__init__()
            except RuntimeError as e:
                outcome.append(str(e))

    try:
        assert probe.push_obj(q, Blocker())
        assert entered.wait(10)
        assert probe.push_obj(q, Reinit())
        assert wait_until(lambda: info(q)["returned"] == 1)
        assert probe.push_obj(q, bytes(8192)) is True  # over the limit: drains the ring itself
        assert outcome == [True, "Queue cannot be re-initialised while a push is waiting on it"]
        assert q.persister is target
    finally:
        release.set()
    q.close()
    assert q.inflight_bytes == 0


def test_without_limit_producers_never_wait_for_bytes():
    callback = Counter([None])
    q = ts.Queue(queue_capacity=64, inflight_limit=0, push_fail_callback=callback)
    blobs = [bytes(1 << 20) for _ in range(20)]
    assert all(probe.push_obj(q, b) for b in blobs)
    assert callback.calls == 0
    assert q.inflight_bytes >= 20 << 20
    q.close()


def test_limit_makes_producers_wait_for_bytes():
    callback = Counter([None])
    q = ts.Queue(queue_capacity=64, inflight_limit=1000, push_fail_callback=callback)
    assert probe.push_obj(q, bytes(500)) is True
    assert probe.push_obj(q, bytes(500)) is False  # reached the limit: waits, gives up
    assert callback.calls == 1
    q.close()


def test_drain_returned_needs_the_interpreter_lock():
    q = ts.Queue(queue_capacity=16, inflight_limit=100)
    assert probe.drain_returned_with_gil(q, 0, True) is False
    assert probe.drain_returned_with_gil(q, 0, False) is True
    q.inflight_limit = 0
    assert probe.drain_returned_with_gil(q, 10**9, False) is True


def test_inflight_stays_bounded_with_a_slow_target_and_several_producers():
    limit = 4000
    values_per_thread = 150
    samples = []
    seen = {}
    target = RecordingTarget()

    def write_object(obj):
        samples.append(q.inflight_bytes)
        seen.setdefault(obj[0], []).append(obj[1])
        time.sleep(0.0002)

    target.write_object = write_object
    q = ts.Queue(target, queue_capacity=256, inflight_limit=limit, worker_wait_timeout_ms=1)
    push_lock = threading.Lock()  # one producer at a time, as the ObjectWriter ensures
    estimate = probe.estimate_size((0, 0))

    def producer(n):
        for i in range(values_per_thread):
            with push_lock:
                assert probe.push_obj(q, (n, i)) is True
                samples.append(q.inflight_bytes)

    threads = [threading.Thread(target=producer, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads)
    q.drain()
    assert max(samples) <= limit + estimate
    assert max(samples) >= limit - estimate  # the limit was actually reached
    assert {n: v for n, v in seen.items()} == {n: list(range(values_per_thread)) for n in range(4)}
    assert q.inflight_bytes == 0
    q.close()
