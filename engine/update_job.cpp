#include "engine/update_job.h"

#include "engine/console.h"
#include "engine/image_file.h"
#include "engine/serial_link.h"
#include "engine/xmodem.h"
#include "platform/platform.h"

UpdateJob updateJob;

namespace {

UpdateResult Finish(UpdateResult result) {
    updateJob.result = result;
    return result;
}

// The port is always released before the image; the clean-up's own results do not matter here.
UpdateResult CloseBoth() {
    ClosePort();
    CloseImage();
    return updateJob.result;
}

// The outputs of a previous job must not pass for this one's.
void ClearOutputs() {
    updateJob.result = ResultSuccess;
    updateJob.systemError = 0;
    updateJob.portGone = false;
    updateJob.identity[0] = '\0';
    updateJob.version[0] = '\0';
    updateJob.bytesSent.store(0, std::memory_order_relaxed);
}

}  // namespace

UpdateResult RunUpdateJob(void* /*parameter*/) {
    ClearOutputs();
    SetStage(StageCheckImage);

    if (!OpenImage(updateJob.imagePath)) return Finish(ResultImageInvalid);
    if (!CheckImageHeader()) {
        CloseImage();
        return updateJob.result;
    }

    SetStage(StageConnect);
    if (!OpenPort(updateJob.portIndex)) {
        CloseImage();
        return Finish(ResultPortIoError);
    }
    if (!ConnectTarget()) return CloseBoth();

    updateJob.transferStartMs.store(TickMs(), std::memory_order_relaxed);
    SetStage(StageTransfer);
    if (!RequestUpdate() || !SendImage()) return CloseBoth();

    updateJob.transferEndMs.store(TickMs(), std::memory_order_relaxed);
    SetStage(StageUpdate);
    if (!AwaitUpdateResult()) return CloseBoth();

    SetStage(StageEnd);
    if (!ClosePort()) {
        updateJob.result = ResultPortIoError;
        CloseImage();
        return updateJob.result;
    }
    if (!CloseImage()) return Finish(ResultImageIoError);

    SetStage(StageNone);
    return Finish(ResultSuccess);
}

UpdateResult RunCheckJob(void* /*parameter*/) {
    ClearOutputs();
    // No transfer: stamps of an earlier job would give this one a transfer time.
    updateJob.imageSize.store(0, std::memory_order_relaxed);
    updateJob.transferStartMs.store(0, std::memory_order_relaxed);
    updateJob.transferEndMs.store(0, std::memory_order_relaxed);
    SetStage(StageConnect);
    if (!OpenPort(updateJob.portIndex)) return Finish(ResultPortIoError);
    if (!ConnectTarget()) {
        ClosePort();
        return updateJob.result;
    }
    if (!ClosePort()) return Finish(ResultPortIoError);
    SetStage(StageNone);
    return Finish(ResultSuccess);
}
