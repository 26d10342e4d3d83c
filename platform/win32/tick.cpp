#include <windows.h>

#include <atomic>

#include "platform/platform.h"

namespace {
std::atomic<uint32_t> tickOffset{0};
}

uint32_t TickMs() {
    // The system's own millisecond counter: 32 bits, wraps after 49.7 days, as the engine expects.
    return uint32_t(GetTickCount()) + tickOffset.load(std::memory_order_relaxed);
}

void SetTickOffsetForTesting(uint32_t offsetMs) {
    tickOffset.store(offsetMs, std::memory_order_relaxed);
}

void WaitUntil(const Deadline& deadline) {
    // Sleep and the tick count have different granularities; the loop re-reads the counter.
    for (uint32_t left = deadline.RemainingMs(); left > 0; left = deadline.RemainingMs()) {
        Sleep(left);
    }
}
