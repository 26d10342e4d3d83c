#include "tests/sim/host_side.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "sim/xmodem_check.h"

namespace simtest {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(left) : 0;
}

}  // namespace

HostPort::HostPort(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = path + ": " + strerror(errno);
        return;
    }
    termios mode{};
    if (tcgetattr(fd_, &mode) != 0) {
        error_ = std::string("tcgetattr: ") + strerror(errno);
        Close();
        return;
    }
    cfmakeraw(&mode);
    mode.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&mode, B115200);
    cfsetospeed(&mode, B115200);
    if (tcsetattr(fd_, TCSANOW, &mode) != 0) {
        error_ = std::string("tcsetattr: ") + strerror(errno);
        Close();
    }
}

HostPort::~HostPort() {
    Close();
}

void HostPort::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool HostPort::Write(std::string_view bytes) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        pollfd wait{fd_, POLLOUT, 0};
        if (RemainingMs(deadline) == 0 || poll(&wait, 1, RemainingMs(deadline)) < 0) return false;
    }
    return true;
}

bool HostPort::Write(std::span<const uint8_t> bytes) {
    return Write(AsString(bytes));
}

std::string HostPort::Read(size_t count, int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string got;
    while (got.size() < count) {
        char buffer[4096];
        const ssize_t n = read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
        if (n > 0) {
            got.append(buffer, size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) break;  // hung up
        const int left = RemainingMs(deadline);
        if (left == 0) break;
        pollfd wait{fd_, POLLIN, 0};
        if (poll(&wait, 1, left) <= 0) break;
    }
    return got;
}

std::string HostPort::ReadThrough(char stop, int timeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string got;
    while (got.empty() || got.back() != stop) {
        const std::string byte = Read(1, RemainingMs(deadline));
        if (byte.empty()) break;
        got += byte;
    }
    return got;
}

std::vector<uint8_t> Packet(bool crc, uint8_t number, std::span<const uint8_t> data, uint8_t pad) {
    return Packet(crc ? 1024 : 128, crc, number, data, pad);
}

std::vector<uint8_t> Packet(size_t size, bool crc, uint8_t number, std::span<const uint8_t> data,
                            uint8_t pad) {
    std::vector<uint8_t> packet(3 + size + (crc ? 2 : 1), pad);
    packet[0] = size == 1024 ? 0x02 : 0x01;
    packet[1] = number;
    packet[2] = uint8_t(255 - number);
    std::copy_n(data.begin(), std::min(size, data.size()), packet.begin() + 3);
    const std::span<const uint8_t> block(packet.data() + 3, size);
    if (crc) {
        const uint16_t check = sim::Crc16Xmodem(block);
        packet[3 + size] = uint8_t(check >> 8);
        packet[4 + size] = uint8_t(check);
    } else {
        packet[3 + size] = sim::Sum8(block);
    }
    return packet;
}

std::string AsString(std::span<const uint8_t> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string MakeTemporaryFolder(const std::string& stem) {
    std::error_code error;
    std::string pattern =
        (std::filesystem::temp_directory_path(error) / (stem + "-XXXXXX")).string();
    if (error || mkdtemp(pattern.data()) == nullptr) return {};
    return pattern;
}

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = uint8_t(i * 7 + (i >> 8) * 13);
    return bytes;
}

}  // namespace simtest
