"""Queue lifecycle: drain, resume, close, disable, re-initialisation, fork and exit."""
import gc
import os
import subprocess
import sys
import textwrap
import time
import weakref

import pytest

import _tarnwick_queue_probe as probe
import _tarnwick_stream_debug as ts
from queue_support import (ACTIVE, PAUSED, STOPPED, RecordingTarget, info, os_thread_count,
                           settled_thread_count, wait_until)


def test_drain_and_resume_stop_and_start_two_threads():
    base = settled_thread_count()
    target = RecordingTarget()
    q = ts.Queue(target, worker_wait_timeout_ms=1)
    assert os_thread_count() == base + 2
    assert target.names() == ["prepare_resume"]
    probe.push_obj(q, 1)
    q.drain()
    assert os_thread_count() == base
    assert info(q)["state"] == PAUSED and not info(q)["thread_started"]
    assert ("write_object", (1,)) in target.calls
    assert probe.push_obj(q, 2) is False
    q.drain()  # threads not running: nothing
    q.resume()
    assert os_thread_count() == base + 2
    assert info(q)["state"] == ACTIVE
    q.resume()  # already running: nothing
    assert target.names().count("prepare_resume") == 2
    assert os_thread_count() == base + 2
    assert probe.push_obj(q, 3) is True
    q.close()
    assert os_thread_count() == base
    assert target.data_calls() == [("write_object", (1,)), ("write_object", (3,))]


def test_close_is_final_and_keeps_target():
    target = RecordingTarget()
    q = ts.Queue(target, worker_wait_timeout_ms=1)
    probe.push_obj(q, [1])
    q.close()
    assert info(q)["closed"] and info(q)["state"] == STOPPED
    assert q.persister is target and q.inflight_bytes == 0
    names = target.names()
    assert names[-1] == "reset_state"
    q.close()
    q.resume()
    q.drain()
    assert target.names() == names
    assert not info(q)["thread_started"]


def test_close_releases_what_no_thread_wrote():
    q = ts.Queue(queue_capacity=64)
    objs = [object() for _ in range(10)]
    before = [sys.getrefcount(o) for o in objs]
    for o in objs:
        probe.push_obj(q, o)
    del o
    assert q.inflight_bytes > 0
    q.close()
    assert [sys.getrefcount(o) for o in objs] == before
    assert q.inflight_bytes == 0 and info(q)["entries"] == 0


def test_disable_stops_without_joining_and_writes_what_was_queued():
    target = RecordingTarget(delay=0.001)
    q = ts.Queue(target, worker_wait_timeout_ms=1)
    for i in range(20):
        probe.push_obj(q, i)
    probe.disable(q)
    assert info(q)["state"] == STOPPED and not info(q)["accepting"]
    assert probe.push_obj(q, 99) is False
    q.resume()  # stopped: nothing
    q.close()
    assert [c[1][0] for c in target.data_calls()] == list(range(20))


def test_reinit_closes_the_running_queue_first():
    base = settled_thread_count()
    first = RecordingTarget(delay=0.001)
    q = ts.Queue(first, worker_wait_timeout_ms=1)
    for i in range(5):
        probe.push_obj(q, i)
    second = RecordingTarget()
    q.__init__(second, queue_capacity=32)
    assert os_thread_count() == base + 2
    assert first.names()[-1] == "reset_state"
    assert q.persister is second and info(q)["capacity"] == 32
    assert info(q)["state"] == ACTIVE and not info(q)["closed"]
    gone = weakref.ref(first)
    del first
    gc.collect()
    assert gone() is None  # the old record let its target go
    q.__init__()
    assert q.persister is None and os_thread_count() == base
    assert second.names()[-1] == "reset_state"


def test_stopped_queue_is_left_only_by_reinit():
    target = RecordingTarget()
    q = ts.Queue(target, worker_wait_timeout_ms=1)
    probe.push_control(q, "shutdown")
    assert wait_until(lambda: info(q)["state"] == STOPPED)
    q.resume()
    assert info(q)["state"] == STOPPED
    q.__init__(target)
    assert info(q)["state"] == ACTIVE and probe.push_obj(q, 1) is True
    q.close()


def test_lifecycle_calls_on_the_queues_own_thread_do_not_join_it():
    base = settled_thread_count()
    target = RecordingTarget(fail={"write_object": ValueError("stop")})
    seen = []

    def on_error(message):
        seen.append(message)
        q.drain()  # ignored on the queue's own thread
        q.close()  # stops; the joins happen later, from another thread

    q = ts.Queue(target, on_target_error=on_error, worker_wait_timeout_ms=1)
    probe.push_obj(q, 1)
    assert wait_until(lambda: info(q)["closed"])
    assert seen == ["ValueError: stop"]
    del q  # joins the threads the close could not join
    assert os_thread_count() == base


def test_reinit_on_the_queues_own_thread_is_refused():
    target = RecordingTarget()
    errors = []
    target.write_object = lambda obj: q.__init__()
    q = ts.Queue(target, on_target_error=errors.append, worker_wait_timeout_ms=1)
    probe.push_obj(q, 1)
    assert wait_until(lambda: errors)
    assert errors == [
        "RuntimeError: Queue cannot be re-initialised from its own writer or return thread"]
    q.close()


def _wait_child(pid, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    raise AssertionError("child did not finish")


class FileTarget:
    """Appends each written value, with the writing process id, to a file."""

    def __init__(self, path):
        self.path = path
        self.pending = []
        self.resumes = 0

    def write_object(self, obj):
        self.pending.append(f"{os.getpid()} {obj}\n")

    def write_handle_ref(self, h):
        pass

    def intern(self, obj, h):
        pass

    def start_collection(self, t, n):
        pass

    def flush_background(self):
        with open(self.path, "a") as f:
            f.writelines(self.pending)
        self.pending.clear()

    def prepare_resume(self):
        # After a fork the child drops what another process had buffered.
        self.pending = [line for line in self.pending if line.startswith(f"{os.getpid()} ")]
        self.resumes += 1


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_drain_fork_resume_in_parent_and_child(tmp_path):
    path = tmp_path / "out.txt"
    target = FileTarget(path)
    q = ts.Queue(target, worker_wait_timeout_ms=1)
    for i in range(3):
        probe.push_obj(q, f"before{i}")
    q.drain()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            q.resume()
            ok = all(probe.push_obj(q, f"child{i}") for i in range(3))
            q.close()
            code = 0 if ok and target.resumes == 2 else 2
        finally:
            os._exit(code)
    q.resume()
    for i in range(3):
        probe.push_obj(q, f"parent{i}")
    q.close()
    assert _wait_child(pid) == 0
    lines = [line.split() for line in path.read_text().splitlines()]
    parent, child = str(os.getpid()), str(pid)
    assert [v for p, v in lines if p == parent] == [f"before{i}" for i in range(3)] + [
        f"parent{i}" for i in range(3)]
    assert [v for p, v in lines if p == child] == [f"child{i}" for i in range(3)]


EXIT_SCRIPT = textwrap.dedent(
    """
    import sys, time
    sys.path.insert(0, {tests!r})
    import _tarnwick_queue_probe as probe
    import _tarnwick_stream_debug as ts
    from test_queue_lifecycle import FileTarget

    class Slow(FileTarget):
        def write_object(self, obj):
            time.sleep(0.0005)
            super().write_object(obj)

    target = Slow({path!r})
    q = ts.Queue(target, queue_capacity=1024, worker_wait_timeout_ms=50)
    for i in range(300):
        assert probe.push_obj(q, i)
    # The program simply ends: nothing is closed or drained by hand.
    """
)


def test_interpreter_exit_writes_everything_queued(tmp_path):
    path = tmp_path / "exit.txt"
    script = EXIT_SCRIPT.format(tests=os.path.dirname(__file__), path=str(path))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr.decode()
    values = [int(line.split()[1]) for line in path.read_text().splitlines()]
    assert values == list(range(300))


FORK_WITHOUT_DRAIN_SCRIPT = textwrap.dedent(
    """
    import os, sys, time, warnings
    warnings.simplefilter("ignore", DeprecationWarning)
    sys.path.insert(0, {tests!r})
    import _tarnwick_queue_probe as probe
    import _tarnwick_stream_debug as ts
    from test_queue_lifecycle import FileTarget

    target = FileTarget({path!r})
    q = ts.Queue(target, worker_wait_timeout_ms=1)
    for i in range(50):
        probe.push_obj(q, f"parent{{i}}")
    pid = os.fork()
    if pid == 0:
        # The threads stayed in the parent: the child's queue is paused and empty.
        assert probe.push_obj(q, "lost") is False
        q.resume()
        assert probe.push_obj(q, "child")
        sys.exit(0)  # ends normally: the exit hook must not wait for the parent's threads
    q.close()
    _, status = os.waitpid(pid, 0)
    sys.exit(os.waitstatus_to_exitcode(status))
    """
)


@pytest.mark.skipif(
    "TARNWICK_SANITIZER_RUN" in os.environ,
    reason="the sanitizer runtimes are not fork-safe while threads run: ThreadSanitizer "
    "refuses new threads, and AddressSanitizer's allocator lock can stay held in the child")
def test_fork_without_drain_leaves_a_usable_child_queue(tmp_path):
    path = tmp_path / "fork.txt"
    script = FORK_WITHOUT_DRAIN_SCRIPT.format(tests=os.path.dirname(__file__), path=str(path))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr.decode()
    lines = [line.split() for line in path.read_text().splitlines()]
    by_pid = {}
    for pid, value in lines:
        by_pid.setdefault(pid, []).append(value)
    assert len(by_pid) == 2
    parent_values, child_values = sorted(by_pid.values(), key=len, reverse=True)
    assert parent_values == [f"parent{i}" for i in range(50)]
    assert child_values == ["child"]


def test_reinit_from_push_fail_callback_is_refused():
    outcome = []

    def callback():
        try:
            q.__init__()
        except RuntimeError as e:
            outcome.append(str(e))
        return None

    q = ts.Queue(queue_capacity=5, push_fail_callback=callback)
    probe.push_ref(q, 1)
    assert probe.push_ref(q, 2) is False
    assert outcome == ["Queue cannot be re-initialised while a push is waiting on it"]
    assert info(q)["entries"] == 2
    q.close()


@pytest.mark.parametrize("during", ["close", "reinit"])
def test_reinit_from_a_finaliser_run_by_close_is_refused(during):
    """close() (also the one inside __init__) releases what no thread wrote; a finaliser
    run by that release cannot rebuild the record under it: every entry left is released
    once, and the record is never torn down twice."""
    outcome = []

    class Reinit:
        def __del__(self):
            try:
                q.__init__()
            except RuntimeError as e:
                outcome.append(str(e))

    class Plain:
        pass

    q = ts.Queue()
    after = Plain()
    assert probe.push_obj(q, Reinit()) and probe.push_obj(q, after)
    held = sys.getrefcount(after)
    if during == "close":
        q.close()
    else:
        q.__init__(queue_capacity=8)
    assert outcome == ["Queue cannot be re-initialised while it is being drained or closed"]
    assert sys.getrefcount(after) == held - 1
    assert q.inflight_bytes == 0
    q.close()


LAST_REFERENCE_ON_OWN_THREAD_SCRIPT = textwrap.dedent(
    """
    import sys, threading, time
    sys.path.insert(0, {tests!r})
    import _tarnwick_queue_probe as probe
    import _tarnwick_stream_debug as ts
    from queue_support import RecordingTarget, info

    class Holder:
        def __init__(self, q):
            self.q = q

        def __del__(self):
            print("released on", "main" if threading.current_thread() is threading.main_thread()
                  else "another thread", flush=True)

    target = RecordingTarget()
    target.write_object = lambda obj: None  # keeps nothing
    q = ts.Queue(target, worker_wait_timeout_ms=1)
    probe.push_obj(q, Holder(q))
    del q  # the queued Holder now holds the last reference
    time.sleep(0.5)
    print("still running", flush=True)
    """
)


def test_last_reference_dropped_on_the_return_thread(tmp_path):
    script = LAST_REFERENCE_ON_OWN_THREAD_SCRIPT.format(tests=os.path.dirname(__file__))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout.decode().split("\n")[:2] == ["released on another thread",
                                                      "still running"]
