// A simulated device on the far end of a pseudo-terminal: a line console (IDENT, VER, UPDATE)
// and an XMODEM receiver, with knobs for the faults a real device shows. The host opens
// PortPath() like any serial port; the device runs on its own thread until Stop().
//
// The device is three parts around that thread, each described where it is written:
//   sim/line.h      the pty pair, the line rate and the line noise, and why the host may reopen
//   sim/console.h   ESC, echo and line editing, IDENT / VER / UPDATE, the verdict
//   sim/receiver.h  the XMODEM receiver, its transfer faults, receiver-only mode
//
// Boot: the banner is written at Start (one line per bannerLineGapMs when that is set); input is
// read and dropped until both bootSilentMs have passed and the banner is out; then, for
// busyAfterBootMs, input is left unread in the line, so everything the host sent meanwhile is
// handled in one burst. Then the console listens.
//
// An UPDATE the console accepts starts the receiver; when its transfer ends the console listens
// again (receiver-only mode: the receiver asks again a second later), or, with `once`, the device
// waits until the host has read what it was sent (at most 5 s) and stops. With vanishAfterBlocks
// the device does the same wait once the receiver has acknowledged block N, then closes the line
// as an unplugged device would: the host's port hangs up and the device has finished.
// HostBytes() keeps what the host wrote, before any noise.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace sim {

enum class EventKind {
    Woke,             // a wake-up prompt went out
    Command,          // text: the command line the console received
    UpdateAnnounced,  // size: the announced image size; the receiver starts
    TransferDone,     // EOT acknowledged; size and image: what was received, ok: it checks out
    TransferAborted,  // text: why (host cancelled, receiver cancelled, gave up, ...)
    Verdict,          // text: the verdict line (or the raw verdict)
    GarbageSent,      // text: the random bytes of the garbage burst, as they went out
    Vanished,         // the device closed its line on purpose (vanishAfterBlocks); Finished follows
    Finished,         // the device thread has stopped by itself (`once`, vanished, line failed)
};

struct Event {
    EventKind kind;
    std::string text;
    uint32_t size = 0;
    bool ok = false;
    std::span<const uint8_t> image;  // valid only during the callback
};

// What the line noise did so far (bytes touched in each direction).
struct NoiseCounts {
    uint64_t corruptedIn = 0;
    uint64_t corruptedOut = 0;
    uint64_t droppedIn = 0;
    uint64_t droppedOut = 0;
};

struct DeviceConfig {
    std::string identity = "QRV-0001";         // IDENT reply line, any length
    std::string version = "Ver01.02 build 7";  // VER reply line
    bool echo = true;                          // echo received console characters
    bool crcMode = true;                       // receiver asks with "C" (1K/CRC) or NAK (128/sum)
    bool refuseUpdate = false;                 // answer UPDATE with "?Update refused"
    std::string verdict;                       // empty: computed "Done" or "Abort"
    std::string identReplyRaw;                 // when set, the whole IDENT reply, verbatim
    std::string verdictRaw;                    // when set, sent verbatim instead of the verdict
    std::string banner;                        // boot messages, verbatim, written at Start
    uint32_t bannerLineGapMs = 0;              // pause after each banner line ending in LF
    uint32_t bootSilentMs = 0;                 // input read and dropped this long after Start
    uint32_t busyAfterBootMs = 0;              // then input left unread this long
    bool promptPerEsc = false;                 // one prompt for every ESC
    int cancelAfterBlocks = -1;                // after ACKing N blocks, CAN CAN as next reply
    int nakBlockOnce = -1;                     // NAK the k-th block (1-based) once
    int nakEotTimes = 0;                       // NAK the first n EOTs
    int stallAfterBlocks = -1;                 // after ACKing N blocks, never answer again
    int vanishAfterBlocks = -1;                // after ACKing N blocks, close the line
    uint32_t verdictDelayMs = 0;               // between the EOT ACK and the verdict
    bool once = false;                         // stop after the first accepted UPDATE has ended
    double noiseOut = 0;                       // chance that a byte sent is corrupted, 0 to 1
    double noiseIn = 0;                        // chance that a byte received is corrupted
    double dropRate = 0;                       // chance that a byte either way is lost
    bool noiseEverywhere = false;              // noise on the console too, not only the receiver
    uint32_t garbageBurst = 0;                 // random bytes sent once per transfer, mid-way
    uint64_t seed = 1;                         // for the noise, the drops and the garbage
    uint32_t lineRateBps = 0;                  // bit/s, both directions; 0: unthrottled
    bool receiverOnly = false;                 // no console: a plain XMODEM receiver
    // Called on the device thread for every event; must not call Stop() or Vanish().
    std::function<void(const Event&)> onEvent;
};

class Device {
  public:
    explicit Device(DeviceConfig config = {});
    ~Device();  // Stop()
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Creates the pty (slave raw, 115200), keeps a slave fd of its own and starts the device
    // thread. False with *error set when any step fails (nothing is left open), or when the
    // device was started before.
    bool Start(std::string* error);

    // Switches the device off: stops the thread, closes its fds (the host's port hangs up) and
    // removes the aliases LinkAs made that still point at this port. Results stay readable.
    // Call from the owning thread; safe to repeat.
    void Stop();

    // The slave path, e.g. /dev/pts/7; empty before Start.
    const std::string& PortPath() const;

    // Creates the alias AliasPath(comName) -> PortPath(), making its folders as needed. comName
    // is "COM1".."COM255". False with *error when the name is bad, the device is not started, or
    // anything but a link to this very port is in the way (left untouched: a user's own mapping
    // is never replaced).
    bool LinkAs(const std::string& comName, std::string* error);

    // $XDG_CONFIG_HOME/quorvane/ports/<comName> (default ~/.config/quorvane/ports/<comName>).
    static std::string AliasPath(const std::string& comName);

    // "COM1".."COM255", written without leading zeros.
    static bool IsComName(const std::string& name);

    // Unplugs the device now: stops the thread and closes the master and its own slave fd, so
    // the host's port hangs up. Aliases stay (dangling, as a real alias would).
    void Vanish();

    // Results (thread-safe snapshots):
    std::string HostBytes() const;          // every byte the host wrote, in order, since Start
    std::vector<uint8_t> Received() const;  // last completed transfer, cut to the announced size
                                            // (receiver-only: every block as it came)
    uint32_t AnnouncedSize() const;         // size parsed from the last well-formed UPDATE
    int UpdatesCompleted() const;           // transfers that ended with EOT acknowledged
    int BlocksAccepted() const;             // blocks stored by the current or last transfer
    bool Finished() const;                  // the thread has stopped by itself
    NoiseCounts Noise() const;              // bytes the line noise has touched
    // Waits (on a condition variable) until UpdatesCompleted() >= n; false on timeout.
    bool WaitForUpdates(int n, uint32_t timeoutMs) const;
    // Waits until Finished(); false on timeout.
    bool WaitForFinish(uint32_t timeoutMs) const;

  private:
    struct Runner;
    void Halt();

    DeviceConfig config_;
    std::string portPath_;
    std::vector<std::string> links_;
    std::unique_ptr<Runner> runner_;
};

}  // namespace sim
