// The device end of a real pseudo-terminal, driven by a test byte by byte.
#pragma once

#include <cstdint>
#include <string>

class PtyPeer {
  public:
    PtyPeer();  // opens the pair; check Ok()
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool Ok() const { return master_ >= 0; }
    const std::string& SlavePath() const { return slavePath_; }
    int MasterFd() const { return master_; }

    // Everything the host has written within `ms` of quiet (returns after the first quiet gap).
    std::string ReadFor(uint32_t ms);
    // Reads until `needle` has been seen (the bytes read so far are returned either way).
    std::string ReadUntil(const std::string& needle, uint32_t timeoutMs);
    // Reads exactly `count` bytes or until the timeout.
    std::string ReadCount(size_t count, uint32_t timeoutMs);
    bool Write(const std::string& bytes);
    // Closes the master: the host's side hangs up.
    void Hangup();

  private:
    int master_ = -1;
    int slave_ = -1;  // held so the master never reads EIO between host sessions
    std::string slavePath_;
};
