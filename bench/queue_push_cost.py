"""Recording-thread cost per value of the queue's push side, next to queue.SimpleQueue.put.

One thread puts the same values in the same loop: on a SimpleQueue, and into a Queue
whose writer thread serialises them with a Persister into a raw tape (pushed with the
queue's test probe behind a native write lock, as a front end pushes them; the time
until close() returns is reported separately). Fastest of several interleaved rounds.

Usage: .venv/bin/python bench/queue_push_cost.py [values [rounds]]
"""
import os
import pickle
import queue
import sys
import tempfile
import time

import _tarnwick_queue_probe as probe
import _tarnwick_stream_debug as ts

VALUES = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 5


def values():
    return [(i, i & 0xFF, "v") for i in range(VALUES)]


def simple_queue(vals):
    sq = queue.SimpleQueue()
    put = sq.put
    start = time.perf_counter()
    for v in vals:
        put(v)
    return time.perf_counter() - start, None


def ours(vals, path):
    writer = ts.FramedWriter(path, raw=True)
    q = ts.Queue(ts.Persister(writer, pickle.dumps))
    push = probe.push_obj_locked
    start = time.perf_counter()
    for v in vals:
        push(q, v)
    pushed = time.perf_counter() - start
    q.close()
    closed = time.perf_counter() - start
    writer.close()
    return pushed, closed


def main():
    vals = values()
    best_sq = best_push = best_close = float("inf")
    with tempfile.TemporaryDirectory() as d:
        for r in range(ROUNDS):
            best_sq = min(best_sq, simple_queue(vals)[0])
            pushed, closed = ours(vals, os.path.join(d, f"tape{r}.bin"))
            best_push = min(best_push, pushed)
            best_close = min(best_close, closed)
    per = 1e9 / VALUES
    print(f"values: {VALUES:,}, fastest of {ROUNDS} rounds")
    print(f"SimpleQueue.put          {best_sq * per:7.1f} ns/value")
    print(f"Queue push (Persister)   {best_push * per:7.1f} ns/value   ratio {best_push / best_sq:.2f}")
    print(f"  ... until close()      {best_close * per:7.1f} ns/value")


if __name__ == "__main__":
    if not hasattr(ts, "Persister"):
        sys.exit("this benchmark needs the Persister in _tarnwick_stream_debug")
    main()
