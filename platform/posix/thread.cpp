#include <pthread.h>

#include <cstring>

#include "platform/platform.h"

static_assert(sizeof(pthread_t) <= sizeof(uintptr_t), "a pthread_t must fit the handle");

struct WorkerThreadStart {
    static void* Run(void* self) {
        WorkerThread* thread = static_cast<WorkerThread*>(self);
        const int32_t code = thread->entry_(thread->parameter_);
        // Release: whoever reads the code also sees everything the entry stored before it ended.
        thread->exitCode_.store(uint32_t(code), std::memory_order_release);
        return nullptr;
    }
};

bool WorkerThread::Start(Entry entry, void* parameter) {
    if (open_ || entry == nullptr) return false;
    entry_ = entry;
    parameter_ = parameter;
    exitCode_.store(kStillActive, std::memory_order_relaxed);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, &WorkerThreadStart::Run, this) != 0) return false;
    handle_ = 0;
    std::memcpy(&handle_, &thread, sizeof thread);
    open_ = true;
    return true;
}

bool WorkerThread::GetExitCode(uint32_t* code) const {
    if (!open_) return false;
    *code = exitCode_.load(std::memory_order_acquire);
    return true;
}

void WorkerThread::Close() {
    if (!open_) return;
    pthread_t thread;
    std::memcpy(&thread, &handle_, sizeof thread);
    pthread_join(thread, nullptr);
    open_ = false;
}
