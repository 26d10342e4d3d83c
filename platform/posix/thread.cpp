#include "platform.h"

bool WorkerThread::Start(Entry entry, void* parameter) {
    if (thread_.joinable() || entry == nullptr) return false;
    exitCode_.store(kStillActive, std::memory_order_relaxed);
    try {
        thread_ = std::thread([this, entry, parameter] {
            const int32_t code = entry(parameter);
            exitCode_.store(uint32_t(code), std::memory_order_release);
        });
    } catch (...) {
        // std::thread reports a failed pthread_create this way; callers see a plain false.
        return false;
    }
    return true;
}

bool WorkerThread::GetExitCode(uint32_t* code) const {
    if (!thread_.joinable()) return false;
    *code = exitCode_.load(std::memory_order_acquire);
    return true;
}

void WorkerThread::Close() {
    if (thread_.joinable()) thread_.join();
}
