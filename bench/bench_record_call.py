"""Recording-thread cost per value: calling an ObjectWriter whose queue drives a
Persister, against queue.SimpleQueue.put of the same values in the same loop.

Each timed loop pushes fewer values than half the ring holds, so the writer thread is
not woken during the loop and the figure is the cost paid on the recording thread
(serialisation happens later, on the writer thread: see bench_disturbance.py). Between
rounds the queue is drained so every round starts with an empty ring. Best of several
rounds for each side.

    .venv/bin/python bench/bench_record_call.py [values-per-round] [rounds]
"""
import os
import pickle
import queue
import sys
import tempfile
import time

import _tarnwick_stream_debug as ts


def sample_values(n):
    kinds = [
        lambda i: i,                       # small and large ints
        lambda i: i * 1000003,
        lambda i: f"name-{i}",             # fresh strings
        lambda i: (i, "k"),                # tuples
        lambda i: [i, i + 1],              # lists
        lambda i: {"i": i},                # dicts
        lambda i: b"payload",              # constant bytes
        lambda i: None,
    ]
    return [kinds[i % len(kinds)](i) for i in range(n)]


def time_loop(call, values):
    t0 = time.perf_counter()
    for v in values:
        call(v)
    return time.perf_counter() - t0


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    values = sample_values(n)
    with tempfile.TemporaryDirectory() as d:
        fw = ts.FramedWriter(os.path.join(d, "bench.tape"), raw=True)
        p = ts.Persister(fw, pickle.dumps)
        q = ts.Queue(p, queue_capacity=4 * n, worker_wait_timeout_ms=1000)
        w = ts.ObjectWriter(q)
        best_sq = best_ow = float("inf")
        for _ in range(rounds):
            sq = queue.SimpleQueue()
            best_sq = min(best_sq, time_loop(sq.put, values))
            del sq
            best_ow = min(best_ow, time_loop(w, values))
            q.drain()
            q.resume()
        q.close()
        fw.close()
        written = fw.bytes_written
    per_sq = best_sq / n * 1e9
    per_ow = best_ow / n * 1e9
    print(f"values per round: {n}, rounds: {rounds} (best of)")
    print(f"queue.SimpleQueue.put      : {per_sq:7.1f} ns/value")
    print(f"ObjectWriter -> Persister  : {per_ow:7.1f} ns/value")
    print(f"ratio ObjectWriter/SimpleQueue.put: {per_ow / per_sq:.2f} (bound 1.5)")
    print(f"tape bytes written: {written}")


if __name__ == "__main__":
    main()
