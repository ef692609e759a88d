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
                              size_t payload_len, size_t* payload_accepted) {
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
            if (errno == EINTR) continue;
            *payload_accepted = payload_done;
            return errno;
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
        }
    }
    *payload_accepted = payload_done;
    return 0;
}

int FramedWriter::flush() {
    if (buf_.empty() || fd_ < 0) return 0;
    int err = 0;
    const uint8_t* data = buf_.data();
    size_t remaining = buf_.size();
    if (raw_) {
        size_t accepted = 0;
        err = write_piece(nullptr, 0, data, remaining, &accepted);
        bytes_written_ += accepted;
    } else {
        while (remaining > 0) {
            size_t chunk = std::min(remaining, max_payload_);
            uint8_t header[FRAME_HEADER_SIZE] = {pid_bytes_[0], pid_bytes_[1], pid_bytes_[2],
                                                 pid_bytes_[3], static_cast<uint8_t>(chunk),
                                                 static_cast<uint8_t>(chunk >> 8)};
            size_t accepted = 0;
            err = write_piece(header, FRAME_HEADER_SIZE, data, chunk, &accepted);
            bytes_written_ += accepted;
            if (err) break;
            data += chunk;
            remaining -= chunk;
        }
    }
    buf_.clear();
    return err;
}

int FramedWriter::close() {
    int err = flush();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    return err;
}

}  // namespace tarnwick_stream
