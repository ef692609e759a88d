"""Recording end to end: FramedWriter -> Persister -> Queue -> ObjectWriter, real files,
real threads, a real fork; the tape is read back and compared."""
import os
import pickle
import subprocess
import sys
import textwrap
import threading
import time

import _tarnwick_stream_debug as ts
from frames import split_frames
from tapedecode import Heartbeat


def make_chain(path, raw=True, **queue_kw):
    fw = ts.FramedWriter(str(path), raw=raw)
    p = ts.Persister(fw, pickle.dumps)
    q = ts.Queue(p, **queue_kw)
    return fw, p, q, ts.ObjectWriter(q)


def read_back(path):
    """Every top-level value of a raw tape, read with TapeReader; heartbeats come back
    as Heartbeat objects."""
    reader = ts.TapeReader(str(path), pickle.loads, 0, False, None, Heartbeat)
    size = os.path.getsize(path)
    values = []
    while reader.file_offset() < size:
        values.append(next(reader))
    return values


def read_stream(data, tmp_path, name):
    path = tmp_path / name
    path.write_bytes(data)
    return read_back(path)


def test_every_value_of_every_thread_reaches_the_tape(tmp_path):
    path = tmp_path / "threads.tape"
    fw, _, q, w = make_chain(path, queue_capacity=64)
    per_thread = 300

    def produce(t):
        for i in range(per_thread):
            w((t, i), f"thread {t} value {i}", [i, {"t": t}], 2.5 * i, b"x" * (i % 7))

    threads = [threading.Thread(target=produce, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
        assert not t.is_alive()
    q.close()
    fw.close()
    got = read_back(path)
    assert len(got) == 4 * per_thread * 5
    # Roots of one call are contiguous, and each thread's calls keep their order.
    seen = {t: 0 for t in range(4)}
    for k in range(0, len(got), 5):
        (t, i), text, lst, f, b = got[k:k + 5]
        assert i == seen[t]
        seen[t] += 1
        assert text == f"thread {t} value {i}" and lst == [i, {"t": t}]
        assert f == 2.5 * i and b == b"x" * (i % 7)
    assert seen == {t: per_thread for t in range(4)}


def test_drain_and_resume_keep_recording(tmp_path):
    path = tmp_path / "drain.tape"
    fw, _, q, w = make_chain(path)
    w("a", 1)
    q.drain()
    assert read_back(path) == ["a", 1]
    assert w(2) is None  # paused: silently inactive
    q.resume()
    w("b", [3])
    q.close()
    fw.close()
    assert read_back(path) == ["a", 1, "b", [3]]


FORK_SCRIPT = textwrap.dedent("""
    import os, pickle, sys
    import _tarnwick_stream_debug as ts
    fw = ts.FramedWriter(sys.argv[1])
    q = ts.Queue(ts.Persister(fw, pickle.dumps))
    w = ts.ObjectWriter(q)
    w("before", 1, [1, 2])
    q.drain()
    prefork = fw.bytes_written
    child = os.fork()
    if child == 0:
        q.resume()
        w(("child", os.getpid()), *range(100))
        q.close()
        fw.close()
        os._exit(0)
    q.resume()
    w(("parent", os.getpid()), *range(100, 200))
    _, status = os.waitpid(child, 0)
    q.close()
    fw.close()
    print(os.getpid(), child, prefork, status)
""")


def test_fork_with_drain_and_resume_shares_one_framed_output(tmp_path):
    path = tmp_path / "fork.tape"
    out = subprocess.run([sys.executable, "-c", FORK_SCRIPT, str(path)], capture_output=True,
                         text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    parent, child, prefork, status = map(int, out.stdout.split())
    assert status == 0
    streams, order = split_frames(open(path, "rb").read())
    assert order[0] == parent and set(streams) == {parent, child}
    head = ["before", 1, [1, 2]]
    assert read_stream(streams[parent], tmp_path, "parent") == (
        head + [("parent", parent)] + list(range(100, 200)))
    # The child's records continue the stream it inherited from before the fork.
    child_stream = streams[parent][:prefork] + streams[child]
    assert read_stream(child_stream, tmp_path, "child") == (
        head + [("child", child)] + list(range(100)))


class SlowTarget:
    def __init__(self, delay):
        self.delay = delay
        self.count = 0

    def write_object(self, obj):
        time.sleep(self.delay)
        self.count += 1


def test_back_pressure_bounds_bytes_in_flight():
    limit = 20000
    target = SlowTarget(0.0005)
    q = ts.Queue(target, inflight_limit=limit)
    w = ts.ObjectWriter(q)
    value_size = 1000
    estimate = sys.getsizeof(bytes(value_size))
    peak = [0]
    done = threading.Event()

    def monitor():
        while not done.is_set():
            peak[0] = max(peak[0], q.inflight_bytes)
            time.sleep(0)

    def produce(seed):
        for i in range(150):
            w(bytes([seed, i % 256]) * (value_size // 2))
            peak[0] = max(peak[0], q.inflight_bytes)

    m = threading.Thread(target=monitor)
    m.start()
    producers = [threading.Thread(target=produce, args=(s,)) for s in range(2)]
    for p in producers:
        p.start()
    for p in producers:
        p.join(120)
        assert not p.is_alive()
    done.set()
    m.join(10)
    q.close()
    assert target.count == 300
    assert limit // 2 < peak[0] <= limit + estimate
    assert q.inflight_bytes == 0


def test_persister_target_pushes_one_entry_per_root(tmp_path):
    path = str(tmp_path / "t.tape")
    fw = ts.FramedWriter(path, raw=True)
    p = ts.Persister(fw, pickle.dumps)
    q = ts.Queue(p)
    w = ts.ObjectWriter(q)
    values = [1, "s", [1, (2, 3), {"k": 4}], b"b", None, ts.Binding(2**62), -5]
    w(*values)
    assert w.messages_written == len(values)
    w.heartbeat({"beat": 1})
    q.close()
    fw.close()
    got = read_back(path)
    assert got[:len(values)] == values
    assert got[len(values):] == [Heartbeat({"beat": 1})]


def slow_dumps(obj):
    time.sleep(0.0005)
    return pickle.dumps(obj)


def test_a_single_value_write_waiting_for_room_keeps_its_queue_alive(tmp_path):
    """One value per call, the commonest write, into a ring of 8 that a slow pickler
    keeps full. While a push waits for room, its push_fail_callback detaches the queue
    from the writer and drops the last reference the program holds: the waiting write
    holds one of its own, so the queue lives until the write is done, and the tape
    holds, in order, every value written up to then."""
    path = tmp_path / "detach.tape"
    fw = ts.FramedWriter(str(path), raw=True)
    holder = []
    refs = []

    def callback():
        if holder:
            queue = holder.pop()
            w.queue = None
            refs.append(sys.getrefcount(queue))  # this name, the argument, the write's
            del queue
        return 0.001

    q = ts.Queue(ts.Persister(fw, slow_dumps), queue_capacity=8, push_fail_callback=callback)
    w = ts.ObjectWriter(q)
    holder.append(q)
    del q
    for i in range(100):
        w(complex(i, 1))
    assert refs == [3]
    fw.close()
    got = read_back(path)
    assert 5 <= len(got) < 100
    assert got == [complex(i, 1) for i in range(len(got))]
