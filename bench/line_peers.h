// The far end the line benchmarks send into, the simulated device with its events timed, and the
// framing arithmetic of a 115200 bit/s line. The host's end of its pty is a HostPort
// (tests/support/pty.h).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "sim/sim_device.h"

namespace bench {

constexpr uint32_t kLineBps = 115200;
constexpr double kLineBytesPerSecond = kLineBps / 10.0;  // 8N1: ten bits a byte
constexpr double kByteSeconds = 1.0 / kLineBytesPerSecond;

struct XmodemMode {
    bool crc;
    const char* name;  // "1K/CRC" or "128/sum"
    uint32_t block;    // data bytes per packet
    uint32_t packet;   // bytes per packet on the wire, header and check included
    // Image bytes a second when every packet costs its own bytes and one ACK of line time.
    double FramingLimit() const { return kLineBytesPerSecond * block / (packet + 1); }
    // The same without the ACK: the most a device whose replies cost no line time can take.
    double FreeAckCeiling() const { return kLineBytesPerSecond * block / packet; }
};
constexpr XmodemMode kModes[] = {{true, "1K/CRC", 1024, 1029}, {false, "128/sum", 128, 132}};

// Every event of a simulated device, stamped with Now() as it happened.
class EventLog {
  public:
    // Installs itself as the config's event callback.
    void Attach(sim::DeviceConfig& config);
    // Now() of the nth event of `kind` since the last Clear(), waiting up to `timeoutMs` for it;
    // 0 when it did not come.
    double WaitFor(sim::EventKind kind, uint32_t timeoutMs, int nth = 1);
    // The last TransferDone's verdict on the data (false when none came).
    bool TransferOk();
    void Clear();

  private:
    struct Stamp {
        sim::EventKind kind;
        double at;
        bool ok;
    };
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Stamp> stamps_;
};

// Starts a device, printing why when it cannot.
bool StartDevice(sim::Device& device);

}  // namespace bench
