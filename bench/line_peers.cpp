#include "bench/line_peers.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

#include "bench/bench_support.h"

namespace bench {

void EventLog::Attach(sim::DeviceConfig& config) {
    config.onEvent = [this](const sim::Event& event) {
        const double at = Now();
        {
            std::lock_guard lock(mutex_);
            stamps_.push_back({event.kind, at, event.ok});
        }
        changed_.notify_all();
    };
}

double EventLog::WaitFor(sim::EventKind kind, uint32_t timeoutMs, int nth) {
    std::unique_lock lock(mutex_);
    double at = 0;
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        int seen = 0;
        for (const Stamp& s : stamps_) {
            if (s.kind == kind && ++seen == nth) {
                at = s.at;
                return true;
            }
        }
        return false;
    });
    return at;
}

bool EventLog::TransferOk() {
    std::lock_guard lock(mutex_);
    bool ok = false;
    for (const Stamp& s : stamps_) {
        if (s.kind == sim::EventKind::TransferDone) ok = s.ok;
    }
    return ok;
}

void EventLog::Clear() {
    std::lock_guard lock(mutex_);
    stamps_.clear();
}

HostPort::HostPort(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

HostPort::~HostPort() {
    if (fd_ >= 0) close(fd_);
}

bool HostPort::Write(const void* data, size_t count, uint32_t timeoutMs) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    const double giveUp = Now() + timeoutMs / 1000.0;
    size_t done = 0;
    while (done < count) {
        const ssize_t n = write(fd_, bytes + done, count - done);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        const double left = giveUp - Now();
        if (left <= 0) return false;
        pollfd wait{fd_, POLLOUT, 0};
        poll(&wait, 1, int(left * 1000) + 1);
    }
    return true;
}

bool HostPort::ReadUntil(const std::string& needle, uint32_t timeoutMs, std::string* seen) {
    const double giveUp = Now() + timeoutMs / 1000.0;
    for (;;) {
        const size_t at = pending_.find(needle);
        if (at != std::string::npos) {
            if (seen != nullptr) seen->append(pending_, 0, at + needle.size());
            pending_.erase(0, at + needle.size());
            return true;
        }
        const double left = giveUp - Now();
        if (left <= 0) return false;
        pollfd wait{fd_, POLLIN, 0};
        if (poll(&wait, 1, int(left * 1000) + 1) <= 0) continue;
        char chunk[4096];
        const ssize_t n = read(fd_, chunk, sizeof chunk);
        if (n > 0) pending_.append(chunk, size_t(n));
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return false;
    }
}

int HostPort::ReadByte(uint32_t timeoutMs) {
    if (pending_.empty()) {
        const double giveUp = Now() + timeoutMs / 1000.0;
        while (pending_.empty()) {
            const double left = giveUp - Now();
            if (left <= 0) return -1;
            pollfd wait{fd_, POLLIN, 0};
            if (poll(&wait, 1, int(left * 1000) + 1) <= 0) continue;
            char chunk[4096];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n > 0) pending_.append(chunk, size_t(n));
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return -1;
        }
    }
    const int byte = uint8_t(pending_[0]);
    pending_.erase(0, 1);
    return byte;
}

bool StartDevice(sim::Device& device) {
    std::string error;
    if (device.Start(&error)) return true;
    fprintf(stderr, "the simulated device did not start: %s\n", error.c_str());
    return false;
}

}  // namespace bench
