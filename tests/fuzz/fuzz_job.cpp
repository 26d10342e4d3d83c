#include "tests/fuzz/fuzz_job.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "engine/update_job.h"
#include "platform/memory/memory_port.h"

namespace {

constexpr uint32_t kImageSize = 2000;  // two 1K blocks, sixteen 128-byte blocks
constexpr int kSilenceBudget = 40;
int silentReads = 0;

// The image every job sends, written once and removed when the program ends.
class ImageFile {
  public:
    ImageFile() {
        std::error_code error;
        char name[40];
        std::snprintf(name, sizeof name, "quorvane-fuzz-%08x.img",
                      unsigned(std::random_device{}()));
        path_ = (std::filesystem::temp_directory_path(error) / name).string();
        std::ofstream out(path_, std::ios::binary);
        for (uint32_t i = 0; i < kImageSize; ++i)
            out.put(char(i * 7 + 3));
        if (error || !out.flush()) abort();
    }
    ~ImageFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    const char* Path() const { return path_.c_str(); }

  private:
    std::string path_;
};

const char* ImagePath() {
    static const ImageFile image;
    return image.Path();
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
