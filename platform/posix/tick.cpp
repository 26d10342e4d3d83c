#include <time.h>

#include <atomic>

#include "platform/platform.h"

namespace {
std::atomic<uint32_t> tickOffset{0};
}

uint32_t TickMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms = uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
    return uint32_t(ms) + tickOffset.load(std::memory_order_relaxed);
}

void SetTickOffsetForTesting(uint32_t offsetMs) {
    tickOffset.store(offsetMs, std::memory_order_relaxed);
}

void WaitUntil(const Deadline& deadline) {
    // nanosleep may wake early on a signal; the loop re-reads the clock.
    for (uint32_t left = deadline.RemainingMs(); left > 0; left = deadline.RemainingMs()) {
        timespec span{time_t(left / 1000), long(left % 1000) * 1000000L};
        nanosleep(&span, nullptr);
    }
}
