"""Python targets and helpers shared by the queue tests."""
import os
import threading
import time

import _tarnwick_queue_probe as probe

ALL_METHODS = (
    "write_object",
    "write_handle_ref",
    "intern",
    "start_collection",
    "write_heartbeat",
    "flush",
    "shutdown",
    "flush_background",
    "prepare_resume",
    "reset_state",
)

ACTIVE, PAUSED, DRAINING, STOPPED = 0, 1, 2, 3


class RecordingTarget:
    """A target that records each call as (method name, args), in order.

    `methods` limits which target methods exist; `fail` maps a method name to the
    exception it raises; `gate` (a threading.Event) makes write_object wait until set.
    """

    def __init__(self, methods=ALL_METHODS, fail=None, gate=None, delay=0.0):
        self.calls = []
        self.threads = set()
        self.fail = dict(fail or {})
        self.gate = gate
        self.delay = delay
        self.lock = threading.Lock()
        self.written = threading.Condition(self.lock)
        for name in methods:
            setattr(self, name, self._method(name))

    def _method(self, name):
        def method(*args):
            if name == "write_object" and self.gate is not None:
                self.gate.wait(10)
            if self.delay and name == "write_object":
                time.sleep(self.delay)
            with self.lock:
                self.calls.append((name, args))
                self.threads.add(threading.get_native_id())
                self.written.notify_all()
            if name in self.fail:
                raise self.fail[name]

        return method

    def names(self):
        with self.lock:
            return [name for name, _ in self.calls]

    def data_calls(self):
        """The calls without the lifecycle and flush ones."""
        skip = {"flush_background", "prepare_resume", "reset_state"}
        with self.lock:
            return [c for c in self.calls if c[0] not in skip]

    def wait_for(self, predicate, timeout=10.0):
        deadline = time.monotonic() + timeout
        with self.lock:
            while not predicate(self.calls):
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.written.wait(left)
        return True


def info(q):
    return probe.info(q)


def wait_until(predicate, timeout=10.0, interval=0.005):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


def os_thread_count():
    return len(os.listdir("/proc/self/task"))


def settled_thread_count():
    """The process's thread count once a queue has started and joined its threads (a
    sanitizer runtime may start a helper thread of its own at the first thread)."""
    import _tarnwick_stream_debug as ts

    q = ts.Queue(RecordingTarget())
    q.close()
    return os_thread_count()
