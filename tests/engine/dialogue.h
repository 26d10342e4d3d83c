// A test plays the device by hand over a real pty while the engine runs a job on its worker.
#pragma once

#include <cstdint>
#include <string>

#include "tests/engine/packet.h"
#include "tests/support/job_runner.h"
#include "tests/support/pty.h"
#include "tests/support/temp_dir.h"

// The device's side of the usual console exchanges, each a raw reply to one host command.
struct ConsoleReplies {
    std::string wake = "\r\n>";
    std::string ident = "IDENT\r\nQRV-0001\r\n>";
    std::string version = "VER\r\nVer01.02\r\n>";
    std::string update;  // empty: echo of the host's UPDATE line, then "Ready\r\n"
};

class Dialogue {
  public:
    // Writes `image` to a file and starts a job on it against this dialogue's pty, with the
    // identity check on when `identity` (8 bytes) is given.
    explicit Dialogue(const std::string& image, const char* identity = nullptr,
                      WorkerThread::Entry entry = nullptr);
    ~Dialogue();

    // Reads the host's bytes until `bytes` has appeared after everything matched so far.
    // False when the job ended, or 3 s passed, first.
    bool Expect(const std::string& bytes);
    // Reads exactly `count` further bytes of the host (a packet).
    std::string Take(size_t count);
    void Send(const std::string& bytes) { peer_.Write(bytes); }

    // Runs the console up to the device's acceptance of UPDATE; false where the host stopped.
    bool Console(const ConsoleReplies& replies = {});
    // Ends a transfer the device accepted: ACKs every block of `packetSize`, then EOT.
    // Returns the data of the blocks received, in order.
    std::string AcceptBlocks(size_t packetSize);

    int32_t Result(uint32_t timeoutMs = 3000) { return runner_.Wait(timeoutMs); }
    void Cancel() { runner_.Cancel(); }
    // Every byte the host has written so far (reads what is pending for `quietMs` first).
    const std::string& Host(uint32_t quietMs = 0);
    PtyPeer& Peer() { return peer_; }

  private:
    void Pull(uint32_t waitMs);

    TempDir dir_;
    PtyPeer peer_;
    JobRunner runner_;
    std::string host_;
    size_t matched_ = 0;
};
