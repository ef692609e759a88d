"""Main job: records a small multi-threaded Python program to a tape through the whole
chain (FramedWriter -> Persister -> Queue -> ObjectWriter), reads the tape back and
prints a summary of what was seen."""
import collections
import os
import pickle
import tempfile
import threading

import _tarnwick_stream_debug as ts


def program(record, n_threads=3, orders_per_thread=40):
    """The recorded program: a few threads that each process a batch of orders and
    record what they do. Returns the number of values it recorded."""

    def worker(name):
        record({"thread": name, "event": "start"})
        total = 0
        for n in range(orders_per_thread):
            items = [(f"item-{k}", k % 5 + 1) for k in range(n % 4 + 1)]
            price = sum(qty * 3 for _, qty in items)
            total += price
            record({"thread": name, "event": "order", "n": n, "items": items, "price": price})
        record({"thread": name, "event": "done", "total": total})

    threads = [threading.Thread(target=worker, args=(f"worker-{t}",)) for t in range(n_threads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return n_threads * (orders_per_thread + 2)


def record_tape(path):
    writer = ts.FramedWriter(path, raw=True)          # raw: the tape holds only records
    persister = ts.Persister(writer, pickle.dumps)    # serializer for other values
    q = ts.Queue(persister)                           # starts its writer threads
    record = ts.ObjectWriter(q)                       # called by the recorded threads
    recorded = program(record)
    record.heartbeat({"phase": "end"})
    q.close()                                         # everything written and flushed
    writer.close()
    return recorded, writer.bytes_written


def read_tape(path):
    beats = []
    reader = ts.TapeReader(path, pickle.loads, 0, False, None, beats.append)
    size = os.path.getsize(path)
    values = []
    while reader.file_offset() < size:
        value = next(reader)
        if value is not None:
            values.append(value)
    return values, beats


def main():
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "demo.tape")
        written, size = record_tape(path)
        values, beats = read_tape(path)
    per_thread = collections.Counter(v["thread"] for v in values)
    events = collections.Counter(v["event"] for v in values)
    totals = {v["thread"]: v["total"] for v in values if v["event"] == "done"}
    print(f"recorded {written} values and a heartbeat from 3 threads into a {size}-byte tape")
    print(f"read back {len(values)} values and {len(beats)} heartbeat(s): {beats}")
    print("events:", dict(sorted(events.items())))
    for name in sorted(per_thread):
        orders = [v for v in values if v["thread"] == name and v["event"] == "order"]
        in_order = [v["n"] for v in orders] == list(range(len(orders)))
        print(f"  {name}: {per_thread[name]} values, {len(orders)} orders "
              f"(in order: {in_order}), total {totals.get(name)}")
    print("first value:", values[0])


if __name__ == "__main__":
    main()
