// Images and ports the job must refuse, each with its own result, touching nothing it should not.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "engine/xmodem.h"
#include "tests/engine/dialogue.h"

namespace {

struct ImageCase {
    const char* name;
    std::function<std::string(const TempDir&)> make;  // returns the image path
    int32_t result;
    int systemError;  // 0: not checked
};

std::string MakeFile(const TempDir& dir, size_t size) {
    return dir.Write("image.img", PatternBytes(size));
}

class BadImage : public testing::TestWithParam<ImageCase> {};

TEST_P(BadImage, EndsAtTheImageCheckWithNothingOnTheWire) {
    const ImageCase& c = GetParam();
    TempDir dir;
    PtyPeer device;
    const std::string path = c.make(dir);
    JobRunner job(path, device.SlavePath());
    ASSERT_TRUE(job.Start());
    EXPECT_EQ(job.Wait(2000), c.result);
    EXPECT_EQ(updateJob.stage.load(), StageCheckImage);
    if (c.systemError != 0) {
        EXPECT_EQ(updateJob.systemError, c.systemError);
    }
    EXPECT_EQ(device.ReadFor(30), "");
    // Nothing is left open: the port can be taken at once.
    int error = 0;
    const int port = OpenSerialPort(device.SlavePath().c_str(), &error);
    EXPECT_GE(port, 0) << strerror(error);
    CloseSerialPort(port);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BadImage,
    testing::Values(
        ImageCase{"Missing", [](const TempDir& d) { return d.File("absent.img"); },
                  ResultImageInvalid, ENOENT},
        ImageCase{"Directory", [](const TempDir& d) { return d.Path(); }, ResultImageInvalid,
                  EISDIR},
        ImageCase{"Fifo",
                  [](const TempDir& d) {
                      mkfifo(d.File("fifo").c_str(), 0600);
                      return d.File("fifo");
                  },
                  ResultImageInvalid, EINVAL},
        ImageCase{"CharacterDevice", [](const TempDir&) { return std::string("/dev/zero"); },
                  ResultImageInvalid, EINVAL},
        ImageCase{"SymlinkLoop",
                  [](const TempDir& d) {
                      symlink("b", d.File("a").c_str());
                      symlink("a", d.File("b").c_str());
                      return d.File("a");
                  },
                  ResultImageInvalid, ELOOP},
        ImageCase{"FourGiB",
                  [](const TempDir& d) {
                      const std::string path = MakeFile(d, 0);
                      EXPECT_EQ(truncate(path.c_str(), off_t(1) << 32), 0);
                      return path;
                  },
                  ResultImageInvalid, EFBIG},
        ImageCase{"Empty", [](const TempDir& d) { return MakeFile(d, 0); }, ResultImageIoError, 0},
        ImageCase{"OneByte", [](const TempDir& d) { return MakeFile(d, 1); }, ResultImageIoError,
                  0},
        ImageCase{"SevenBytes", [](const TempDir& d) { return MakeFile(d, 7); }, ResultImageIoError,
                  0},
        ImageCase{"EmptyName", [](const TempDir&) { return std::string(); }, ResultImageInvalid,
                  ENOENT}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Image, LockedByAnotherJobIsRefused) {
    TempDir dir;
    PtyPeer device;
    const std::string path = MakeFile(dir, 100);
    const int holder = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    JobRunner job(path, device.SlavePath());
    job.Start();
    EXPECT_EQ(job.Wait(2000), ResultImageInvalid);
    EXPECT_EQ(device.ReadFor(30), "");
    close(holder);
}

TEST(Image, IsReleasedOnEveryPath) {
    TempDir dir;
    const std::string path = MakeFile(dir, 100);
    JobRunner job(path, dir.File("no-such-port"));
    job.Start();
    EXPECT_EQ(job.Wait(2000), ResultPortIoError);
    const int other = open(path.c_str(), O_RDONLY);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
}

struct PortCase {
    const char* name;
    std::function<std::string(const TempDir&)> make;  // returns the device path
    int systemError;
};

class BadPort : public testing::TestWithParam<PortCase> {};

TEST_P(BadPort, EndsAtConnectWithPortIoError) {
    const PortCase& c = GetParam();
    TempDir dir;
    JobRunner job(MakeFile(dir, 100), c.make(dir));
    job.Start();
    EXPECT_EQ(job.Wait(2000), ResultPortIoError);
    EXPECT_EQ(updateJob.stage.load(), StageConnect);
    EXPECT_EQ(updateJob.systemError, c.systemError);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BadPort,
    testing::Values(PortCase{"Missing", [](const TempDir& d) { return d.File("ttyNone"); }, ENOENT},
                    PortCase{"RegularFile", [](const TempDir& d) { return MakeFile(d, 1); },
                             ENOTTY},
                    PortCase{"Directory", [](const TempDir& d) { return d.Path(); }, EISDIR}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Port, HeldByAnotherProgramFailsAndWorksOnceReleased) {
    TempDir dir;
    PtyPeer device;
    const std::string image = MakeFile(dir, 100);
    const int holder = open(device.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    {
        JobRunner job(image, device.SlavePath());
        job.Start();
        EXPECT_EQ(job.Wait(2000), ResultPortIoError);
        EXPECT_EQ(updateJob.systemError, EBUSY);
        EXPECT_EQ(device.ReadFor(30), "");
    }
    close(holder);
    JobRunner job(image, device.SlavePath());
    job.Start();
    EXPECT_EQ(device.ReadUntil("\x1b\r\n", 2000), "\x1b\r\n");
    job.Cancel();
    EXPECT_EQ(job.Wait(1000), ResultCancelled);
}

// COMn names go through the user's alias directory; a broken alias is reported, not bypassed.
class PortNames : public testing::Test {
  protected:
    void SetUp() override {
        const char* old = getenv("XDG_CONFIG_HOME");
        saved_ = old ? old : "";
        hadOld_ = old != nullptr;
        setenv("XDG_CONFIG_HOME", config_.Path().c_str(), 1);
        std::filesystem::create_directories(config_.Path() + "/quorvane/ports");
    }
    void TearDown() override {
        if (hadOld_) {
            setenv("XDG_CONFIG_HOME", saved_.c_str(), 1);
        } else {
            unsetenv("XDG_CONFIG_HOME");
        }
    }
    void Link(const std::string& name, const std::string& target) {
        symlink(target.c_str(), (config_.Path() + "/quorvane/ports/" + name).c_str());
    }
    TempDir config_;
    std::string saved_;
    bool hadOld_ = false;
};

TEST_F(PortNames, IndexOpensItsComAlias) {
    for (const int32_t index : {0, 9, 11}) {
        PtyPeer device;
        Link("COM" + std::to_string(index + 1), device.SlavePath());
        TempDir dir;
        JobRunner job(MakeFile(dir, 100), index);
        job.Start();
        EXPECT_EQ(device.ReadUntil("\x1b\r\n", 2000), "\x1b\r\n") << "index " << index;
        job.Cancel();
        EXPECT_EQ(job.Wait(1000), ResultCancelled);
    }
}

TEST_F(PortNames, ResolveFallsBackToSerialDevices) {
    char device[256];
    ASSERT_TRUE(ResolvePortName("COM12", device, sizeof device));
    EXPECT_STREQ(device, "/dev/ttyS11");
    ASSERT_TRUE(ResolvePortName("/dev/ttyUSB0", device, sizeof device));
    EXPECT_STREQ(device, "/dev/ttyUSB0");
    Link("COM2", "/dev/quorvane-gone");
    ASSERT_TRUE(ResolvePortName("COM2", device, sizeof device));
    EXPECT_EQ(std::string(device), config_.Path() + "/quorvane/ports/COM2");
    EXPECT_FALSE(ResolvePortName("COM2", device, 8));
}

TEST_F(PortNames, BrokenAliasIsAPortError) {
    Link("COM2", "/dev/quorvane-gone");
    TempDir dir;
    JobRunner job(MakeFile(dir, 100), 1);
    job.Start();
    EXPECT_EQ(job.Wait(2000), ResultPortIoError);
    EXPECT_EQ(updateJob.systemError, ENOENT);
}

// A job that runs across the wrap of the 32-bit millisecond counter still waits and times right.
TEST(Tick, JobAcrossTheCounterWrap) {
    SetTickOffsetForTesting(0);
    SetTickOffsetForTesting(uint32_t(0xFFFFFFFFu - TickMs() - 40));
    const std::string image = PatternBytes(3000, 5);
    {
        Dialogue d(image);
        ASSERT_TRUE(d.Expect("\x1b\r\n"));
        d.Peer().ReadUntil("never", 150);  // let the wake loop time out across the wrap
        d.Send("\r\n>");
        ConsoleReplies replies;
        replies.wake = "";
        ASSERT_TRUE(d.Expect("IDENT\r\n"));
        d.Send(replies.ident);
        ASSERT_TRUE(d.Expect("VER\r\n"));
        d.Send(replies.version);
        ASSERT_TRUE(d.Expect("UPDATE BB8\r\n"));
        d.Send("UPDATE BB8\r\nReady\r\nC");
        EXPECT_EQ(d.AcceptBlocks(1029).substr(0, 3000), image);
        d.Send("Done\r\n>");
        EXPECT_EQ(d.Result(), ResultSuccess);
    }
    const uint32_t spent = updateJob.transferEndMs.load() - updateJob.transferStartMs.load();
    EXPECT_LT(spent, 2000u);
    SetTickOffsetForTesting(0);
}

}  // namespace
