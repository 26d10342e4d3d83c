// The simulated device's XMODEM receiver, started by the console's UPDATE or, in receiver-only
// mode, from the first byte.
//
// It asks with "C" (1K blocks, CRC-16) or NAK (128-byte blocks, 8-bit sum) at once and every
// second until the first packet starts; bytes other than a packet header are ignored until then.
// Per packet: header of the chosen mode, block number expected (or the previous one, which is
// acknowledged and dropped), complement, check; a bad packet gets NAK; a packet whose number is
// neither expected nor previous ends the transfer with CAN CAN. One second of silence while a
// packet is awaited (or half received) gets NAK; junk where a header belongs is dropped until
// the line has been quiet for 100 ms, then NAK. Ten such retries in a row without a good packet
// end the transfer with CAN CAN. The host's CAN CAN, or an ESC where a header belongs, ends the
// transfer without a word (an ESC also wakes the console). EOT is acknowledged and ends the
// transfer; the image checks out when the received data covers the announced size and
// everything beyond it is SUB padding of less than one block. Line noise is coped with as a real
// receiver does: a packet that fails its check gets NAK, a repeat of the last good one is
// acknowledged and dropped, a lost byte leaves the packet short until a second of silence gets
// NAK.
//
// Faults: nakBlockOnce refuses one good block once and nakEotTimes the first EOTs;
// cancelAfterBlocks answers the packet after N accepted blocks with CAN CAN; stallAfterBlocks
// stops answering (only the host's CAN CAN still ends the transfer); vanishAfterBlocks hands the
// line back to the device for closing once block N is acknowledged (N = 0: right after
// "Ready for XMODEM", before the first "C" or NAK). garbageBurst writes that many random bytes
// once per transfer, right after the ACK of the block that completes half the announced blocks
// (the first block in receiver-only mode, where no size is announced).
//
// Receiver-only mode: asking with "C" or NAK at once and every second (without giving up) until
// a sender starts. It takes 128-byte (SOH) and 1K (STX) packets alike, checked by CRC-16 after
// "C" and by sum after NAK, and keeps the data exactly as received, padding included: without an
// announced size it cannot tell padding from data. An EOT before the first packet is
// acknowledged and ignored (a sender that missed our ACK of its last EOT sends it again).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/line.h"
#include "sim/random.h"
#include "sim/sim_device.h"

namespace sim {

class Receiver {
  public:
    // What the device does next, after each call.
    enum class Outcome {
        Receiving,    // nothing: the transfer goes on
        Ended,        // the transfer ended without an image
        EndedByWake,  // the same, by an ESC that the console should now take
        Completed,    // EOT acknowledged: Image() and ImageOk() tell what came
        Vanish,       // vanishAfterBlocks reached: the device closes its line
    };

    Receiver(const DeviceConfig& config, Line& line);

    // A new transfer of `announcedSize` bytes (ignored in receiver-only mode). Asks the sender
    // at once when `askNow`, else a retry gap from now.
    Outcome Start(uint32_t announcedSize, bool askNow);
    // One byte from the host, received at `now`.
    Outcome Take(uint8_t byte, Clock::time_point now);
    // When Tick() is due; none while stalled.
    std::optional<Clock::time_point> Deadline() const;
    Outcome Tick();

    // The last completed transfer, cut to the announced size (receiver-only: every block as it
    // came), and whether it checks out.
    const std::vector<uint8_t>& Image() const { return image_; }
    bool ImageOk() const { return imageOk_; }
    // Blocks stored by the current or last transfer. Thread-safe.
    int BlocksAccepted() const { return blocks_.load(); }

  private:
    enum class State { Receive, Purge, Stalled };

    uint8_t Ask() const;
    bool Waiting() const { return config_.receiverOnly && !started_; }
    void Send(uint8_t byte) { wire_.Send(byte, true); }
    Outcome Cancel(const std::string& reason);
    Outcome PacketDone();
    Outcome Retry(uint8_t ask);
    std::optional<Outcome> CancelOrStall();
    Outcome Eot();
    Outcome Complete();
    Outcome Abort(const std::string& reason);
    void SendGarbage();
    void Emit(EventKind kind, std::string text) const;

    const DeviceConfig& config_;
    Line& wire_;
    Random garbage_;

    State state_ = State::Receive;
    std::optional<Clock::time_point> deadline_;
    bool crc_ = true;
    size_t blockSize_ = 1024;
    size_t packetLength_ = 1029;
    uint8_t expected_ = 1;
    bool started_ = false;  // a packet header has arrived in this transfer
    std::vector<uint8_t> packet_;
    std::vector<uint8_t> image_;
    uint32_t announcedSize_ = 0;
    int accepted_ = 0;
    std::atomic<int> blocks_{0};  // accepted_, published
    int retries_ = 0;
    bool canSeen_ = false;
    bool nakDone_ = false;
    int eotNaks_ = 0;
    bool imageOk_ = false;
    int garbageAt_ = 0;  // the block whose ACK the garbage burst follows
    bool garbageSent_ = false;
};

}  // namespace sim
