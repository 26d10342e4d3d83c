// The simulated device's end of the serial line: a pseudo-terminal pair, the pace of a real line
// and its noise. The console and the XMODEM receiver put their bytes on it; the device thread
// moves them between it and the host.
//
// Line rate: with lineRateBps set, both directions are paced at lineRateBps / 10 bytes a second
// (a byte takes ten bits on an 8N1 line), with at most 5 ms' worth in one burst: replies leave no
// faster, and the host's bytes are taken from the pty no faster, so they back up there as they
// would in front of a real UART. The device sleeps in poll until the next byte is due; it never
// spins. 0 leaves the line as fast as the pty.
//
// Line noise: each byte the device sends is corrupted (one random bit flipped) with probability
// noiseOut, each byte it receives with noiseIn; with dropRate a byte either way is lost instead.
// Only bytes that pass while the receiver runs are touched, unless noiseEverywhere includes the
// console: the sender of each byte says whether it is exposed. Everything is drawn from
// generators seeded with `seed`, one per direction, one draw pair per byte touched, so a run with
// the same seed and the same bytes hits the same bytes. The garbage burst goes out untouched: it
// is noise itself.
//
// The host may open and close the port any number of times: the device holds a slave fd of its
// own (never locked), so the line never hangs up between sessions. A pty keeps the exclusive flag
// (TIOCEXCL) after the host closes, which would lock any later unprivileged session out; the
// line therefore clears the flag whenever it reads from the host. The host's flock still keeps
// a second host off.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sim/random.h"
#include "sim/sim_device.h"

namespace sim {

using Clock = std::chrono::steady_clock;

// One direction of the line at a fixed byte rate, as a token bucket on the monotonic clock:
// `due_` is when everything let through so far would have finished on the wire. A burst of a few
// milliseconds may pass at once, so a loop that wakes a little late loses no throughput, while
// the long-run rate never exceeds the line's.
class Pacer {
  public:
    // Ten bits a byte: start, eight data bits, stop. 0 bits per second: unlimited.
    explicit Pacer(uint32_t bitsPerSecond);
    bool Unlimited() const { return perByte_.count() == 0; }
    // How many bytes may pass now.
    size_t Allowance(Clock::time_point now) const;
    void Spend(size_t bytes, Clock::time_point now);
    // When the next byte may pass.
    Clock::time_point NextAt() const { return due_ - burst_ + perByte_; }

  private:
    Clock::duration perByte_{0};
    Clock::duration burst_{0};
    Clock::time_point due_{};
};

class Line {
  public:
    explicit Line(const DeviceConfig& config);
    ~Line();  // Close()
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // Creates the pty (master non-blocking, our own slave fd raw at 115200) and sets *slavePath.
    // False with *error set when any step fails; nothing is left open then.
    bool Open(std::string* slavePath, std::string* error);
    // Closes both of our ends: the host's port hangs up. Safe to repeat.
    void Close();
    bool IsOpen() const { return master_ >= 0; }

    // Queues bytes for the host; `exposed` ones meet the outgoing noise first.
    void Send(uint8_t byte, bool exposed);
    void Send(std::string_view bytes, bool exposed);
    // Queues bytes that no noise touches.
    void SendUntouched(std::string_view bytes);
    bool HasOutput() const { return !out_.empty(); }
    void DropOutput() { out_.clear(); }
    // Writes as much of the queue as the pace and the pty take. False with *error set when the
    // line failed.
    bool Flush(std::string* error);

    // The poll events to wait for on Fd() now: input when `wantInput` and output when some is
    // queued, each only while its pace allows; a direction held back by its pace moves *wake to
    // when it may go on.
    short Events(Clock::time_point now, bool wantInput,
                 std::optional<Clock::time_point>* wake) const;
    int Fd() const { return master_; }

    // Reads what the pace allows, up to `size` bytes: the count read, 0 when nothing was there
    // after all, -1 with *error set when the line failed (a hang-up included).
    ssize_t Read(uint8_t* buffer, size_t size, std::string* error);
    // One received byte through the incoming noise: false when it is lost, else possibly changed.
    bool Receive(uint8_t* byte);

    // Bytes we wrote that the host has not read yet.
    size_t UnreadByHost() const;

    // Thread-safe.
    NoiseCounts Noise() const;

  private:
    bool Disturb(Random& random, double corrupt, std::atomic<uint64_t>& corrupted,
                 std::atomic<uint64_t>& dropped, uint8_t* byte);

    const double noiseIn_;
    const double noiseOut_;
    const double dropRate_;
    int master_ = -1;
    int slave_ = -1;
    std::string out_;
    Pacer inPace_;
    Pacer outPace_;
    Random inNoise_;
    Random outNoise_;
    std::atomic<uint64_t> corruptedIn_{0};
    std::atomic<uint64_t> corruptedOut_{0};
    std::atomic<uint64_t> droppedIn_{0};
    std::atomic<uint64_t> droppedOut_{0};
};

}  // namespace sim
