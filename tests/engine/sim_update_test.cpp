// Whole updates through a real pty into the simulated device, of every size that matters, and
// the device behaviours a job must get through. What makes a job fail (the device's refusals,
// wrong answers, going away) is the fault matrix's (tests/faults).
#include <gtest/gtest.h>

#include <cstring>

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
    testing::Values(FaultCase{"NaksABlock", Knob([](auto& c) { c.nakBlockOnce = 2; }),
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
                    FaultCase{"SlowVerdict", Knob([](auto& c) { c.verdictDelayMs = 400; }),
                              ResultSuccess, StageNone}),
    [](const auto& info) { return std::string(info.param.name); });

// A check only identifies: it reports what the device said and whether it would be accepted,
// and the device sees IDENT and VER and nothing after them.
TEST(CheckJob, IdentifiesAndSendsNothingElse) {
    const struct {
        const char* what;
        std::string identity;
        std::string version;
        const char* expected;  // the identity to insist on, or null
        UpdateResult result;
        std::string recordedVersion;  // "" when VER is not asked
    } cases[] = {
        {"the device a job would take", "QRV-0001", "Ver01.02 build 7", nullptr, ResultSuccess,
         "Ver01.02 build 7"},
        {"the identity insisted on", "QRV-0001", "Ver01.02 build 7", "QRV-0001", ResultSuccess,
         "Ver01.02 build 7"},
        {"another identity than insisted on", "QRV-0002", "Ver01.02 build 7", "QRV-0001",
         ResultConnectFail, ""},
        {"a version that is not taken", "QRV-0001", "Ver02.00 build 1", nullptr, ResultConnectFail,
         "Ver02.00 build 1"},
        // Only the first 32 bytes of a reply are kept.
        {"a long version", "QRV-0001", "Ver01.02 " + std::string(40, 'x'), nullptr, ResultSuccess,
         "Ver01.02 " + std::string(23, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::DeviceConfig config;
        config.identity = c.identity;
        config.version = c.version;
        Device d(config);
        const std::string port = d.device.PortPath();
        updateJob.imagePath = nullptr;
        updateJob.portDevice = port.c_str();
        updateJob.identityCheck = c.expected != nullptr;
        if (c.expected != nullptr) std::memcpy(updateJob.expectedIdentity, c.expected, 8);
        updateJob.cancelRequested.store(false);
        EXPECT_EQ(RunCheckJob(nullptr), c.result);
        EXPECT_EQ(updateJob.result, c.result);
        EXPECT_STREQ(updateJob.identity, c.identity.c_str());
        EXPECT_EQ(std::string(updateJob.version), c.recordedVersion);
        EXPECT_EQ(updateJob.imageSize.load(), 0u);
        const std::string host = d.device.HostBytes();
        EXPECT_NE(host.find("IDENT\r\n"), std::string::npos) << host;
        EXPECT_EQ(host.find("UPDATE"), std::string::npos) << host;
        EXPECT_TRUE(host.ends_with(c.recordedVersion.empty() ? "IDENT\r\n" : "VER\r\n")) << host;
        updateJob.identityCheck = false;
        updateJob.portDevice = nullptr;
    }
}

}  // namespace
