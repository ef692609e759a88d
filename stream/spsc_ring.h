// A bounded single-producer single-consumer ring with an exact capacity, over
// moodycamel::ReaderWriterQueue. The library only promises room for at least the
// requested number of items, so the ring keeps its own counts and refuses a push once
// that many are stored. Each side counts its own operations in a counter only it
// writes (a plain release store, no read-modify-write on the hot path), and the counts
// also order the item slots between the two sides: the producer publishes `pushed_`
// with a release store after writing a slot, the consumer reads it with an acquire
// load before touching one, and the reverse with `popped_` for pops.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include <readerwriterqueue/readerwriterqueue.h>

namespace tarnwick_stream {

template <typename T>
class SpscRing {
public:
    explicit SpscRing(size_t capacity) : ring_(capacity), capacity_(capacity) {}
    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    // Producer side: false when the ring already holds `capacity()` items.
    bool try_push(T value) {
        uint64_t pushed = pushed_.load(std::memory_order_relaxed);
        if (pushed - popped_.load(std::memory_order_acquire) >= capacity_) return false;
        if (!ring_.try_enqueue(value)) return false;
        pushed_.store(pushed + 1, std::memory_order_release);
        return true;
    }

    // Consumer side: the oldest item, or null when the ring is empty.
    T* front() {
        if (pushed_.load(std::memory_order_acquire) == popped_.load(std::memory_order_relaxed))
            return nullptr;
        return ring_.peek();
    }

    // Consumer side: removes the oldest item; call only after front() returned one.
    void pop() {
        ring_.pop();
        popped_.store(popped_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }

    // Stored items. Exact for the side that calls it about its own operations; the
    // other side's concurrent ones may not be counted yet. The pop count is read
    // first: pushes only ever run ahead of pops, so the difference cannot go negative
    // for any caller.
    size_t size() const {
        uint64_t popped = popped_.load(std::memory_order_acquire);
        return static_cast<size_t>(pushed_.load(std::memory_order_acquire) - popped);
    }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size() == 0; }

private:
    moodycamel::ReaderWriterQueue<T> ring_;
    const size_t capacity_;
    // Padded apart, so that the two sides do not write one cache line (padding, not
    // alignas: the ring lives inside a Python object, which is only 16-byte aligned).
    char pad0_[64];
    std::atomic<uint64_t> pushed_{0};
    char pad1_[64];
    std::atomic<uint64_t> popped_{0};
};

}  // namespace tarnwick_stream
