#include "fuzz_job.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "memory_port.h"
#include "update_job.h"

namespace {

constexpr uint32_t kImageSize = 2000;  // two 1K blocks, sixteen 128-byte blocks
constexpr int kSilenceBudget = 40;
int silentReads = 0;

const char* ImagePath() {
    static std::string path;
    if (path.empty()) {
        char name[] = "/tmp/quorvane-fuzz-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) abort();
        unsigned char bytes[kImageSize];
        for (uint32_t i = 0; i < kImageSize; ++i)
            bytes[i] = (unsigned char)(i * 7 + 3);
        if (write(fd, bytes, sizeof bytes) != ssize_t(sizeof bytes)) abort();
        close(fd);
        path = name;
    }
    return path.c_str();
}

void OnSilence(void*) {
    if (++silentReads >= kSilenceBudget) updateJob.cancelRequested.store(true);
}

}  // namespace

const char kAcceptingConsole[] =
    "\r\n>IDENT\r\nQRV-0001\r\n>VER\r\nVer01.02\r\n>UPDATE 7D0\r\nReady\r\n";

void RunJobAgainst(const uint8_t* deviceBytes, size_t size) {
    updateJob.imagePath = ImagePath();
    updateJob.portIndex = 0;
    updateJob.identityCheck = false;
    updateJob.cancelRequested.store(false);
    silentReads = 0;
    MemoryPortOnSilence(OnSilence, nullptr);
    MemoryPortLoad(deviceBytes, size);

    const UpdateResult result = RunUpdateJob(nullptr);
    const UpdateStage stage = updateJob.stage.load();
    if (result < ResultSuccess || result > ResultUpdateFail) abort();
    if (result != updateJob.result) abort();
    // Success means the device saw every byte of the image and said "Done".
    if (result == ResultSuccess &&
        (stage != StageNone || updateJob.bytesSent.load() != kImageSize)) {
        abort();
    }
    // The image is fine and the port always opens here: only the device can make a job fail.
    if (result == ResultImageIoError || result == ResultImageInvalid ||
        result == ResultPortIoError) {
        abort();
    }
    if (result == ResultUpdateFail && stage != StageUpdate) abort();
}
