// The real update job against the simulated device's knobs: in process, where the device's own
// figures (blocks, noise, garbage) can be checked, and through quorvane-target's flags.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim_device.h"
#include "tests/support/job_runner.h"
#include "tests/support/target_program.h"
#include "tests/support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

// Image contents stay the same from run to run, so a seeded fault hits the same bytes.
std::string Image(size_t size) {
    return PatternBytes(size, 3);
}

std::string Received(const sim::Device& device) {
    const std::vector<uint8_t> bytes = device.Received();
    return std::string(bytes.begin(), bytes.end());
}

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Milliseconds `bytes` take at `bps` on a line with ten bits a byte.
double LineMs(size_t bytes, uint32_t bps) {
    return double(bytes) * 10'000.0 / bps;
}

struct Started {
    explicit Started(sim::DeviceConfig config) : device(std::move(config)) {
        std::string error;
        EXPECT_TRUE(device.Start(&error)) << error;
    }
    sim::Device device;
};

// The job's result. With `cancelAfterMs` set, the job must reach `stage` and then still be
// waiting `cancelAfterMs` later; Cancel must end it.
int32_t RunJob(JobRunner& job, uint32_t cancelAfterMs, UpdateStage stage) {
    if (!job.Start()) return -2;
    if (cancelAfterMs == 0) return job.Wait(20000);
    const Deadline reach = Deadline::After(10000);  // generous: sanitizer builds run slowly
    while (GetStage() != stage && job.Wait(5) < 0 && !reach.Expired()) {
    }
    const int32_t early = job.Wait(cancelAfterMs);
    if (early >= 0) return 100 + early;  // ended by itself: shows up as a wrong result
    job.Cancel();
    return job.Wait(3000);
}

// ---- In process -------------------------------------------------------------------------------

struct KnobCase {
    const char* name;
    std::function<void(sim::DeviceConfig&)> configure;
    size_t imageSize;
    int32_t result;
    UpdateStage stage;
    uint32_t cancelAfterMs = 0;                          // 0: the job ends by itself
    std::function<void(const sim::Device&)> check = {};  // what the device saw
    // A paced line takes at least about as long as these bytes need in one direction before
    // the job can end. Only a loose lower bound: it checks that pacing happens, not how fast
    // anything is.
    size_t pacedBytes = 0;
};

void PrintTo(const KnobCase& c, std::ostream* os) {
    *os << c.name;
}

class EngineAgainstKnob : public ::testing::TestWithParam<KnobCase> {};

TEST_P(EngineAgainstKnob, EndsAsARealDeviceWould) {
    const KnobCase& c = GetParam();
    sim::DeviceConfig config;
    c.configure(config);
    Started d(config);
    TempDir dir;
    const std::string image = Image(c.imageSize);
    JobRunner job(dir.Write("image.img", image), d.device.PortPath());
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(RunJob(job, c.cancelAfterMs, c.stage), c.result);
    const long long elapsed = MsSince(start);
    EXPECT_EQ(updateJob.stage.load(), c.stage);
    if (c.result == ResultSuccess) {
        EXPECT_TRUE(Received(d.device) == image);
    }
    if (c.check) c.check(d.device);
    if (c.pacedBytes > 0) {
        EXPECT_GE(double(elapsed), 0.8 * LineMs(c.pacedBytes, config.lineRateBps))
            << c.pacedBytes << " bytes at " << config.lineRateBps << " bit/s";
    }
}

const KnobCase kKnobCases[] = {
    // Noise on every byte of one direction: whatever the seed, the job can only wait until
    // Cancel. Every byte into the receiver garbled, the console's left alone: no packet ever
    // gets through, and the host waits in the transfer (its sender takes the receiver's repeated
    // "C" for nothing, and whatever the garbled data holds cannot end the job).
    {"EveryByteIntoTheReceiverCorrupted", [](sim::DeviceConfig& c) { c.noiseIn = 1; }, 4096,
     ResultCancelled, StageTransfer, 300,
     [](const sim::Device& d) {
         EXPECT_GT(d.Noise().corruptedIn, 0u);
         EXPECT_EQ(d.Noise().corruptedOut, 0u);
         EXPECT_EQ(d.BlocksAccepted(), 0);
     }},
    // The prompt never arrives intact, so the host never gets past waking the console.
    {"EveryByteOutCorruptedEverywhere",
     [](sim::DeviceConfig& c) {
         c.noiseOut = 1;
         c.noiseEverywhere = true;
     },
     4096, ResultCancelled, StageConnect, 300,
     [](const sim::Device& d) { EXPECT_GT(d.Noise().corruptedOut, 0u); }},
    // The host's four 1K packets are taken from the line no faster than it carries them.
    {.name = "IntakeAt115200",
     .configure = [](sim::DeviceConfig& c) { c.lineRateBps = 115200; },
     .imageSize = 4096,
     .result = ResultSuccess,
     .stage = StageNone,
     .pacedBytes = 4 * 1029},
    {.name = "IntakeAt57600",
     .configure =
         [](sim::DeviceConfig& c) {
             c.lineRateBps = 57600;
             c.crcMode = false;
         },
     .imageSize = 2048,
     .result = ResultSuccess,
     .stage = StageNone,
     .pacedBytes = 16 * 132},
    // A long IDENT reply leaves no faster either; the host refuses it once it has all of it.
    {.name = "RepliesAt115200",
     .configure =
         [](sim::DeviceConfig& c) {
             c.lineRateBps = 115200;
             c.identity = std::string(2000, 'Q');
         },
     .imageSize = 1024,
     .result = ResultConnectFail,
     .stage = StageConnect,
     .pacedBytes = 2000},
};

INSTANTIATE_TEST_SUITE_P(Cases, EngineAgainstKnob, ::testing::ValuesIn(kKnobCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Through quorvane-target's flags ---------------------------------------------------------

struct FlagCase {
    const char* name;
    std::vector<std::string> flags;  // "{dir}" stands for a fresh folder
    int32_t result;
    UpdateStage stage;
    uint32_t cancelAfterMs = 0;
    size_t imageSize = 2048;
    uint32_t pacedAtBps = 0;    // set: the line is paced (the program's own default, or a flag)
    bool endsByItself = false;  // the program exits without being told (--once, --vanish-after)
    int exitCode = 0;           // the program's, after SIGTERM unless it ends by itself
    std::string logs = {};      // the start of a line the program's log on stderr must hold
    std::string output = {};    // a file in {dir} that must hold the image afterwards
};

void PrintTo(const FlagCase& c, std::ostream* os) {
    *os << c.name;
}

class TargetFlag : public ::testing::TestWithParam<FlagCase> {};

TEST_P(TargetFlag, TheJobEndsAsTheFlagMakesIt) {
    const FlagCase& c = GetParam();
    TempDir dir;
    std::vector<std::string> flags;
    for (std::string flag : c.flags) {
        if (const size_t at = flag.find("{dir}"); at != std::string::npos) {
            flag.replace(at, 5, dir.Path());
        }
        flags.push_back(flag);
    }
    // Unpaced unless the case is about pacing, to keep the suite quick.
    if (c.pacedAtBps == 0) flags.insert(flags.end(), {"--line-rate", "0"});

    TargetProgram target;
    const std::string port = target.Serve(flags);
    ASSERT_FALSE(port.empty()) << target.Stderr();
    const std::string image = Image(c.imageSize);
    JobRunner job(dir.Write("image.img", image), port);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(RunJob(job, c.cancelAfterMs, c.stage), c.result);
    const long long elapsed = MsSince(start);
    EXPECT_EQ(updateJob.stage.load(), c.stage);
    if (c.pacedAtBps != 0) {
        // The host's packets: 1K ones after "C", 128-byte ones after NAK.
        const bool checksum = std::find(c.flags.begin(), c.flags.end(), "--nak") != c.flags.end();
        const size_t packets = checksum ? (c.imageSize + 127) / 128 : (c.imageSize + 1023) / 1024;
        const double ms = LineMs(packets * (checksum ? 132 : 1029), c.pacedAtBps);
        EXPECT_GE(double(elapsed), 0.8 * ms);
    }

    if (!c.endsByItself) target.Signal(SIGTERM);
    EXPECT_EQ(target.Wait(), c.exitCode) << target.Stderr();
    if (!c.logs.empty()) {
        EXPECT_NE(target.Stderr().find("quorvane-target: " + c.logs), std::string::npos)
            << target.Stderr();
    }
    if (!c.output.empty()) {
        std::ifstream file(dir.File(c.output), std::ios::binary);
        const std::string written((std::istreambuf_iterator<char>(file)),
                                  std::istreambuf_iterator<char>());
        EXPECT_TRUE(written == image) << written.size() << " bytes written";
    }
}

const FlagCase kFlagCases[] = {
    {.name = "Identity",
     .flags = {"--identity", "QRV-01"},
     .result = ResultConnectFail,
     .stage = StageConnect},
    // The host reads the identity from the line before the prompt, so a trailing line spoils it.
    {.name = "IdentRaw",
     .flags = {"--ident-raw", "IDENT\\r\\nQRV-0001\\r\\nready\\r\\n>"},
     .result = ResultConnectFail,
     .stage = StageConnect},
    {.name = "Version",
     .flags = {"--version", "Ver01.01 build 7"},
     .result = ResultConnectFail,
     .stage = StageConnect},
    {.name = "NoEcho", .flags = {"--no-echo"}, .result = ResultSuccess, .stage = StageNone},
    {.name = "Nak", .flags = {"--nak"}, .result = ResultSuccess, .stage = StageNone},
    {.name = "RefuseUpdate",
     .flags = {"--refuse-update"},
     .result = ResultTransferFail,
     .stage = StageTransfer},
    {.name = "Verdict",
     .flags = {"--verdict", "Abort"},
     .result = ResultUpdateFail,
     .stage = StageUpdate},
    {.name = "VerdictRawLastLineCounts",
     .flags = {"--verdict-raw", "\\r\\nwriting\\r\\nDone\\r\\n>"},
     .result = ResultSuccess,
     .stage = StageNone},
    {.name = "VerdictDelay",
     .flags = {"--verdict-delay", "300"},
     .result = ResultSuccess,
     .stage = StageNone},
    {.name = "BootSilentWithBanner",
     .flags = {"--boot-silent", "200", "--banner", "boot 1\\nboot 2", "--banner-gap", "100"},
     .result = ResultSuccess,
     .stage = StageNone},
    {.name = "BusyAfterBoot",
     .flags = {"--busy-after-boot", "300"},
     .result = ResultSuccess,
     .stage = StageNone},
    // The host's queued ESCs get a prompt each; it takes the second one for IDENT's reply.
    {.name = "PromptPerEscAfterBusyBoot",
     .flags = {"--busy-after-boot", "300", "--prompt-per-esc"},
     .result = ResultConnectFail,
     .stage = StageConnect},
    {.name = "NakBlock",
     .flags = {"--nak-block", "2"},
     .result = ResultSuccess,
     .stage = StageNone},
    {.name = "NakEot", .flags = {"--nak-eot", "2"}, .result = ResultSuccess, .stage = StageNone},
    {.name = "CancelAfter",
     .flags = {"--cancel-after", "1"},
     .result = ResultTransferFail,
     .stage = StageTransfer},
    {.name = "StallAfter",
     .flags = {"--stall-after", "1"},
     .result = ResultCancelled,
     .stage = StageTransfer,
     .cancelAfterMs = 300},
    {.name = "VanishAfter",
     .flags = {"--vanish-after", "1"},
     .result = ResultPortIoError,
     .stage = StageTransfer,
     .endsByItself = true,
     .logs = "vanished after 1 blocks"},
    {.name = "NoiseOnEveryByteSent",
     .flags = {"--noise", "1"},
     .result = ResultCancelled,
     .stage = StageTransfer,
     .cancelAfterMs = 300},
    {.name = "NoiseOnEveryByteReceivedEverywhere",
     .flags = {"--noise-in", "1", "--noise-everywhere"},
     .result = ResultCancelled,
     .stage = StageConnect,
     .cancelAfterMs = 300},
    {.name = "NoiseBothWays",
     .flags = {"--noise", "1e-3", "--noise-in", "1e-3", "--seed", "2"},
     .result = ResultSuccess,
     .stage = StageNone,
     .imageSize = 8192,
     .logs = "line noise corrupted "},
    {.name = "DropEverythingEverywhere",
     .flags = {"--drop", "1", "--noise-everywhere"},
     .result = ResultCancelled,
     .stage = StageConnect,
     .cancelAfterMs = 300},
    // The same burst, two seeds: only seed 19's bytes hold a CAN.
    {.name = "GarbageBurst",
     .flags = {"--nak", "--garbage-burst", "16"},
     .result = ResultSuccess,
     .stage = StageNone,
     .imageSize = 8192,
     .logs = "garbage burst of 16 bytes sent"},
    {.name = "GarbageBurstSeeded",
     .flags = {"--nak", "--garbage-burst", "16", "--seed", "19"},
     .result = ResultTransferFail,
     .stage = StageTransfer,
     .imageSize = 8192,
     .logs = "garbage burst of 16 bytes sent"},
    {.name = "OnceWithOutput",
     .flags = {"--once", "--output", "{dir}/received.img"},
     .result = ResultSuccess,
     .stage = StageNone,
     .endsByItself = true,
     .output = "received.img"},
    {.name = "DefaultLineRate",
     .flags = {},
     .result = ResultSuccess,
     .stage = StageNone,
     .pacedAtBps = 115200,
     .logs = "console, line 115200 bit/s"},
    {.name = "LineRate",
     .flags = {"--line-rate", "57600", "--nak"},
     .result = ResultSuccess,
     .stage = StageNone,
     .pacedAtBps = 57600},
    // No console to wake: the host waits for a prompt that never comes.
    {.name = "ReceiverOnly",
     .flags = {"--receiver-only"},
     .result = ResultCancelled,
     .stage = StageConnect,
     .cancelAfterMs = 300},
};

INSTANTIATE_TEST_SUITE_P(Cases, TargetFlag, ::testing::ValuesIn(kFlagCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
