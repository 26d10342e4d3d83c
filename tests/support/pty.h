// Both ends of the line a test talks over: a real pseudo-terminal whose far end the test plays
// byte by byte, and a port opened as the host opens one.
#pragma once

#include <string>

#include "tests/support/fd_stream.h"

// A new pseudo-terminal pair, raw. The test reads and writes the master end (this stream); the
// program under test opens SlavePath() as its serial port.
class PtyPeer : public FdStream {
  public:
    PtyPeer();  // opens the pair; check Ok()
    ~PtyPeer();

    bool Ok() const { return IsOpen(); }
    const std::string& SlavePath() const { return slavePath_; }
    // Held open for the peer's life, so the master never reads EIO between host sessions; a
    // test may also hold the line's output with it (tcflow).
    int SlaveFd() const { return slave_; }
    // Closes both ends: the host's side hangs up.
    void Hangup();

  private:
    int slave_ = -1;
    std::string slavePath_;
};

// A terminal opened the way the host opens its port: read-write, not as the controlling
// terminal, raw at 115200 bit/s, non-blocking. Check IsOpen(); Error() says why not.
class HostPort : public FdStream {
  public:
    explicit HostPort(const std::string& path);
    const std::string& Error() const { return error_; }

  private:
    std::string error_;
};
