// The tape's output end: a memory buffer flushed to one descriptor, either cut into
// frames stamped with the writing process's id or unchanged (raw mode).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tarnwick_stream {

// A growable byte buffer on malloc/realloc: a large buffer grows by remapping its
// pages rather than copying them into fresh ones, which keeps a long batch of appends
// from paying for every doubling twice.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ~ByteBuffer() { std::free(data_); }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    void clear() { size_ = 0; }

    void reserve(size_t n) {
        if (n > capacity_) grow_to(n);
    }
    void push_back(uint8_t b) {
        if (size_ == capacity_) grow_to(size_ + 1);
        data_[size_++] = b;
    }
    void append(const uint8_t* p, size_t n) {
        if (n > capacity_ - size_) grow_to(size_ + n);
        if (n) std::memcpy(data_ + size_, p, n);
        size_ += n;
    }
    // Only shrinks.
    void truncate(size_t n) {
        if (n < size_) size_ = n;
    }

private:
    // At least doubles; throws std::bad_alloc like the standard containers.
    void grow_to(size_t need) {
        size_t cap = capacity_ ? capacity_ : 64;
        while (cap < need) cap *= 2;
        void* p = std::realloc(data_, cap);
        if (!p) throw std::bad_alloc();
        data_ = static_cast<uint8_t*>(p);
        capacity_ = cap;
    }

    uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

class FramedWriter {
public:
    static constexpr size_t FRAME_HEADER_SIZE = 6;
    static constexpr size_t MAX_FRAME = 65536;

    // Takes ownership of fd.
    FramedWriter(int fd, size_t frame_size, bool raw);
    ~FramedWriter() = default;
    FramedWriter(const FramedWriter&) = delete;
    FramedWriter& operator=(const FramedWriter&) = delete;

    int fd() const { return fd_; }
    bool is_closed() const { return fd_ < 0; }
    bool raw() const { return raw_; }
    size_t max_payload() const { return max_payload_; }
    size_t buffered() const { return buf_.size(); }
    uint64_t bytes_written() const { return bytes_written_; }

    void stamp_pid();

    void write_byte(uint8_t v) { buf_.push_back(v); }
    void write_uint16(uint16_t v) { append_le(v, 2); }
    void write_uint32(uint32_t v) { append_le(v, 4); }
    void write_uint64(uint64_t v) { append_le(v, 8); }
    void write_int64(int64_t v) { append_le(static_cast<uint64_t>(v), 8); }
    void write_float64(double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        append_le(bits, 8);
    }
    void write_bytes(const uint8_t* data, size_t n) { buf_.append(data, n); }

    // Cuts the buffer back to `size` bytes; used to withdraw a partly written record.
    void truncate(size_t size) { buf_.truncate(size); }

    // Writes out and empties the buffer. Returns 0, or the errno of the first failed
    // write(2); after a failure the rest of the buffer is dropped and bytes_written()
    // counts only the payload bytes the descriptor accepted.
    int flush();
    // flush(), then closes the descriptor. Returns what flush() returned.
    int close();

private:
    void append_le(uint64_t v, int n) {
        uint8_t b[8];
        for (int i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
        buf_.append(b, n);
    }
    // Writes header (may be empty) and payload in as few write calls as the
    // descriptor allows: one, unless it accepts only part. Returns 0 or an errno and
    // the number of payload bytes accepted.
    int write_piece(const uint8_t* header, size_t header_len, const uint8_t* payload,
                    size_t payload_len, size_t* payload_accepted);

    int fd_;
    size_t max_payload_;
    bool raw_;
    uint8_t pid_bytes_[4];
    ByteBuffer buf_;
    uint64_t bytes_written_;
};

}  // namespace tarnwick_stream
