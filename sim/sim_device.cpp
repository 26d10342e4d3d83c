#include "sim/sim_device.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "sim/random.h"
#include "sim/xmodem_check.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kCan = 0x18;
constexpr uint8_t kSub = 0x1A;
constexpr uint8_t kEsc = 0x1B;

constexpr Ms kRetryGap{1000};    // silence before the receiver asks again
constexpr Ms kPurgeQuiet{100};   // quiet line that ends the dropping of junk
constexpr int kMaxRetries = 10;  // retries in a row before the receiver gives up
constexpr Ms kDrainPoll{10};
constexpr Ms kDrainLimit{5000};  // a host that never reads the verdict does not keep us forever
constexpr size_t kMaxLine = 256;
constexpr size_t kReadChunk = 4096;
constexpr Clock::duration kPaceBurst = Ms(5);  // a UART FIFO's worth: late wake-ups cost nothing

std::string SystemText(const char* what, int error) {
    return std::string(what) + ": " + std::error_code(error, std::generic_category()).message();
}

void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

bool SetFlag(int fd, int getCommand, int setCommand, int flag) {
    const int flags = fcntl(fd, getCommand);
    return flags >= 0 && fcntl(fd, setCommand, flags | flag) == 0;
}

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

bool MakeFolders(const std::string& path, std::string* error) {
    for (size_t slash = 1; slash <= path.size(); ++slash) {
        if (slash != path.size() && path[slash] != '/') continue;
        const std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0755) == 0) continue;
        const int failure = errno;
        struct stat info {};
        if (failure == EEXIST && stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            continue;
        }
        *error = SystemText(prefix.c_str(), failure == EEXIST ? ENOTDIR : failure);
        return false;
    }
    return true;
}

bool LinkPointsAt(const std::string& link, const std::string& target) {
    std::string buffer(4096, '\0');
    const ssize_t n = readlink(link.c_str(), buffer.data(), buffer.size());
    return n >= 0 && std::string(buffer.data(), size_t(n)) == target;
}

// One direction of the line at a fixed byte rate, as a token bucket on the monotonic clock:
// `due_` is when everything let through so far would have finished on the wire. A burst of
// kPaceBurst may pass at once, so a loop that wakes a little late loses no throughput, while the
// long-run rate never exceeds the line's.
class Pacer {
  public:
    // Ten bits a byte: start, eight data bits, stop. 0 bits per second: unlimited.
    explicit Pacer(uint32_t bitsPerSecond) {
        if (bitsPerSecond == 0) return;
        // Rounded up: the line is never faster than asked.
        perByte_ = std::chrono::nanoseconds((10'000'000'000ll + bitsPerSecond - 1) / bitsPerSecond);
        burst_ = std::max<Clock::duration>(perByte_, kPaceBurst);
    }
    bool Unlimited() const { return perByte_.count() == 0; }
    // How many bytes may pass now.
    size_t Allowance(Clock::time_point now) const {
        if (Unlimited()) return SIZE_MAX;
        const Clock::duration slack = now + burst_ - std::max(due_, now);
        return slack.count() > 0 ? size_t(slack / perByte_) : 0;
    }
    void Spend(size_t bytes, Clock::time_point now) {
        if (Unlimited()) return;
        due_ = std::max(due_, now) + perByte_ * int64_t(bytes);
    }
    // When the next byte may pass.
    Clock::time_point NextAt() const { return due_ - burst_ + perByte_; }

  private:
    Clock::duration perByte_{0};
    Clock::duration burst_{0};
    Clock::time_point due_{};
};

}  // namespace

// The device thread and the results it publishes. Everything above `mutex` is fixed before the
// thread starts; the device state below the results is touched by the device thread only.
struct Device::Runner {
    explicit Runner(const DeviceConfig& deviceConfig)
        : config(deviceConfig),
          inPace(deviceConfig.lineRateBps),
          outPace(deviceConfig.lineRateBps),
          inNoise(deviceConfig.seed),
          outNoise(deviceConfig.seed ^ 0x6F75742D6C696E65ull),
          garbage(deviceConfig.seed ^ 0x67617262616765ull) {}

    const DeviceConfig config;
    int master = -1;
    int slave = -1;
    int stopRead = -1;
    int stopWrite = -1;
    std::thread thread;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::string hostBytes;
    std::vector<uint8_t> received;
    uint32_t announced = 0;
    int updates = 0;
    int blocks = 0;
    bool finished = false;
    std::atomic<uint64_t> corruptedIn{0};
    std::atomic<uint64_t> corruptedOut{0};
    std::atomic<uint64_t> droppedIn{0};
    std::atomic<uint64_t> droppedOut{0};

    enum class Mode { Boot, Busy, Console, Receive, Purge, Stalled, Writing, Draining, Done };
    Mode mode = Mode::Boot;
    bool timerSet = false;
    Clock::time_point timer;
    std::string out;
    bool lineGone = false;
    Pacer inPace;
    Pacer outPace;
    Random inNoise;
    Random outNoise;
    Random garbage;

    std::string bannerLeft;
    Clock::time_point bootSilentEnd;
    Clock::time_point nextBannerAt;

    std::string line;
    bool burstPrompted = false;

    bool crc = true;
    size_t blockSize = 1024;
    size_t packetLength = 1029;
    uint8_t expected = 1;
    bool started = false;  // a packet header has arrived in this transfer
    std::vector<uint8_t> packet;
    std::vector<uint8_t> image;
    uint32_t announcedSize = 0;
    int accepted = 0;
    int retries = 0;
    bool canSeen = false;
    bool nakDone = false;
    int eotNaks = 0;
    bool imageOk = false;
    int garbageAt = 0;  // the block whose ACK the garbage burst follows
    bool garbageSent = false;

    Clock::time_point drainUntil;
    int quietChecks = 0;
    bool vanishing = false;  // the drain ends with the line closed, not just the thread

    void Run();
    void FireTimers();
    void ReadChunk();
    void Flush();
    // Bytes on the wire while the receiver runs meet the line noise; the console's only when
    // asked for.
    bool Noisy() const {
        return config.noiseEverywhere || mode == Mode::Receive || mode == Mode::Purge ||
               mode == Mode::Stalled;
    }
    bool Disturb(Random& random, double corrupt, std::atomic<uint64_t>& corrupted,
                 std::atomic<uint64_t>& dropped, uint8_t* byte);
    void Send(const std::string& bytes) {
        for (const char c : bytes)
            Send(uint8_t(c));
    }
    void Send(uint8_t byte) {
        if (Noisy() && !Disturb(outNoise, config.noiseOut, corruptedOut, droppedOut, &byte)) {
            return;
        }
        out.push_back(char(byte));
    }
    void SetTimer(Clock::time_point when) {
        timer = when;
        timerSet = true;
    }
    void Emit(EventKind kind, std::string text = {}, uint32_t size = 0, bool ok = false,
              std::span<const uint8_t> data = {}) {
        if (config.onEvent) config.onEvent(Event{kind, std::move(text), size, ok, data});
    }

    void BootTick(Clock::time_point now);
    void ToConsole();
    void ConsoleByte(uint8_t byte);
    void Execute(const std::string& command);

    void StartReceive(bool askNow);
    uint8_t Ask() const { return crc ? uint8_t('C') : kNak; }
    bool Waiting() const { return config.receiverOnly && !started; }
    void ReceiveByte(uint8_t byte, Clock::time_point now);
    void StalledByte(uint8_t byte);
    void PacketDone();
    void Retry(uint8_t ask);
    bool CancelOrStall();
    void Eot();
    void Complete();
    void SendVerdict();
    void Abort(const std::string& reason);
    void EndUpdate();
    void SendGarbage();

    void StartDrain(bool thenVanish);
    void DrainTick(Clock::time_point now);
    void VanishNow();
    void Finish(const std::string& reason);
    void LineFailed(const std::string& reason);
};

void Device::Runner::Run() {
    const Clock::time_point now = Clock::now();
    if (config.receiverOnly) {
        StartReceive(true);
    } else {
        bootSilentEnd = now + Ms(config.bootSilentMs);
        nextBannerAt = now;
        bannerLeft = config.banner;
        mode = Mode::Boot;
        SetTimer(now);
    }

    while (mode != Mode::Done) {
        FireTimers();
        if (mode == Mode::Done) break;
        if (!lineGone) Flush();
        if (mode == Mode::Done) break;

        // A paced direction that has used its allowance sleeps until the next byte is due,
        // instead of polling for a line it may not touch yet.
        const Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> wake;
        if (timerSet) wake = timer;
        auto wakeBy = [&wake](Clock::time_point when) {
            if (!wake || when < *wake) wake = when;
        };
        // While busy the input stays in the line, so it reaches the console in one burst.
        bool readable = mode != Mode::Busy;
        if (readable && inPace.Allowance(now) == 0) {
            readable = false;
            wakeBy(inPace.NextAt());
        }
        bool writable = !out.empty();
        if (writable && outPace.Allowance(now) == 0) {
            writable = false;
            wakeBy(outPace.NextAt());
        }
        pollfd fds[2] = {};
        fds[0].fd = stopRead;
        fds[0].events = POLLIN;
        fds[1].fd = lineGone ? -1 : master;
        fds[1].events = short((readable ? POLLIN : 0) | (writable ? POLLOUT : 0));
        int timeout = -1;
        if (wake) {
            const auto left = std::chrono::ceil<Ms>(*wake - now).count();
            timeout = int(std::clamp<decltype(left)>(left, 0, 60000));
        }
        if (poll(fds, 2, timeout) < 0) {
            if (errno == EINTR) continue;
            Finish(SystemText("poll", errno));
            break;
        }
        if (fds[0].revents != 0) return;  // Stop(): no Finished event, the owner knows
        // A deadline that passed during the wait goes first: input that arrives just after
        // the boot ended belongs to the console.
        FireTimers();
        if (mode == Mode::Done) break;
        if (lineGone) continue;
        if ((fds[1].revents & POLLIN) != 0) {
            ReadChunk();
        } else if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            LineFailed("the line hung up");
        }
    }
}

void Device::Runner::FireTimers() {
    while (timerSet && mode != Mode::Done) {
        const Clock::time_point now = Clock::now();
        if (now < timer) return;
        timerSet = false;
        switch (mode) {
            case Mode::Boot:
                BootTick(now);
                break;
            case Mode::Busy:
                ToConsole();
                break;
            case Mode::Receive:
                packet.clear();
                canSeen = false;
                Retry(started ? kNak : Ask());
                break;
            case Mode::Purge:
                mode = Mode::Receive;
                Retry(kNak);
                break;
            case Mode::Writing:
                SendVerdict();
                break;
            case Mode::Draining:
                DrainTick(now);
                break;
            case Mode::Console:
            case Mode::Stalled:
            case Mode::Done:
                break;
        }
    }
}

void Device::Runner::ReadChunk() {
    uint8_t buffer[kReadChunk];
    const ssize_t n = read(master, buffer, std::min(sizeof buffer, inPace.Allowance(Clock::now())));
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) return;
        LineFailed(SystemText("read", errno));
        return;
    }
    if (n == 0) {
        LineFailed("the line hung up");
        return;
    }
    // The host set TIOCEXCL when it opened the port; on a pty the flag would outlive its close.
    (void)ioctl(slave, TIOCNXCL);
    {
        std::lock_guard lock(mutex);
        hostBytes.append(reinterpret_cast<const char*>(buffer), size_t(n));
    }
    const Clock::time_point now = Clock::now();
    inPace.Spend(size_t(n), now);
    burstPrompted = false;
    for (ssize_t i = 0; i < n && mode != Mode::Done; ++i) {
        uint8_t byte = buffer[i];
        if (Noisy() && !Disturb(inNoise, config.noiseIn, corruptedIn, droppedIn, &byte)) continue;
        switch (mode) {
            case Mode::Console:
                ConsoleByte(byte);
                break;
            case Mode::Receive:
                ReceiveByte(byte, now);
                break;
            case Mode::Purge:
                SetTimer(now + kPurgeQuiet);
                break;
            case Mode::Stalled:
                StalledByte(byte);
                break;
            case Mode::Boot:
            case Mode::Busy:
            case Mode::Writing:
            case Mode::Draining:
            case Mode::Done:
                break;  // not listening
        }
    }
    if (!lineGone) Flush();
}

void Device::Runner::Flush() {
    while (!out.empty()) {
        const Clock::time_point now = Clock::now();
        const size_t allowed = std::min(out.size(), outPace.Allowance(now));
        if (allowed == 0) return;  // the loop sleeps until the next byte is due
        const ssize_t n = write(master, out.data(), allowed);
        if (n > 0) {
            outPace.Spend(size_t(n), now);
            out.erase(0, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return;  // poll says when the line takes more
        LineFailed(SystemText("write", n < 0 ? errno : EIO));
        return;
    }
}

// One byte through one direction's noise: false when it is lost, else possibly one bit flipped.
// Every byte takes two draws whatever happens to it, so the bytes hit depend only on the seed
// and on how many bytes came before.
bool Device::Runner::Disturb(Random& random, double corrupt, std::atomic<uint64_t>& corrupted,
                             std::atomic<uint64_t>& dropped, uint8_t* byte) {
    if (corrupt <= 0 && config.dropRate <= 0) return true;
    const uint64_t loss = random.Next();
    const uint64_t flip = random.Next();
    if (Random::Hits(loss, config.dropRate)) {
        dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (Random::Hits(flip, corrupt)) {
        *byte = uint8_t(*byte ^ (1u << (flip & 7)));
        corrupted.fetch_add(1, std::memory_order_relaxed);
    }
    return true;
}

void Device::Runner::BootTick(Clock::time_point now) {
    if (!bannerLeft.empty() && now >= nextBannerAt) {
        size_t end = bannerLeft.size();
        if (config.bannerLineGapMs > 0) {
            const size_t lf = bannerLeft.find('\n');
            if (lf != std::string::npos) end = lf + 1;
        }
        Send(bannerLeft.substr(0, end));
        bannerLeft.erase(0, end);
        nextBannerAt = now + Ms(config.bannerLineGapMs);
    }
    if (!bannerLeft.empty()) {
        SetTimer(nextBannerAt);
    } else if (now < bootSilentEnd) {
        SetTimer(bootSilentEnd);
    } else if (config.busyAfterBootMs > 0) {
        mode = Mode::Busy;
        SetTimer(now + Ms(config.busyAfterBootMs));
    } else {
        ToConsole();
    }
}

void Device::Runner::ToConsole() {
    mode = Mode::Console;
    timerSet = false;
    line.clear();
}

void Device::Runner::ConsoleByte(uint8_t byte) {
    if (byte == kEsc) {
        line.clear();
        if (config.promptPerEsc || !burstPrompted) {
            Send("\r\n>");
            Emit(EventKind::Woke);
        }
        burstPrompted = true;
        return;
    }
    if (byte == '\r') {
        if (config.echo) Send("\r\n");
        if (!line.empty()) {
            std::string command;
            command.swap(line);
            Execute(command);
        }
        return;
    }
    if (byte == '\n') return;
    if (byte == 0x08 || byte == 0x7F) {
        if (!line.empty()) {
            line.pop_back();
            if (config.echo) Send("\b \b");
        }
        return;
    }
    if (byte >= 0x20 && byte < 0x7F && line.size() < kMaxLine) {
        line.push_back(char(byte));
        if (config.echo) Send(byte);
    }
}

void Device::Runner::Execute(const std::string& command) {
    Emit(EventKind::Command, command);
    const std::string lead = config.echo ? "" : "\r\n";
    if (command == "IDENT") {
        if (!config.identReplyRaw.empty()) {
            Send(config.identReplyRaw);
        } else {
            Send(lead + config.identity + "\r\n>");
        }
    } else if (command == "VER") {
        Send(lead + config.version + "\r\n>");
    } else if (command == "UPDATE" || command.starts_with("UPDATE ")) {
        uint32_t size = 0;
        if (command.size() < 7 || !ParseSize(command.substr(7), &size)) {
            Send(lead + "?Bad size\r\n>");
            return;
        }
        {
            std::lock_guard lock(mutex);
            announced = size;
        }
        if (config.refuseUpdate) {
            Send(lead + "?Update refused\r\n>");
            return;
        }
        announcedSize = size;
        Send(lead + "Ready for XMODEM\r\n");
        Emit(EventKind::UpdateAnnounced, {}, size);
        StartReceive(true);
    } else {
        Send(lead + "?Unknown command\r\n>");
    }
}

void Device::Runner::StartReceive(bool askNow) {
    crc = config.crcMode;
    blockSize = crc ? 1024 : 128;
    packetLength = 3 + blockSize + (crc ? 2 : 1);
    expected = 1;
    started = false;
    packet.clear();
    image.clear();
    accepted = 0;
    retries = 0;
    canSeen = false;
    nakDone = false;
    eotNaks = 0;
    garbageSent = false;
    const int announcedBlocks = int((uint64_t(announcedSize) + blockSize - 1) / blockSize);
    garbageAt = config.receiverOnly ? 1 : std::max(1, (announcedBlocks + 1) / 2);
    {
        std::lock_guard lock(mutex);
        blocks = 0;
    }
    mode = Mode::Receive;
    if (config.vanishAfterBlocks == 0) {
        StartDrain(true);
        return;
    }
    if (askNow) Send(Ask());
    SetTimer(Clock::now() + kRetryGap);
}

void Device::Runner::ReceiveByte(uint8_t byte, Clock::time_point now) {
    SetTimer(now + kRetryGap);  // silence counts from the last byte
    if (!packet.empty()) {
        packet.push_back(byte);
        if (packet.size() == packetLength) PacketDone();
        return;
    }
    if (byte == kCan) {
        if (canSeen) {
            Abort("cancelled by the host");
            return;
        }
        canSeen = true;
        return;
    }
    canSeen = false;
    // A plain receiver takes both block sizes, as XMODEM-1K senders mix them at the end of a
    // file; the console's receiver expects the size it asked for.
    const bool header =
        config.receiverOnly ? byte == kSoh || byte == kStx : byte == (crc ? kStx : kSoh);
    if (header) {
        if (config.receiverOnly) {
            blockSize = byte == kStx ? 1024 : 128;
            packetLength = 3 + blockSize + (crc ? 2 : 1);
        }
        started = true;
        packet.push_back(byte);
        return;
    }
    if (byte == kEot) {
        if (Waiting()) {
            Send(kAck);  // the repeat of an EOT whose ACK went astray: nothing to store
            return;
        }
        Eot();
        return;
    }
    if (byte == kEsc && !config.receiverOnly) {
        // No sender puts ESC where a header belongs: someone wants the console back.
        Abort("the host asked for the console");
        if (mode == Mode::Console) ConsoleByte(byte);
        return;
    }
    if (!started) return;  // noise before the first packet, such as the LF after UPDATE's CR
    mode = Mode::Purge;
    SetTimer(now + kPurgeQuiet);
}

void Device::Runner::StalledByte(uint8_t byte) {
    if (byte != kCan) {
        canSeen = false;
    } else if (canSeen) {
        Abort("cancelled by the host");
    } else {
        canSeen = true;
    }
}

void Device::Runner::PacketDone() {
    std::vector<uint8_t> p;
    p.swap(packet);
    const uint8_t number = p[1];
    const std::span<const uint8_t> data(p.data() + 3, blockSize);
    bool intact = uint8_t(p[1] ^ p[2]) == 0xFF;
    if (crc) {
        intact = intact && Crc16Xmodem(data) == ((p[3 + blockSize] << 8) | p[4 + blockSize]);
    } else {
        intact = intact && Sum8(data) == p[3 + blockSize];
    }
    if (!intact) {
        if (!CancelOrStall()) Retry(kNak);
        return;
    }
    if (number == expected) {
        if (CancelOrStall()) return;
        if (config.nakBlockOnce == accepted + 1 && !nakDone) {
            nakDone = true;
            Send(kNak);
            return;
        }
        image.insert(image.end(), data.begin(), data.end());
        ++accepted;
        {
            std::lock_guard lock(mutex);
            blocks = accepted;
        }
        ++expected;
        retries = 0;
        Send(kAck);
        if (config.garbageBurst > 0 && !garbageSent && accepted == garbageAt) SendGarbage();
        if (config.vanishAfterBlocks == accepted) StartDrain(true);
        return;
    }
    if (accepted > 0 && number == uint8_t(expected - 1)) {
        if (CancelOrStall()) return;
        retries = 0;
        Send(kAck);  // our ACK was lost or late; the data is already stored
        return;
    }
    Send(std::string{char(kCan), char(kCan)});
    Abort("block " + std::to_string(number) + " out of sequence, expected " +
          std::to_string(expected));
}

// Asks again (the start byte, or NAK), unless the sender has had its ten chances.
// A plain receiver waits for its sender for as long as it takes.
void Device::Runner::Retry(uint8_t ask) {
    if (!Waiting()) {
        if (retries >= kMaxRetries) {
            Send(std::string{char(kCan), char(kCan)});
            Abort("gave up after " + std::to_string(kMaxRetries) + " retries");
            return;
        }
        ++retries;
    }
    Send(ask);
    SetTimer(Clock::now() + kRetryGap);
}

// The fault knobs that replace the reply to a packet or an EOT.
bool Device::Runner::CancelOrStall() {
    if (config.cancelAfterBlocks >= 0 && accepted >= config.cancelAfterBlocks) {
        Send(std::string{char(kCan), char(kCan)});
        Abort("cancelled by the device after " + std::to_string(accepted) + " blocks");
        return true;
    }
    if (config.stallAfterBlocks >= 0 && accepted >= config.stallAfterBlocks) {
        mode = Mode::Stalled;
        timerSet = false;
        canSeen = false;
        return true;
    }
    return false;
}

void Device::Runner::Eot() {
    if (CancelOrStall()) return;
    if (eotNaks < config.nakEotTimes) {
        ++eotNaks;
        Send(kNak);
        return;
    }
    Send(kAck);
    Complete();
}

void Device::Runner::Complete() {
    if (config.receiverOnly) {
        imageOk = true;  // every block passed its check; what padding there is stays
    } else {
        // Only the last block may carry padding, and only SUB.
        const bool covered = image.size() >= announcedSize;
        imageOk = covered && image.size() - announcedSize < blockSize &&
                  std::all_of(image.begin() + (covered ? announcedSize : image.size()), image.end(),
                              [](uint8_t byte) { return byte == kSub; });
        if (covered) image.resize(announcedSize);
    }
    {
        std::lock_guard lock(mutex);
        received = image;
        ++updates;
    }
    changed.notify_all();
    Emit(EventKind::TransferDone, {}, uint32_t(image.size()), imageOk, image);
    if (config.receiverOnly) {
        EndUpdate();
        return;
    }
    mode = Mode::Writing;
    SetTimer(Clock::now() + Ms(config.verdictDelayMs));
}

void Device::Runner::SendVerdict() {
    if (!config.verdictRaw.empty()) {
        Send(config.verdictRaw);
        Emit(EventKind::Verdict, config.verdictRaw);
    } else {
        const std::string verdict =
            !config.verdict.empty() ? config.verdict : (imageOk ? "Done" : "Abort");
        // The leading line end keeps a stray byte still in the host's queue (a late ACK)
        // off the verdict line.
        Send("\r\n" + verdict + "\r\n>");
        Emit(EventKind::Verdict, verdict);
    }
    EndUpdate();
}

void Device::Runner::Abort(const std::string& reason) {
    packet.clear();
    Emit(EventKind::TransferAborted, reason);
    EndUpdate();
}

void Device::Runner::EndUpdate() {
    if (config.once) {
        StartDrain(false);
    } else if (config.receiverOnly) {
        StartReceive(false);  // a second's pause lets the last sender go before we ask again
    } else {
        ToConsole();
    }
}

// Noise itself: the random bytes go out as they are, untouched by the line noise.
void Device::Runner::SendGarbage() {
    garbageSent = true;
    std::string burst(config.garbageBurst, '\0');
    for (char& c : burst)
        c = char(garbage.Next() >> 56);
    out += burst;
    Emit(EventKind::GarbageSent, burst);
}

void Device::Runner::StartDrain(bool thenVanish) {
    mode = Mode::Draining;
    vanishing = thenVanish;
    quietChecks = 0;
    const Clock::time_point now = Clock::now();
    drainUntil = now + kDrainLimit;
    SetTimer(now);
}

// Closing the master discards what the host has not read yet, so a device that stops after
// its update waits until the host has taken the verdict (or has clearly stopped reading).
void Device::Runner::DrainTick(Clock::time_point now) {
    int queued = 0;
    if (lineGone || ioctl(slave, FIONREAD, &queued) != 0) queued = 0;
    if (out.empty() && queued == 0) {
        if (++quietChecks >= 2) {
            if (vanishing) {
                VanishNow();
            } else {
                Finish("one update served");
            }
            return;
        }
    } else {
        quietChecks = 0;
    }
    if (now >= drainUntil) {
        if (vanishing) {
            VanishNow();
        } else {
            Finish("one update served; the host did not read all of the reply");
        }
        return;
    }
    SetTimer(now + kDrainPoll);
}

// Unplugged: both of our ends of the pty close, so the host's port hangs up.
void Device::Runner::VanishNow() {
    {
        std::lock_guard lock(mutex);
        CloseFd(master);
        CloseFd(slave);
    }
    lineGone = true;
    out.clear();
    const std::string what = "vanished after " + std::to_string(accepted) + " blocks";
    Emit(EventKind::Vanished, what);
    Finish(what);
}

void Device::Runner::Finish(const std::string& reason) {
    mode = Mode::Done;
    timerSet = false;
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    changed.notify_all();
    Emit(EventKind::Finished, reason);
}

void Device::Runner::LineFailed(const std::string& reason) {
    lineGone = true;
    out.clear();
    Finish(reason);
}

// ---- Device -----------------------------------------------------------------------------------

Device::Device(DeviceConfig config) : config_(std::move(config)) {}

Device::~Device() {
    Stop();
}

bool Device::Start(std::string* error) {
    if (runner_) {
        *error = "the device has already been started";
        return false;
    }
    auto runner = std::make_unique<Runner>(config_);
    auto fail = [&](const std::string& text) {
        CloseFd(runner->master);
        CloseFd(runner->slave);
        CloseFd(runner->stopRead);
        CloseFd(runner->stopWrite);
        *error = text;
        return false;
    };
    runner->master = posix_openpt(O_RDWR | O_NOCTTY);
    if (runner->master < 0) return fail(SystemText("posix_openpt", errno));
    if (!SetFlag(runner->master, F_GETFD, F_SETFD, FD_CLOEXEC) ||
        !SetFlag(runner->master, F_GETFL, F_SETFL, O_NONBLOCK)) {
        return fail(SystemText("fcntl", errno));
    }
    if (grantpt(runner->master) != 0) return fail(SystemText("grantpt", errno));
    if (unlockpt(runner->master) != 0) return fail(SystemText("unlockpt", errno));
    char name[128];
    const int named = ptsname_r(runner->master, name, sizeof name);
    if (named != 0) return fail(SystemText("ptsname_r", named));

    // Our own slave fd keeps the line up between host sessions. It takes no lock, so the
    // host's flock succeeds.
    runner->slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (runner->slave < 0) return fail(SystemText(name, errno));
    // Raw from the start: no line discipline echo of what the host sends before it configures
    // the port itself.
    termios mode{};
    if (tcgetattr(runner->slave, &mode) != 0) return fail(SystemText("tcgetattr", errno));
    cfmakeraw(&mode);
    mode.c_cflag |= CLOCAL | CREAD;
    if (cfsetispeed(&mode, B115200) != 0 || cfsetospeed(&mode, B115200) != 0 ||
        tcsetattr(runner->slave, TCSANOW, &mode) != 0) {
        return fail(SystemText("tcsetattr", errno));
    }

    int stop[2];
    if (pipe(stop) != 0) return fail(SystemText("pipe", errno));
    runner->stopRead = stop[0];
    runner->stopWrite = stop[1];
    if (!SetFlag(stop[0], F_GETFD, F_SETFD, FD_CLOEXEC) ||
        !SetFlag(stop[1], F_GETFD, F_SETFD, FD_CLOEXEC)) {
        return fail(SystemText("fcntl", errno));
    }
    try {
        runner->thread = std::thread(&Runner::Run, runner.get());
    } catch (const std::system_error& e) {
        return fail(std::string("thread: ") + e.what());
    }
    portPath_ = name;
    runner_ = std::move(runner);
    return true;
}

// Stops the device thread and closes every fd it used; the host's port hangs up.
void Device::Halt() {
    if (!runner_) return;
    if (runner_->thread.joinable()) {
        const char stop = 's';
        while (write(runner_->stopWrite, &stop, 1) < 0 && errno == EINTR) {
        }
        runner_->thread.join();
    }
    CloseFd(runner_->master);
    CloseFd(runner_->slave);
    CloseFd(runner_->stopRead);
    CloseFd(runner_->stopWrite);
}

void Device::Stop() {
    Halt();
    for (const std::string& link : links_) {
        if (LinkPointsAt(link, portPath_)) unlink(link.c_str());
    }
    links_.clear();
}

void Device::Vanish() {
    Halt();
}

const std::string& Device::PortPath() const {
    return portPath_;
}

bool Device::IsComName(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || !name.starts_with("COM")) return false;
    if (name[3] < '1' || name[3] > '9') return false;
    int number = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return false;
        number = number * 10 + (name[i] - '0');
    }
    return number <= 255;
}

std::string Device::AliasPath(const std::string& comName) {
    const char* config = getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') {
        return std::string(config) + "/quorvane/ports/" + comName;
    }
    const char* home = getenv("HOME");
    std::string base = home != nullptr && home[0] != '\0' ? home : "";
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    return base + "/.config/quorvane/ports/" + comName;
}

bool Device::LinkAs(const std::string& comName, std::string* error) {
    if (!IsComName(comName)) {
        *error = "not a port name (COM1 to COM255): \"" + comName + "\"";
        return false;
    }
    bool running = false;
    if (runner_) {
        std::lock_guard lock(runner_->mutex);  // the device closes its line when it vanishes
        running = runner_->master >= 0;
    }
    if (!running) {
        *error = "the device is not running";
        return false;
    }
    const std::string path = AliasPath(comName);
    if (!MakeFolders(path.substr(0, path.rfind('/')), error)) return false;
    // Made only where nothing is: whatever is there already (the user's --map, a link of another
    // device) is theirs, and replacing it would lose it for good when this program is killed.
    if (symlink(portPath_.c_str(), path.c_str()) != 0) {
        const int failure = errno;
        struct stat info {};
        if (failure != EEXIST || lstat(path.c_str(), &info) != 0) {
            *error = SystemText(path.c_str(), failure);
            return false;
        }
        if (!S_ISLNK(info.st_mode)) {
            *error = path + " exists and is not a symbolic link; left as it is";
            return false;
        }
        if (!LinkPointsAt(path, portPath_)) {
            std::string target(4096, '\0');
            const ssize_t n = readlink(path.c_str(), target.data(), target.size());
            target.resize(n > 0 ? size_t(n) : 0);
            *error = comName + " already leads to " + target + " (link " + path +
                     "); it is left as it is. Use another name, or remove that link first: " +
                     "quorvane-cli --unmap " + comName;
            return false;
        }
    }
    if (std::find(links_.begin(), links_.end(), path) == links_.end()) links_.push_back(path);
    return true;
}

std::string Device::HostBytes() const {
    if (!runner_) return {};
    std::lock_guard lock(runner_->mutex);
    return runner_->hostBytes;
}

std::vector<uint8_t> Device::Received() const {
    if (!runner_) return {};
    std::lock_guard lock(runner_->mutex);
    return runner_->received;
}

uint32_t Device::AnnouncedSize() const {
    if (!runner_) return 0;
    std::lock_guard lock(runner_->mutex);
    return runner_->announced;
}

int Device::UpdatesCompleted() const {
    if (!runner_) return 0;
    std::lock_guard lock(runner_->mutex);
    return runner_->updates;
}

int Device::BlocksAccepted() const {
    if (!runner_) return 0;
    std::lock_guard lock(runner_->mutex);
    return runner_->blocks;
}

bool Device::Finished() const {
    if (!runner_) return false;
    std::lock_guard lock(runner_->mutex);
    return runner_->finished;
}

NoiseCounts Device::Noise() const {
    NoiseCounts counts;
    if (!runner_) return counts;
    counts.corruptedIn = runner_->corruptedIn.load(std::memory_order_relaxed);
    counts.corruptedOut = runner_->corruptedOut.load(std::memory_order_relaxed);
    counts.droppedIn = runner_->droppedIn.load(std::memory_order_relaxed);
    counts.droppedOut = runner_->droppedOut.load(std::memory_order_relaxed);
    return counts;
}

bool Device::WaitForUpdates(int n, uint32_t timeoutMs) const {
    if (!runner_) return n <= 0;
    std::unique_lock lock(runner_->mutex);
    return runner_->changed.wait_for(lock, Ms(timeoutMs), [&] { return runner_->updates >= n; });
}

bool Device::WaitForFinish(uint32_t timeoutMs) const {
    if (!runner_) return false;
    std::unique_lock lock(runner_->mutex);
    return runner_->changed.wait_for(lock, Ms(timeoutMs), [&] { return runner_->finished; });
}

}  // namespace sim
