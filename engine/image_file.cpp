#include "engine/image_file.h"

#include <cstring>

#include "engine/update_job.h"
#include "platform/platform.h"

namespace {
int imageFile = -1;
uint8_t imageHeader[8];
}  // namespace

bool OpenImage(const char* path) {
    if (path == nullptr) {
        updateJob.systemError = 0;
        return false;
    }
    imageFile = OpenImageFile(path, &updateJob.systemError);
    return imageFile >= 0;
}

bool CheckImageHeader() {
    uint64_t size = 0;
    if (!GetImageFileSize(imageFile, &size, &updateJob.systemError)) {
        updateJob.result = ResultImageIoError;
        return false;
    }
    // The platform refuses files of 4 GiB and more, so the size is exact here.
    updateJob.imageSize.store(uint32_t(size), std::memory_order_relaxed);

    const int32_t got = ReadImage(imageHeader, sizeof imageHeader);
    // Without the rewind the transfer would start at byte 8 and the device would get a shifted
    // image; a failed rewind is a failed job, whatever the read returned.
    const bool rewound = RewindImageFile(imageFile, &updateJob.systemError);
    if (got != int32_t(sizeof imageHeader) || !rewound) {
        updateJob.result = ResultImageIoError;
        return false;
    }
    if (updateJob.identityCheck &&
        memcmp(imageHeader, updateJob.expectedIdentity, sizeof imageHeader) != 0) {
        updateJob.result = ResultImageInvalid;
        return false;
    }
    return true;
}

int32_t ReadImage(uint8_t* buffer, uint32_t count) {
    return ReadImageFile(imageFile, buffer, count, &updateJob.systemError);
}

bool CloseImage() {
    const int file = imageFile;
    imageFile = -1;
    return file >= 0 && CloseImageFile(file);
}
