#include "tests/support/job_runner.h"

JobRunner::JobRunner(const std::string& imagePath, const std::string& portDevice)
    : imagePath_(imagePath), portDevice_(portDevice) {}

JobRunner::JobRunner(const std::string& imagePath, int32_t portIndex) : imagePath_(imagePath) {
    updateJob.portIndex = portIndex;
}

JobRunner::~JobRunner() {
    if (worker_.IsOpen()) {
        Cancel();
        worker_.Close();
    }
    updateJob.portDevice = nullptr;
    updateJob.cancelRequested.store(false);
}

bool JobRunner::Start(WorkerThread::Entry entry) {
    result_ = -1;
    updateJob.imagePath = imagePath_.c_str();
    updateJob.portDevice = portDevice_.empty() ? nullptr : portDevice_.c_str();
    updateJob.cancelRequested.store(false);
    if (entry == nullptr) entry = [](void* p) { return int32_t(RunUpdateJob(p)); };
    return worker_.Start(entry, nullptr);
}

int32_t JobRunner::Wait(uint32_t timeoutMs) {
    if (result_ >= 0) return result_;
    const Deadline deadline = Deadline::After(timeoutMs);
    uint32_t code = kStillActive;
    while (worker_.GetExitCode(&code) && code == kStillActive && !deadline.Expired()) {
        WaitUntil(Deadline::After(2));
    }
    if (code == kStillActive) return -1;
    worker_.Close();
    result_ = int32_t(code);
    return result_;
}
