// Starts RunUpdateJob on a worker thread the way the front ends do, and waits for its end.
#pragma once

#include <cstdint>
#include <string>

#include "engine/update_job.h"
#include "platform/platform.h"

class JobRunner {
  public:
    // Fills the job's inputs; the path must stay valid while the job runs, so it is copied here.
    JobRunner(const std::string& imagePath, const std::string& portDevice);
    explicit JobRunner(const std::string& imagePath, int32_t portIndex);
    ~JobRunner();

    // Runs `entry` (RunUpdateJob unless given) on the worker.
    bool Start(WorkerThread::Entry entry = nullptr);
    // The job's result, or -1 when it has not ended within the timeout. Once it has ended, every
    // later call gives the same result at once.
    int32_t Wait(uint32_t timeoutMs);
    void Cancel() { updateJob.cancelRequested.store(true); }

  private:
    std::string imagePath_;
    std::string portDevice_;
    WorkerThread worker_;
    int32_t result_ = -1;
};
