#include "tests/support/pty.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return;
    Adopt(master);
    char* name = nullptr;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || (name = ptsname(master)) == nullptr) {
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
}

PtyPeer::~PtyPeer() {
    Hangup();
}

void PtyPeer::Hangup() {
    if (slave_ >= 0) close(slave_);
    slave_ = -1;
    Close();
}

HostPort::HostPort(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error_ = path + ": " + strerror(errno);
        return;
    }
    Adopt(fd);
    termios mode{};
    if (tcgetattr(fd, &mode) != 0) {
        error_ = std::string("tcgetattr: ") + strerror(errno);
        Close();
        return;
    }
    cfmakeraw(&mode);
    mode.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&mode, B115200);
    cfsetospeed(&mode, B115200);
    if (tcsetattr(fd, TCSANOW, &mode) != 0) {
        error_ = std::string("tcsetattr: ") + strerror(errno);
        Close();
    }
}
