#include <windows.h>

#include "platform/platform.h"

static_assert(kStillActive == STILL_ACTIVE, "the exit code of a running thread is the system's");
static_assert(sizeof(HANDLE) <= sizeof(uintptr_t), "a HANDLE must fit the handle");

struct WorkerThreadStart {
    // The entry's result becomes the thread's exit code, which GetExitCodeThread reads.
    static DWORD WINAPI Run(LPVOID self) {
        WorkerThread* thread = static_cast<WorkerThread*>(self);
        return DWORD(thread->entry_(thread->parameter_));
    }
};

bool WorkerThread::Start(Entry entry, void* parameter) {
    if (open_ || entry == nullptr) return false;
    entry_ = entry;
    parameter_ = parameter;
    const HANDLE thread = CreateThread(nullptr, 0, &WorkerThreadStart::Run, this, 0, nullptr);
    if (thread == nullptr) return false;
    handle_ = uintptr_t(thread);
    open_ = true;
    return true;
}

bool WorkerThread::GetExitCode(uint32_t* code) const {
    if (!open_) return false;
    DWORD exitCode = 0;
    if (!GetExitCodeThread(HANDLE(handle_), &exitCode)) return false;
    *code = exitCode;
    return true;
}

void WorkerThread::Close() {
    if (!open_) return;
    const HANDLE thread = HANDLE(handle_);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    open_ = false;
}
