// The simulated device's console: the line-based command interpreter the host talks to before
// and after an image transfer.
//
// ESC wakes it with "\r\n>" (one prompt per read burst of ESCs unless promptPerEsc). Printable
// characters are echoed when `echo` is on; CR ends the line (echoed as "\r\n"), LF is ignored,
// backspace erases. An empty line gets no reply and no prompt. Replies start with "\r\n" when
// echo is off, so a host that skips the echo line still finds the reply on the next.
//   IDENT        -> identity "\r\n>"            (identReplyRaw replaces the whole reply)
//   VER          -> version "\r\n>"
//   UPDATE <hex> -> "Ready for XMODEM\r\n", then the receiver starts. The size must be written as
//                   "%X" writes it (upper case, no prefix, no leading zeros, at most 8 digits);
//                   anything else, or refuseUpdate, gets "?Bad size" / "?Update refused" and the
//                   prompt, and the console stays.
//   other        -> "?Unknown command\r\n>"
//
// After a transfer whose EOT was acknowledged the device "writes the image" for verdictDelayMs,
// then the console prints "\r\n" verdict "\r\n>" (verdictRaw replaces all of it); the verdict is
// `verdict` when set, else "Done" or "Abort" as the receiver judged the image. Every other ending
// of a transfer leaves the device in its console, silent until the next ESC.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "sim/line.h"
#include "sim/sim_device.h"

namespace sim {

class Console {
  public:
    static constexpr uint8_t kWake = 0x1B;  // ESC

    Console(const DeviceConfig& config, Line& line);

    // An empty command line, as after boot and after each update.
    void Enter() { typed_.clear(); }
    // The host's next read burst begins: its first ESC gets a prompt again.
    void NewBurst() { burstPrompted_ = false; }
    // One byte from the host. True when it completed an accepted UPDATE: the receiver takes over
    // for Announced() bytes.
    bool Take(uint8_t byte);
    // The size of the last well-formed UPDATE, refused or not. Thread-safe.
    uint32_t Announced() const { return announced_.load(); }

    // The verdict lines after a transfer, `imageOk` as the receiver judged it.
    void SendVerdict(bool imageOk);

  private:
    bool Execute(const std::string& command);
    void Send(const std::string& bytes) { wire_.Send(bytes, exposed_); }
    void Emit(EventKind kind, std::string text = {}, uint32_t size = 0) const;

    const DeviceConfig& config_;
    Line& wire_;
    const bool exposed_;  // to the line noise
    std::string typed_;   // the command line so far
    bool burstPrompted_ = false;
    std::atomic<uint32_t> announced_{0};
};

}  // namespace sim
