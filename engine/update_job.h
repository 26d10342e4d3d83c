// The update job: one run of the worker thread that writes an image into the device.
// The UI thread fills the inputs, starts the worker on RunUpdateJob and polls the record;
// the worker publishes its progress here and returns its UpdateResult as the exit code.
#pragma once

#include <atomic>
#include <cstdint>

enum UpdateStage : int32_t {
    StageNone = 0,
    StageCheckImage = 1,
    StageConnect = 2,
    StageTransfer = 3,  // covers the UPDATE exchange and the XMODEM transfer
    StageUpdate = 4,    // the transfer has ended; the device is writing the image
    StageEnd = 5,
};

enum UpdateResult : int32_t {
    ResultSuccess = 0,
    ResultCancelled = 1,
    ResultImageIoError = 2,
    ResultPortIoError = 3,
    ResultImageInvalid = 4,
    ResultConnectFail = 5,
    ResultTransferFail = 6,
    ResultUpdateFail = 7,
};

struct UpdateJob {
    // Inputs, written before the worker starts (thread creation orders them for the worker).
    const char* imagePath = nullptr;   // owned by the caller until the worker has ended
    int32_t portIndex = 0;             // 0 opens "COM1", 254 opens "COM255"
    const char* portDevice = nullptr;  // a device path that stands in for portIndex, when set
    bool identityCheck = false;
    uint8_t expectedIdentity[8] = {};

    // Set by the UI at any time; read by every wait loop of the worker.
    std::atomic<bool> cancelRequested{false};

    // Written by the worker, read by the UI. A reader that loads `stage` with acquire sees
    // the figures the worker stored before it.
    std::atomic<UpdateStage> stage{StageNone};
    std::atomic<uint32_t> imageSize{0};
    std::atomic<uint32_t> bytesSent{0};
    std::atomic<uint32_t> transferStartMs{0};
    std::atomic<uint32_t> transferEndMs{0};

    // Worker only while the job runs; the caller may read them once the worker has ended.
    UpdateResult result = ResultSuccess;
    int systemError = 0;    // errno of the platform call behind a port or image failure, or 0
    bool portGone = false;  // the port's device went away while the job held it
    // The replies to IDENT and VER as the device gave them (the last line before the prompt, its
    // first 32 bytes), so that a production line can record which board got which image; empty
    // when the exchange did not complete.
    char identity[33] = {};
    char version[33] = {};
};

extern UpdateJob updateJob;

// Runs one whole job on the calling thread; `parameter` is not used. Returns the job's result,
// which is also what the worker thread's exit code reads once it has ended.
UpdateResult RunUpdateJob(void* parameter);

// The same record for a check without an update: opens the port, wakes the console, runs IDENT
// and VER as a job would (with its identity check) and closes the port. No image is opened and
// nothing else is sent, so a board can be checked before it is given an image.
UpdateResult RunCheckJob(void* parameter);

// Stage changes go through these so that every writer uses release and every reader acquire.
inline void SetStage(UpdateStage stage) {
    updateJob.stage.store(stage, std::memory_order_release);
}
inline UpdateStage GetStage() {
    return updateJob.stage.load(std::memory_order_acquire);
}
inline bool CancelRequested() {
    return updateJob.cancelRequested.load(std::memory_order_relaxed);
}
