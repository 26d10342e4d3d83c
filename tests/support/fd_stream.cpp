#include "tests/support/fd_stream.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "platform/platform.h"

void FdStream::Adopt(int fd) {
    Close();
    fd_ = fd;
    if (fd_ >= 0) fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

void FdStream::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    ended_ = false;
    buffer_.clear();
    taken_ = 0;
}

bool FdStream::ReadOnce(uint32_t timeoutMs) {
    if (fd_ < 0 || ended_) return false;
    if (timeoutMs > 0) {
        pollfd wait{fd_, POLLIN, 0};
        const int ready = poll(&wait, 1, int(timeoutMs));
        if (ready < 0 && errno == EINTR) return true;  // the caller's deadline decides
        if (ready <= 0) return false;
    }
    // Taken bytes are dropped once they are the larger part, so a long stream stays small.
    if (taken_ > 4096 && taken_ * 2 > buffer_.size()) {
        buffer_.erase(0, taken_);
        taken_ = 0;
    }
    char chunk[4096];
    const ssize_t n = read(fd_, chunk, sizeof chunk);
    if (n > 0) {
        buffer_.append(chunk, size_t(n));
        return true;
    }
    if (n < 0 && errno == EINTR) return true;
    if (n == 0 || errno != EAGAIN) ended_ = true;
    return false;
}

std::string FdStream::Take(size_t count) {
    const std::string taken = buffer_.substr(taken_, count);
    taken_ += taken.size();
    return taken;
}

std::string FdStream::ReadUntil(std::string_view needle, uint32_t timeoutMs) {
    const Deadline deadline = Deadline::After(timeoutMs);
    size_t searched = 0;  // unread bytes known not to start the needle
    for (;;) {
        const size_t at = buffer_.find(needle, taken_ + searched);
        if (at != std::string::npos) return Take(at + needle.size() - taken_);
        // The needle may straddle two reads: the next search starts just before the new bytes.
        const size_t unread = buffer_.size() - taken_;
        searched = unread - std::min(unread, needle.size() - std::min<size_t>(needle.size(), 1));
        if (deadline.Expired() || ended_ || fd_ < 0) return Take(std::string::npos);
        ReadOnce(deadline.RemainingMs());
    }
}

std::string FdStream::ReadCount(size_t count, uint32_t timeoutMs) {
    const Deadline deadline = Deadline::After(timeoutMs);
    while (buffer_.size() - taken_ < count && !deadline.Expired() && !ended_ && fd_ >= 0) {
        ReadOnce(deadline.RemainingMs());
    }
    return Take(count);
}

int FdStream::ReadByte(uint32_t timeoutMs) {
    const std::string byte = ReadCount(1, timeoutMs);
    return byte.empty() ? -1 : uint8_t(byte[0]);
}

std::string FdStream::ReadFor(uint32_t quietMs) {
    while (ReadOnce(quietMs)) {
    }
    return Take(std::string::npos);
}

bool FdStream::Fill(uint32_t timeoutMs) {
    const size_t before = buffer_.size() - taken_;
    const Deadline deadline = Deadline::After(timeoutMs);
    while (buffer_.size() - taken_ == before && !deadline.Expired() && !ended_ && fd_ >= 0) {
        ReadOnce(deadline.RemainingMs());
    }
    while (ReadOnce(0)) {
    }
    return buffer_.size() - taken_ > before;
}

bool FdStream::Write(std::string_view bytes, uint32_t timeoutMs) {
    const Deadline deadline = Deadline::After(timeoutMs);
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        pollfd wait{fd_, POLLOUT, 0};
        if (deadline.Expired() || poll(&wait, 1, int(deadline.RemainingMs())) < 0) return false;
    }
    return fd_ >= 0 && done == bytes.size();
}

bool FdStream::Write(std::span<const uint8_t> bytes, uint32_t timeoutMs) {
    return Write(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                 timeoutMs);
}
