// One file descriptor read and written against deadlines: the far end of a pseudo-terminal, a
// pipe to or from a child, a port opened as the host opens it. Every wait is a poll() bounded by
// the call's timeout, so a peer that stops talking fails a test instead of hanging it. Bytes a
// read takes in beyond what its call asked for wait in the stream for the next call.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

class FdStream {
  public:
    static constexpr uint32_t kWriteTimeoutMs = 5000;

    FdStream() = default;
    // Takes `fd` over (it is closed with the stream) and makes it non-blocking.
    explicit FdStream(int fd) { Adopt(fd); }
    ~FdStream() { Close(); }
    FdStream(const FdStream&) = delete;
    FdStream& operator=(const FdStream&) = delete;

    void Adopt(int fd);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }

    // Reads until `needle` has arrived: everything up to and including it, or, at the deadline
    // or the other end's close, what came without it.
    std::string ReadUntil(std::string_view needle, uint32_t timeoutMs);
    // `count` bytes, or fewer when the deadline or the other end's close comes first.
    std::string ReadCount(size_t count, uint32_t timeoutMs);
    // One byte, or -1 at the deadline or the other end's close.
    int ReadByte(uint32_t timeoutMs);
    // Everything that arrives until `quietMs` pass without a byte (0: what is there now).
    std::string ReadFor(uint32_t quietMs);

    // Waits up to `timeoutMs` for bytes and keeps what there is without taking it; false when
    // none came.
    bool Fill(uint32_t timeoutMs);
    // What has been read but not taken by a Read call.
    std::string_view Unread() const { return std::string_view(buffer_).substr(taken_); }
    // True once a read found the other end closed: end of file, or EIO from a pseudo-terminal
    // whose other side is no longer open anywhere.
    bool Ended() const { return ended_; }

    // Writes all of `bytes`, waiting while the other end is full; false on an error or when the
    // deadline passes first.
    bool Write(std::string_view bytes, uint32_t timeoutMs = kWriteTimeoutMs);
    bool Write(std::span<const uint8_t> bytes, uint32_t timeoutMs = kWriteTimeoutMs);

  private:
    // One read, after waiting up to `timeoutMs` for it to have something; false when nothing came.
    bool ReadOnce(uint32_t timeoutMs);
    std::string Take(size_t count);

    int fd_ = -1;
    bool ended_ = false;
    std::string buffer_;
    size_t taken_ = 0;  // the front of buffer_ already returned
};
