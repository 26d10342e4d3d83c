#include "tests/support/pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "platform/platform.h"

PtyPeer::PtyPeer() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return;
    char* name = nullptr;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || (name = ptsname(master_)) == nullptr) {
        Hangup();
        return;
    }
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios mode{};
    if (slave_ < 0 || tcgetattr(slave_, &mode) != 0) {
        Hangup();
        return;
    }
    cfmakeraw(&mode);
    tcsetattr(slave_, TCSANOW, &mode);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPeer::~PtyPeer() {
    Hangup();
}

void PtyPeer::Hangup() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
    slave_ = master_ = -1;
}

namespace {
// One read with a wait of at most `ms`; false on silence.
bool ReadSome(int fd, uint32_t ms, std::string* out) {
    pollfd wait{fd, POLLIN, 0};
    if (poll(&wait, 1, int(ms)) <= 0) return false;
    char chunk[4096];
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    out->append(chunk, size_t(n));
    return true;
}
}  // namespace

std::string PtyPeer::ReadFor(uint32_t ms) {
    std::string got;
    while (master_ >= 0 && ReadSome(master_, ms, &got)) {
    }
    return got;
}

std::string PtyPeer::ReadUntil(const std::string& needle, uint32_t timeoutMs) {
    std::string got;
    const Deadline deadline = Deadline::After(timeoutMs);
    while (master_ >= 0 && got.find(needle) == std::string::npos && !deadline.Expired()) {
        ReadSome(master_, deadline.RemainingMs(), &got);
    }
    return got;
}

std::string PtyPeer::ReadCount(size_t count, uint32_t timeoutMs) {
    std::string got;
    const Deadline deadline = Deadline::After(timeoutMs);
    while (master_ >= 0 && got.size() < count && !deadline.Expired()) {
        ReadSome(master_, deadline.RemainingMs(), &got);
    }
    return got;
}

bool PtyPeer::Write(const std::string& bytes) {
    size_t done = 0;
    while (master_ >= 0 && done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
        } else {
            pollfd wait{master_, POLLOUT, 0};
            if (poll(&wait, 1, 1000) <= 0) return false;
        }
    }
    return done == bytes.size();
}
