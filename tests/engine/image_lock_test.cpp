// How a job holds its image: with a shared lock, which a program holding the file exclusively
// refuses and other readers share, and with none on a file system that has no locks to give.
// Such file systems are stood in for by this program's own flock(), which fails on regular files
// the way they do; descriptors of anything else (the ptys) get the real call.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "tests/engine/dialogue.h"

namespace {

enum class FileSystem {
    Local,
    // flock(2): on NFS an exclusive lock needs a descriptor open for writing; one open read-only
    // fails with EBADF.
    Nfs,
    NoLocks,      // NFS without its lock service: ENOLCK
    Unsupported,  // a file system without flock at all: EOPNOTSUPP
};

std::atomic<FileSystem> fileSystem{FileSystem::Local};

}  // namespace

extern "C" int flock(int fd, int operation) {
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        switch (fileSystem.load()) {
            case FileSystem::Local:
                break;
            case FileSystem::Nfs: {
                const int mode = fcntl(fd, F_GETFL) & O_ACCMODE;
                if ((operation & LOCK_EX) != 0 && mode == O_RDONLY) {
                    errno = EBADF;
                    return -1;
                }
                break;
            }
            case FileSystem::NoLocks:
                errno = ENOLCK;
                return -1;
            case FileSystem::Unsupported:
                errno = EOPNOTSUPP;
                return -1;
        }
    }
    return int(syscall(SYS_flock, fd, operation));
}

namespace {

enum class Holder { None, Reader, Exclusive };

struct LockCase {
    const char* name;
    FileSystem fileSystem;
    Holder holder;
    bool accepted;  // false: refused at stage 1 as held by another program
};

class ImageLock : public testing::TestWithParam<LockCase> {
  protected:
    void TearDown() override { fileSystem = FileSystem::Local; }
};

// Holds the image the way another program would, for the life of the case.
struct HeldImage {
    int fd = -1;
    HeldImage(const std::string& path, Holder holder) {
        if (holder == Holder::None) return;
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(flock(fd, holder == Holder::Reader ? LOCK_SH : LOCK_EX), 0);
    }
    ~HeldImage() {
        if (fd >= 0) close(fd);
    }
};

TEST_P(ImageLock, JobGetsPastTheImageUnlessAnotherProgramHoldsItExclusively) {
    const LockCase& c = GetParam();
    TempDir dir;
    PtyPeer device;
    const std::string path = dir.Write("image.img", PatternBytes(4096));
    const HeldImage other(path, c.holder);
    fileSystem = c.fileSystem;
    JobRunner job(path, device.SlavePath());
    ASSERT_TRUE(job.Start());
    if (!c.accepted) {
        EXPECT_EQ(job.Wait(2000), ResultImageInvalid);
        EXPECT_EQ(updateJob.stage.load(), StageCheckImage);
        EXPECT_EQ(updateJob.systemError, EWOULDBLOCK);
        EXPECT_EQ(device.ReadFor(30), "");
        return;
    }
    // The job wakes the (silent) device: it is past the image and holds it.
    EXPECT_NE(device.ReadUntil("\x1b", 2000).find('\x1b'), std::string::npos);
    if (c.fileSystem == FileSystem::Local) {
        // Shared: another reader gets in beside the job, a writer's exclusive lock does not.
        const int probe = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(flock(probe, LOCK_SH | LOCK_NB), 0);
        close(probe);
        const int writer = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(flock(writer, LOCK_EX | LOCK_NB), -1);
        EXPECT_EQ(errno, EWOULDBLOCK);
        close(writer);
    }
    job.Cancel();
    EXPECT_EQ(job.Wait(2000), ResultCancelled);
    EXPECT_EQ(updateJob.stage.load(), StageConnect);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageLock,
    testing::Values(LockCase{"Alone", FileSystem::Local, Holder::None, true},
                    LockCase{"BesideAnotherReader", FileSystem::Local, Holder::Reader, true},
                    LockCase{"HeldExclusively", FileSystem::Local, Holder::Exclusive, false},
                    LockCase{"OnNfs", FileSystem::Nfs, Holder::None, true},
                    LockCase{"OnNfsBesideAnotherReader", FileSystem::Nfs, Holder::Reader, true},
                    LockCase{"WithoutLocks", FileSystem::NoLocks, Holder::None, true},
                    LockCase{"WithoutFlock", FileSystem::Unsupported, Holder::None, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
