#include "sim/line.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "sim/system.h"

namespace sim {
namespace {

constexpr Clock::duration kPaceBurst = std::chrono::milliseconds(5);  // a UART FIFO's worth

}  // namespace

Pacer::Pacer(uint32_t bitsPerSecond) {
    if (bitsPerSecond == 0) return;
    // Rounded up: the line is never faster than asked.
    perByte_ = std::chrono::nanoseconds((10'000'000'000ll + bitsPerSecond - 1) / bitsPerSecond);
    burst_ = std::max<Clock::duration>(perByte_, kPaceBurst);
}

size_t Pacer::Allowance(Clock::time_point now) const {
    if (Unlimited()) return SIZE_MAX;
    const Clock::duration slack = now + burst_ - std::max(due_, now);
    return slack.count() > 0 ? size_t(slack / perByte_) : 0;
}

void Pacer::Spend(size_t bytes, Clock::time_point now) {
    if (Unlimited()) return;
    due_ = std::max(due_, now) + perByte_ * int64_t(bytes);
}

Line::Line(const DeviceConfig& config)
    : noiseIn_(config.noiseIn),
      noiseOut_(config.noiseOut),
      dropRate_(config.dropRate),
      inPace_(config.lineRateBps),
      outPace_(config.lineRateBps),
      inNoise_(config.seed),
      outNoise_(config.seed ^ 0x6F75742D6C696E65ull) {}

Line::~Line() {
    Close();
}

bool Line::Open(std::string* slavePath, std::string* error) {
    auto fail = [&](const std::string& text) {
        Close();
        *error = text;
        return false;
    };
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) return fail(SystemText("posix_openpt", errno));
    if (!SetFlag(master_, F_GETFD, F_SETFD, FD_CLOEXEC) ||
        !SetFlag(master_, F_GETFL, F_SETFL, O_NONBLOCK)) {
        return fail(SystemText("fcntl", errno));
    }
    if (grantpt(master_) != 0) return fail(SystemText("grantpt", errno));
    if (unlockpt(master_) != 0) return fail(SystemText("unlockpt", errno));
    char name[128];
    const int named = ptsname_r(master_, name, sizeof name);
    if (named != 0) return fail(SystemText("ptsname_r", named));

    // Our own slave fd keeps the line up between host sessions. It takes no lock, so the
    // host's flock succeeds.
    slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0) return fail(SystemText(name, errno));
    // Raw from the start: no line discipline echo of what the host sends before it configures
    // the port itself.
    termios mode{};
    if (tcgetattr(slave_, &mode) != 0) return fail(SystemText("tcgetattr", errno));
    cfmakeraw(&mode);
    mode.c_cflag |= CLOCAL | CREAD;
    if (cfsetispeed(&mode, B115200) != 0 || cfsetospeed(&mode, B115200) != 0 ||
        tcsetattr(slave_, TCSANOW, &mode) != 0) {
        return fail(SystemText("tcsetattr", errno));
    }
    *slavePath = name;
    return true;
}

void Line::Close() {
    CloseFd(master_);
    CloseFd(slave_);
}

void Line::Send(uint8_t byte, bool exposed) {
    if (exposed && !Disturb(outNoise_, noiseOut_, corruptedOut_, droppedOut_, &byte)) return;
    out_.push_back(char(byte));
}

void Line::Send(std::string_view bytes, bool exposed) {
    for (const char c : bytes)
        Send(uint8_t(c), exposed);
}

void Line::SendUntouched(std::string_view bytes) {
    out_.append(bytes);
}

bool Line::Flush(std::string* error) {
    while (!out_.empty()) {
        const Clock::time_point now = Clock::now();
        const size_t allowed = std::min(out_.size(), outPace_.Allowance(now));
        if (allowed == 0) return true;  // the device sleeps until the next byte is due
        const ssize_t n = write(master_, out_.data(), allowed);
        if (n > 0) {
            outPace_.Spend(size_t(n), now);
            out_.erase(0, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;  // poll says when the line takes more
        *error = SystemText("write", n < 0 ? errno : EIO);
        return false;
    }
    return true;
}

short Line::Events(Clock::time_point now, bool wantInput,
                   std::optional<Clock::time_point>* wake) const {
    auto wakeBy = [wake](Clock::time_point when) {
        if (!*wake || when < **wake) *wake = when;
    };
    bool readable = wantInput;
    if (readable && inPace_.Allowance(now) == 0) {
        readable = false;
        wakeBy(inPace_.NextAt());
    }
    bool writable = !out_.empty();
    if (writable && outPace_.Allowance(now) == 0) {
        writable = false;
        wakeBy(outPace_.NextAt());
    }
    return short((readable ? POLLIN : 0) | (writable ? POLLOUT : 0));
}

ssize_t Line::Read(uint8_t* buffer, size_t size, std::string* error) {
    const ssize_t n = read(master_, buffer, std::min(size, inPace_.Allowance(Clock::now())));
    if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) return 0;
        *error = SystemText("read", errno);
        return -1;
    }
    if (n == 0) {
        *error = "the line hung up";
        return -1;
    }
    // The host set TIOCEXCL when it opened the port; on a pty the flag would outlive its close.
    (void)ioctl(slave_, TIOCNXCL);
    inPace_.Spend(size_t(n), Clock::now());
    return n;
}

bool Line::Receive(uint8_t* byte) {
    return Disturb(inNoise_, noiseIn_, corruptedIn_, droppedIn_, byte);
}

size_t Line::UnreadByHost() const {
    int queued = 0;
    if (slave_ < 0 || ioctl(slave_, FIONREAD, &queued) != 0) return 0;
    return size_t(std::max(queued, 0));
}

NoiseCounts Line::Noise() const {
    NoiseCounts counts;
    counts.corruptedIn = corruptedIn_.load(std::memory_order_relaxed);
    counts.corruptedOut = corruptedOut_.load(std::memory_order_relaxed);
    counts.droppedIn = droppedIn_.load(std::memory_order_relaxed);
    counts.droppedOut = droppedOut_.load(std::memory_order_relaxed);
    return counts;
}

// One byte through one direction's noise: false when it is lost, else possibly one bit flipped.
// Every byte takes two draws whatever happens to it, so the bytes hit depend only on the seed
// and on how many bytes came before.
bool Line::Disturb(Random& random, double corrupt, std::atomic<uint64_t>& corrupted,
                   std::atomic<uint64_t>& dropped, uint8_t* byte) {
    if (corrupt <= 0 && dropRate_ <= 0) return true;
    const uint64_t loss = random.Next();
    const uint64_t flip = random.Next();
    if (Random::Hits(loss, dropRate_)) {
        dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    if (Random::Hits(flip, corrupt)) {
        *byte = uint8_t(*byte ^ (1u << (flip & 7)));
        corrupted.fetch_add(1, std::memory_order_relaxed);
    }
    return true;
}

}  // namespace sim
