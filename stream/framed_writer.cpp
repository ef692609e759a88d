#include "framed_writer.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tarnwick_stream {

FramedWriter::FramedWriter(int fd, size_t frame_size, bool raw)
    : fd_(fd),
      max_payload_(std::min(frame_size, MAX_FRAME) - FRAME_HEADER_SIZE),
      raw_(raw),
      pid_bytes_{},
      bytes_written_(0) {
    buf_.reserve(MAX_FRAME);
    stamp_pid();
}

void FramedWriter::stamp_pid() {
    uint32_t pid = static_cast<uint32_t>(getpid());
    for (int i = 0; i < 4; ++i) pid_bytes_[i] = static_cast<uint8_t>(pid >> (8 * i));
}

int FramedWriter::write_piece(const uint8_t* header, size_t header_len, const uint8_t* payload,
                              size_t payload_len, Interrupted interrupted,
                              size_t* payload_accepted) {
    iovec iov[2];
    int iovcnt = 0;
    if (header_len) iov[iovcnt++] = {const_cast<uint8_t*>(header), header_len};
    iov[iovcnt++] = {const_cast<uint8_t*>(payload), payload_len};
    size_t header_left = header_len;
    size_t payload_done = 0;
    iovec* cur = iov;
    while (iovcnt > 0) {
        ssize_t n = ::writev(fd_, cur, iovcnt);
        if (n < 0) {
            const int err = errno;
            if (err != EINTR) {
                *payload_accepted = payload_done;
                return err;
            }
            const bool may_stop = raw_ || (header_left == header_len && payload_done == 0);
            if (interrupted && may_stop && interrupted()) {
                *payload_accepted = payload_done;
                return EINTR;
            }
            continue;
        }
        size_t left = static_cast<size_t>(n);
        size_t from_header = std::min(left, header_left);
        header_left -= from_header;
        payload_done += left - from_header;
        // Advance past what was accepted; a short write continues with the rest.
        while (iovcnt > 0 && left >= cur->iov_len) {
            left -= cur->iov_len;
            ++cur;
            --iovcnt;
        }
        if (iovcnt > 0) {
            cur->iov_base = static_cast<uint8_t*>(cur->iov_base) + left;
            cur->iov_len -= left;
            // A signal that arrives once some bytes have left shortens the write instead
            // of failing it: ask before blocking again.
            if (interrupted && raw_ && interrupted()) {
                *payload_accepted = payload_done;
                return EINTR;
            }
        }
    }
    *payload_accepted = payload_done;
    return 0;
}

int FramedWriter::flush(Interrupted interrupted) {
    if (buf_.empty() || fd_ < 0) return 0;
    struct Flushing {
        bool& flag;
        explicit Flushing(bool& f) : flag(f) { flag = true; }
        ~Flushing() { flag = false; }
    } flushing(flushing_);
    int err = 0;
    const uint8_t* data = buf_.data();
    const size_t total = buf_.size();
    size_t sent = 0;
    if (raw_) {
        err = write_piece(nullptr, 0, data, total, interrupted, &sent);
        bytes_written_ += sent;
    } else {
        while (sent < total) {
            size_t chunk = std::min(total - sent, max_payload_);
            uint8_t header[FRAME_HEADER_SIZE] = {pid_bytes_[0], pid_bytes_[1], pid_bytes_[2],
                                                 pid_bytes_[3], static_cast<uint8_t>(chunk),
                                                 static_cast<uint8_t>(chunk >> 8)};
            size_t accepted = 0;
            err = write_piece(header, FRAME_HEADER_SIZE, data + sent, chunk, interrupted,
                              &accepted);
            bytes_written_ += accepted;
            if (err) break;
            sent += chunk;
        }
    }
    if (err == EINTR)
        buf_.erase_front(sent);  // stopped by a signal: the rest waits for the next flush
    else
        buf_.clear();
    return err;
}

int FramedWriter::close(Interrupted interrupted) {
    int err = flush(interrupted);
    if (err != EINTR && fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    return err;
}

}  // namespace tarnwick_stream
