#include "sim/receiver.h"

#include <algorithm>
#include <span>
#include <utility>

#include "sim/console.h"
#include "sim/xmodem_check.h"

namespace sim {
namespace {

using Ms = std::chrono::milliseconds;

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kCan = 0x18;
constexpr uint8_t kSub = 0x1A;

constexpr Ms kRetryGap{1000};    // silence before the receiver asks again
constexpr Ms kPurgeQuiet{100};   // quiet line that ends the dropping of junk
constexpr int kMaxRetries = 10;  // retries in a row before the receiver gives up

}  // namespace

Receiver::Receiver(const DeviceConfig& config, Line& line)
    : config_(config), wire_(line), garbage_(config.seed ^ 0x67617262616765ull) {}

Receiver::Outcome Receiver::Start(uint32_t announcedSize, bool askNow) {
    state_ = State::Receive;
    deadline_.reset();
    crc_ = config_.crcMode;
    blockSize_ = crc_ ? 1024 : 128;
    packetLength_ = 3 + blockSize_ + (crc_ ? 2 : 1);
    expected_ = 1;
    started_ = false;
    packet_.clear();
    image_.clear();
    imageOk_ = false;
    announcedSize_ = announcedSize;
    accepted_ = 0;
    blocks_.store(0);
    retries_ = 0;
    canSeen_ = false;
    nakDone_ = false;
    eotNaks_ = 0;
    garbageSent_ = false;
    const int announcedBlocks = int((uint64_t(announcedSize_) + blockSize_ - 1) / blockSize_);
    garbageAt_ = config_.receiverOnly ? 1 : std::max(1, (announcedBlocks + 1) / 2);
    if (config_.vanishAfterBlocks == 0) return Outcome::Vanish;
    if (askNow) Send(Ask());
    deadline_ = Clock::now() + kRetryGap;
    return Outcome::Receiving;
}

uint8_t Receiver::Ask() const {
    return crc_ ? uint8_t('C') : kNak;
}

std::optional<Clock::time_point> Receiver::Deadline() const {
    return deadline_;
}

Receiver::Outcome Receiver::Tick() {
    deadline_.reset();
    switch (state_) {
        case State::Receive:
            packet_.clear();
            canSeen_ = false;
            return Retry(started_ ? kNak : Ask());
        case State::Purge:
            state_ = State::Receive;
            return Retry(kNak);
        case State::Stalled:
            break;
    }
    return Outcome::Receiving;
}

Receiver::Outcome Receiver::Take(uint8_t byte, Clock::time_point now) {
    if (state_ == State::Purge) {
        deadline_ = now + kPurgeQuiet;
        return Outcome::Receiving;
    }
    if (state_ == State::Stalled) {
        // Only the host's CAN CAN ends a stalled transfer.
        if (byte != kCan) {
            canSeen_ = false;
        } else if (canSeen_) {
            return Abort("cancelled by the host");
        } else {
            canSeen_ = true;
        }
        return Outcome::Receiving;
    }

    deadline_ = now + kRetryGap;  // silence counts from the last byte
    if (!packet_.empty()) {
        packet_.push_back(byte);
        return packet_.size() == packetLength_ ? PacketDone() : Outcome::Receiving;
    }
    if (byte == kCan) {
        if (canSeen_) return Abort("cancelled by the host");
        canSeen_ = true;
        return Outcome::Receiving;
    }
    canSeen_ = false;
    // A plain receiver takes both block sizes, as XMODEM-1K senders mix them at the end of a
    // file; the console's receiver expects the size it asked for.
    const bool header =
        config_.receiverOnly ? byte == kSoh || byte == kStx : byte == (crc_ ? kStx : kSoh);
    if (header) {
        if (config_.receiverOnly) {
            blockSize_ = byte == kStx ? 1024 : 128;
            packetLength_ = 3 + blockSize_ + (crc_ ? 2 : 1);
        }
        started_ = true;
        packet_.push_back(byte);
        return Outcome::Receiving;
    }
    if (byte == kEot) {
        if (Waiting()) {
            Send(kAck);  // the repeat of an EOT whose ACK went astray: nothing to store
            return Outcome::Receiving;
        }
        return Eot();
    }
    if (byte == Console::kWake && !config_.receiverOnly) {
        // No sender puts ESC where a header belongs: someone wants the console back.
        Abort("the host asked for the console");
        return Outcome::EndedByWake;
    }
    // Before the first packet this is noise, such as the LF after UPDATE's CR.
    if (!started_) return Outcome::Receiving;
    state_ = State::Purge;
    deadline_ = now + kPurgeQuiet;
    return Outcome::Receiving;
}

Receiver::Outcome Receiver::PacketDone() {
    std::vector<uint8_t> p;
    p.swap(packet_);
    const uint8_t number = p[1];
    const std::span<const uint8_t> data(p.data() + 3, blockSize_);
    bool intact = uint8_t(p[1] ^ p[2]) == 0xFF;
    if (crc_) {
        intact = intact && Crc16Xmodem(data) == ((p[3 + blockSize_] << 8) | p[4 + blockSize_]);
    } else {
        intact = intact && Sum8(data) == p[3 + blockSize_];
    }
    if (!intact) {
        if (const std::optional<Outcome> instead = CancelOrStall()) return *instead;
        return Retry(kNak);
    }
    if (number == expected_) {
        if (const std::optional<Outcome> instead = CancelOrStall()) return *instead;
        if (config_.nakBlockOnce == accepted_ + 1 && !nakDone_) {
            nakDone_ = true;
            Send(kNak);
            return Outcome::Receiving;
        }
        image_.insert(image_.end(), data.begin(), data.end());
        ++accepted_;
        blocks_.store(accepted_);
        ++expected_;
        retries_ = 0;
        Send(kAck);
        if (config_.garbageBurst > 0 && !garbageSent_ && accepted_ == garbageAt_) SendGarbage();
        if (config_.vanishAfterBlocks == accepted_) return Outcome::Vanish;
        return Outcome::Receiving;
    }
    if (accepted_ > 0 && number == uint8_t(expected_ - 1)) {
        if (const std::optional<Outcome> instead = CancelOrStall()) return *instead;
        retries_ = 0;
        Send(kAck);  // our ACK was lost or late; the data is already stored
        return Outcome::Receiving;
    }
    return Cancel("block " + std::to_string(number) + " out of sequence, expected " +
                  std::to_string(expected_));
}

// Asks again (the start byte, or NAK), unless the sender has had its ten chances.
// A plain receiver waits for its sender for as long as it takes.
Receiver::Outcome Receiver::Retry(uint8_t ask) {
    if (!Waiting()) {
        if (retries_ >= kMaxRetries) {
            return Cancel("gave up after " + std::to_string(kMaxRetries) + " retries");
        }
        ++retries_;
    }
    Send(ask);
    deadline_ = Clock::now() + kRetryGap;
    return Outcome::Receiving;
}

// The fault knobs that replace the reply to a packet or an EOT: what happened instead, if any.
std::optional<Receiver::Outcome> Receiver::CancelOrStall() {
    if (config_.cancelAfterBlocks >= 0 && accepted_ >= config_.cancelAfterBlocks) {
        return Cancel("cancelled by the device after " + std::to_string(accepted_) + " blocks");
    }
    if (config_.stallAfterBlocks >= 0 && accepted_ >= config_.stallAfterBlocks) {
        state_ = State::Stalled;
        deadline_.reset();
        canSeen_ = false;
        return Outcome::Receiving;
    }
    return std::nullopt;
}

Receiver::Outcome Receiver::Eot() {
    if (const std::optional<Outcome> instead = CancelOrStall()) return *instead;
    if (eotNaks_ < config_.nakEotTimes) {
        ++eotNaks_;
        Send(kNak);
        return Outcome::Receiving;
    }
    Send(kAck);
    return Complete();
}

Receiver::Outcome Receiver::Complete() {
    deadline_.reset();
    if (config_.receiverOnly) {
        imageOk_ = true;  // every block passed its check; what padding there is stays
        return Outcome::Completed;
    }
    // Only the last block may carry padding, and only SUB.
    const bool covered = image_.size() >= announcedSize_;
    imageOk_ = covered && image_.size() - announcedSize_ < blockSize_ &&
               std::all_of(image_.begin() + (covered ? announcedSize_ : image_.size()),
                           image_.end(), [](uint8_t byte) { return byte == kSub; });
    if (covered) image_.resize(announcedSize_);
    return Outcome::Completed;
}

// Ends the transfer with CAN CAN: the receiver's own way to give up.
Receiver::Outcome Receiver::Cancel(const std::string& reason) {
    Send(kCan);
    Send(kCan);
    return Abort(reason);
}

Receiver::Outcome Receiver::Abort(const std::string& reason) {
    packet_.clear();
    deadline_.reset();
    Emit(EventKind::TransferAborted, reason);
    return Outcome::Ended;
}

// Noise itself: the random bytes go out as they are, untouched by the line noise.
void Receiver::SendGarbage() {
    garbageSent_ = true;
    std::string burst(config_.garbageBurst, '\0');
    for (char& c : burst)
        c = char(garbage_.Next() >> 56);
    wire_.SendUntouched(burst);
    Emit(EventKind::GarbageSent, burst);
}

void Receiver::Emit(EventKind kind, std::string text) const {
    if (config_.onEvent) config_.onEvent(Event{kind, std::move(text), 0, false, {}});
}

}  // namespace sim
