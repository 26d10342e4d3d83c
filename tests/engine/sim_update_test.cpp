// Whole updates through a real pty into the simulated device, and the device's faults.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "sim/sim_device.h"
#include "tests/support/job_runner.h"
#include "tests/support/temp_dir.h"

namespace {

struct Device {
    explicit Device(sim::DeviceConfig config = {}) : device(std::move(config)) {
        std::string error;
        EXPECT_TRUE(device.Start(&error)) << error;
    }
    sim::Device device;
};

std::string Received(const sim::Device& device) {
    const std::vector<uint8_t> bytes = device.Received();
    return std::string(bytes.begin(), bytes.end());
}

struct SizeCase {
    size_t size;
    bool crcMode;
};

class FullUpdate : public testing::TestWithParam<SizeCase> {};

TEST_P(FullUpdate, DeviceHoldsTheImage) {
    const SizeCase& c = GetParam();
    sim::DeviceConfig config;
    config.crcMode = c.crcMode;
    Device d(config);
    TempDir dir;
    const std::string image = PatternBytes(c.size, unsigned(c.size));
    JobRunner job(dir.Write("image.img", image), d.device.PortPath());
    ASSERT_TRUE(job.Start());
    EXPECT_EQ(job.Wait(30000), ResultSuccess);
    EXPECT_EQ(updateJob.stage.load(), StageNone);
    EXPECT_EQ(updateJob.bytesSent.load(), c.size);
    EXPECT_EQ(d.device.AnnouncedSize(), c.size);
    EXPECT_TRUE(Received(d.device) == image);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FullUpdate,
    testing::Values(SizeCase{8, true}, SizeCase{8, false}, SizeCase{1000, true},
                    SizeCase{1000, false}, SizeCase{1024, true}, SizeCase{1024, false},
                    SizeCase{1025, true}, SizeCase{1025, false}, SizeCase{300 * 1024, true},
                    SizeCase{300 * 1024, false}, SizeCase{257 * 1024 + 3, true},
                    SizeCase{257 * 128 + 3, false}),
    [](const auto& info) {
        return std::to_string(info.param.size) + (info.param.crcMode ? "Crc" : "Checksum");
    });

// Jobs follow one another on the same port and file: each releases both.
TEST(FullUpdate, SecondJobAtOnce) {
    Device d;
    TempDir dir;
    const std::string path = dir.Write("image.img", PatternBytes(5000));
    for (int run = 0; run < 2; ++run) {
        JobRunner job(path, d.device.PortPath());
        job.Start();
        EXPECT_EQ(job.Wait(10000), ResultSuccess) << "run " << run;
    }
    EXPECT_EQ(d.device.UpdatesCompleted(), 2);
}

struct FaultCase {
    const char* name;
    sim::DeviceConfig config;
    int32_t result;
    UpdateStage stage;
};

sim::DeviceConfig Knob(void (*set)(sim::DeviceConfig&)) {
    sim::DeviceConfig config;
    set(config);
    return config;
}

class DeviceFault : public testing::TestWithParam<FaultCase> {};

TEST_P(DeviceFault, EndsWithItsResult) {
    const FaultCase& c = GetParam();
    Device d(c.config);
    TempDir dir;
    const std::string image = PatternBytes(4000, 9);
    JobRunner job(dir.Write("image.img", image), d.device.PortPath());
    job.Start();
    EXPECT_EQ(job.Wait(15000), c.result);
    EXPECT_EQ(updateJob.stage.load(), c.stage);
    if (c.result == ResultSuccess) {
        EXPECT_TRUE(Received(d.device) == image);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Knobs, DeviceFault,
    testing::Values(FaultCase{"RefusesUpdate", Knob([](auto& c) { c.refuseUpdate = true; }),
                              ResultTransferFail, StageTransfer},
                    FaultCase{"CancelsMidTransfer", Knob([](auto& c) { c.cancelAfterBlocks = 2; }),
                              ResultTransferFail, StageTransfer},
                    FaultCase{"NaksABlock", Knob([](auto& c) { c.nakBlockOnce = 2; }),
                              ResultSuccess, StageNone},
                    FaultCase{"NaksEot", Knob([](auto& c) { c.nakEotTimes = 3; }), ResultSuccess,
                              StageNone},
                    FaultCase{"NoEchoChecksum", Knob([](auto& c) {
                                  c.echo = false;
                                  c.crcMode = false;
                              }),
                              ResultSuccess, StageNone},
                    FaultCase{"BootBanner", Knob([](auto& c) {
                                  c.banner = "boot rom 1.4\r\nchecking flash... ok\r\n";
                                  c.bootSilentMs = 250;
                              }),
                              ResultSuccess, StageNone},
                    FaultCase{"WrongIdentityLength", Knob([](auto& c) { c.identity = "QRV-01"; }),
                              ResultConnectFail, StageConnect},
                    FaultCase{"WrongVersion", Knob([](auto& c) { c.version = "Ver01.01"; }),
                              ResultConnectFail, StageConnect},
                    FaultCase{"VerdictAbort", Knob([](auto& c) { c.verdict = "Abort"; }),
                              ResultUpdateFail, StageUpdate},
                    FaultCase{"SlowVerdict", Knob([](auto& c) { c.verdictDelayMs = 400; }),
                              ResultSuccess, StageNone}),
    [](const auto& info) { return std::string(info.param.name); });

double ThreadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// How the device goes away mid-job, and what the job must do about it.
enum class Loss {
    ClosedBeforeThePrompt,  // its line closed (the pty's master) while the host wakes it
    ClosedMidTransfer,      // ... while blocks are going out
    ClosedAtTheVerdict,     // ... while the host waits for "Done"
    HungUpMidTransfer,      // the terminal hung up, as a USB adapter's does when pulled out
    FellSilentMidTransfer,  // still there, but saying nothing: no reason to give up
};

struct LossCase {
    const char* name;
    Loss loss;
    UpdateStage stage;
    bool ends;  // by itself, with ResultPortIoError; else it waits until Cancel
};

class DeviceLost : public testing::TestWithParam<LossCase> {};

// A device that has gone (and stays gone for about a second) ends the job at the stage it was in
// with ResultPortIoError and the errno that said so; one that has merely fallen silent is waited
// for. Neither wait spins, and Cancel still ends either sooner; the port is free afterwards.
TEST_P(DeviceLost, GoneEndsTheJobAfterASecondAndSilenceIsWaitedFor) {
    const LossCase& c = GetParam();
    if (c.loss == Loss::HungUpMidTransfer && geteuid() != 0) {
        GTEST_SKIP() << "hanging a terminal up (TIOCVHANGUP) takes root";
    }
    for (const bool cancelAtOnce : {false, true}) {
        SCOPED_TRACE(cancelAtOnce ? "cancelled at once" : "left alone");
        sim::DeviceConfig config;
        if (c.loss == Loss::ClosedBeforeThePrompt) config.bootSilentMs = 60000;
        if (c.loss == Loss::ClosedAtTheVerdict) config.verdictDelayMs = 60000;
        // Mid-transfer the device stops answering after 3 blocks, then goes (or not).
        if (c.loss == Loss::ClosedMidTransfer) config.vanishAfterBlocks = 3;
        if (c.loss == Loss::HungUpMidTransfer || c.loss == Loss::FellSilentMidTransfer) {
            config.stallAfterBlocks = 3;
        }
        Device d(config);
        TempDir dir;
        JobRunner job(dir.Write("image.img", PatternBytes(20000)), d.device.PortPath());
        ASSERT_TRUE(job.Start());
        const Deadline reach = Deadline::After(10000);
        const auto reached = [&] {
            switch (c.loss) {
                case Loss::ClosedBeforeThePrompt:
                    return !d.device.HostBytes().empty();  // the host holds the port
                case Loss::ClosedAtTheVerdict:
                    return d.device.UpdatesCompleted() >= 1;
                case Loss::ClosedMidTransfer:
                    return d.device.Finished();  // it closed its line itself
                default:
                    return d.device.BlocksAccepted() >= 3;
            }
        };
        while (!reached() && !reach.Expired())
            WaitUntil(Deadline::After(5));
        ASSERT_TRUE(reached());
        if (c.loss == Loss::HungUpMidTransfer) {
            const int line = open(d.device.PortPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            ASSERT_GE(line, 0);
            ASSERT_EQ(ioctl(line, TIOCVHANGUP), 0);
            close(line);
        } else if (c.loss == Loss::ClosedBeforeThePrompt || c.loss == Loss::ClosedAtTheVerdict) {
            d.device.Vanish();
        }
        const Deadline since = Deadline::After(0);
        const double cpuBefore = ThreadCpuSeconds();
        if (cancelAtOnce) {
            job.Cancel();
            EXPECT_EQ(job.Wait(1500), ResultCancelled);
            EXPECT_LT(since.ElapsedMs(), 700u) << "Cancel waited for the port to be given up";
        } else {
            // A moment's loss is no reason to give up: the job still waits half a second on.
            EXPECT_EQ(job.Wait(500), -1);
            const int32_t result = job.Wait(c.ends ? 5000 : 1500);
            EXPECT_EQ(result, c.ends ? ResultPortIoError : -1);
            if (c.ends) {
                EXPECT_GE(since.ElapsedMs(), 900u);
                const int error = updateJob.systemError;
                EXPECT_TRUE(error == EIO || error == ENXIO || error == ENODEV) << error;
            }
            EXPECT_LT(ThreadCpuSeconds() - cpuBefore, 0.1);
            if (!c.ends) {
                job.Cancel();
                EXPECT_EQ(job.Wait(1500), ResultCancelled);
            }
        }
        EXPECT_EQ(updateJob.stage.load(), c.stage);
    }
    // The port is free again: a job on a new device goes through.
    Device fresh;
    TempDir dir;
    JobRunner next(dir.Write("image.img", PatternBytes(3000)), fresh.device.PortPath());
    ASSERT_TRUE(next.Start());
    EXPECT_EQ(next.Wait(20000), ResultSuccess);
}

INSTANTIATE_TEST_SUITE_P(
    Ways, DeviceLost,
    testing::Values(
        LossCase{"ClosedBeforeThePrompt", Loss::ClosedBeforeThePrompt, StageConnect, true},
        LossCase{"ClosedMidTransfer", Loss::ClosedMidTransfer, StageTransfer, true},
        LossCase{"ClosedAtTheVerdict", Loss::ClosedAtTheVerdict, StageUpdate, true},
        LossCase{"HungUpMidTransfer", Loss::HungUpMidTransfer, StageTransfer, true},
        LossCase{"FellSilentMidTransfer", Loss::FellSilentMidTransfer, StageTransfer, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
