// Whole updates through a real pty into the simulated device, and the device's faults.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "job_runner.h"
#include "sim_device.h"
#include "temp_dir.h"

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

// A device that vanishes (the pty hangs up) leaves a job waiting without spinning, and Cancel
// still ends it; the port is free afterwards.
TEST(Vanish, WaitingJobStaysIdleAndCancels) {
    for (const int afterBlocks : {-1, 3}) {
        sim::DeviceConfig config;
        config.stallAfterBlocks = afterBlocks;
        config.bootSilentMs = afterBlocks < 0 ? 60000 : 0;  // asleep: the host keeps waking it
        Device d(config);
        TempDir dir;
        JobRunner job(dir.Write("image.img", PatternBytes(20000)), d.device.PortPath());
        job.Start();
        // Unplugged before the prompt (once the host holds the port) or mid-transfer.
        const Deadline wait = Deadline::After(5000);
        while (!wait.Expired() && (afterBlocks < 0 ? d.device.HostBytes().empty()
                                                   : d.device.BlocksAccepted() < afterBlocks)) {
            WaitUntil(Deadline::After(5));
        }
        d.device.Vanish();
        const double before = ThreadCpuSeconds();
        EXPECT_EQ(job.Wait(600), -1);  // still waiting: only Cancel ends it
        EXPECT_LT(ThreadCpuSeconds() - before, 0.1);
        const Deadline cancel = Deadline::After(0);
        job.Cancel();
        EXPECT_EQ(job.Wait(1500), ResultCancelled);
        EXPECT_LT(cancel.ElapsedMs(), 1200u);
    }
}

}  // namespace
