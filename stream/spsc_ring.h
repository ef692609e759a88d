// A bounded single-producer single-consumer ring with an exact capacity, over
// moodycamel::ReaderWriterQueue. The library only promises room for at least the
// requested number of items, so the ring keeps its own count and refuses a push once
// that many are stored. The count also orders the item slots between the two sides:
// the producer publishes with a release increment after writing a slot, the consumer
// reads it with an acquire load before touching one, and the reverse for pops.
#pragma once

#include <atomic>
#include <cstddef>

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
        if (count_.load(std::memory_order_acquire) >= capacity_) return false;
        if (!ring_.try_enqueue(value)) return false;
        count_.fetch_add(1, std::memory_order_release);
        return true;
    }

    // Consumer side: the oldest item, or null when the ring is empty.
    T* front() {
        if (count_.load(std::memory_order_acquire) == 0) return nullptr;
        return ring_.peek();
    }

    // Consumer side: removes the oldest item; call only after front() returned one.
    void pop() {
        ring_.pop();
        count_.fetch_sub(1, std::memory_order_release);
    }

    // Stored items. Exact for the side that calls it about its own operations; the
    // other side's concurrent ones may not be counted yet.
    size_t size() const { return count_.load(std::memory_order_acquire); }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size() == 0; }

private:
    moodycamel::ReaderWriterQueue<T> ring_;
    const size_t capacity_;
    std::atomic<size_t> count_{0};
};

}  // namespace tarnwick_stream
