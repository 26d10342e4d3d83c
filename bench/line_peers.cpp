#include "bench/line_peers.h"

#include <stdio.h>

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

bool StartDevice(sim::Device& device) {
    std::string error;
    if (device.Start(&error)) return true;
    fprintf(stderr, "the simulated device did not start: %s\n", error.c_str());
    return false;
}

}  // namespace bench
