#include "sim/console.h"

#include <utility>

namespace sim {
namespace {

constexpr size_t kMaxLine = 256;

// "%X" as the host writes it: upper case, no prefix, no leading zeros, fits 32 bits.
bool ParseSize(const std::string& digits, uint32_t* size) {
    if (digits.empty() || digits.size() > 8) return false;
    if (digits.size() > 1 && digits[0] == '0') return false;
    uint32_t value = 0;
    for (const char c : digits) {
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = uint32_t(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = uint32_t(c - 'A' + 10);
        } else {
            return false;
        }
        value = value * 16 + digit;
    }
    *size = value;
    return true;
}

}  // namespace

Console::Console(const DeviceConfig& config, Line& line)
    : config_(config), wire_(line), exposed_(config.noiseEverywhere) {}

bool Console::Take(uint8_t byte) {
    if (byte == kWake) {
        typed_.clear();
        if (config_.promptPerEsc || !burstPrompted_) {
            Send("\r\n>");
            Emit(EventKind::Woke);
        }
        burstPrompted_ = true;
        return false;
    }
    if (byte == '\r') {
        if (config_.echo) Send("\r\n");
        if (typed_.empty()) return false;
        std::string command;
        command.swap(typed_);
        return Execute(command);
    }
    if (byte == '\n') return false;
    if (byte == 0x08 || byte == 0x7F) {
        if (!typed_.empty()) {
            typed_.pop_back();
            if (config_.echo) Send("\b \b");
        }
        return false;
    }
    if (byte >= 0x20 && byte < 0x7F && typed_.size() < kMaxLine) {
        typed_.push_back(char(byte));
        if (config_.echo) wire_.Send(byte, exposed_);
    }
    return false;
}

bool Console::Execute(const std::string& command) {
    Emit(EventKind::Command, command);
    const std::string lead = config_.echo ? "" : "\r\n";
    if (command == "IDENT") {
        if (!config_.identReplyRaw.empty()) {
            Send(config_.identReplyRaw);
        } else {
            Send(lead + config_.identity + "\r\n>");
        }
    } else if (command == "VER") {
        Send(lead + config_.version + "\r\n>");
    } else if (command == "UPDATE" || command.starts_with("UPDATE ")) {
        uint32_t size = 0;
        if (command.size() < 7 || !ParseSize(command.substr(7), &size)) {
            Send(lead + "?Bad size\r\n>");
            return false;
        }
        announced_.store(size);
        if (config_.refuseUpdate) {
            Send(lead + "?Update refused\r\n>");
            return false;
        }
        Send(lead + "Ready for XMODEM\r\n");
        Emit(EventKind::UpdateAnnounced, {}, size);
        return true;
    } else {
        Send(lead + "?Unknown command\r\n>");
    }
    return false;
}

void Console::SendVerdict(bool imageOk) {
    if (!config_.verdictRaw.empty()) {
        Send(config_.verdictRaw);
        Emit(EventKind::Verdict, config_.verdictRaw);
        return;
    }
    const std::string verdict =
        !config_.verdict.empty() ? config_.verdict : (imageOk ? "Done" : "Abort");
    // The leading line end keeps a stray byte still in the host's queue (a late ACK) off the
    // verdict line.
    Send("\r\n" + verdict + "\r\n>");
    Emit(EventKind::Verdict, verdict);
}

void Console::Emit(EventKind kind, std::string text, uint32_t size) const {
    if (config_.onEvent) config_.onEvent(Event{kind, std::move(text), size, false, {}});
}

}  // namespace sim
