// quorvane-cli against the simulated device, both as built programs, joined by the COM3 alias
// the device creates: the path a person takes with a real board.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "child_process.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kStartTimeoutMs = 10000;
constexpr uint32_t kJobTimeoutMs = 60000;

TEST(CliWithDevice, WritesTheImageIntoTheDeviceBehindTheComAlias) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string config = dir.File("config");
    // Not a multiple of the block size: the device must end up with the image, not the padding.
    const std::string bytes = PatternBytes(70001, 3);
    dir.Write("image.img", bytes);
    const std::string received = dir.File("received.img");

    Child device;
    ChildSpec deviceSpec;
    // The verdict delay keeps the job in its update stage for a few ticks, so that stage line
    // is always shown however fast the transfer runs.
    deviceSpec.argv = {QUORVANE_TARGET_PATH, "--link", "COM3", "--output", received, "--once",
                       "--verdict-delay",    "300"};
    deviceSpec.env = {{"XDG_CONFIG_HOME", config}};
    deviceSpec.stdoutPipe = true;
    deviceSpec.stderrPath = dir.File("device.err");
    ASSERT_TRUE(device.Start(deviceSpec));
    const std::string banner = device.ReadStdoutUntil("serving on ", kStartTimeoutMs);
    ASSERT_NE(banner.find("serving on "), std::string::npos)
        << banner << ReadWholeFile(dir.File("device.err"));
    ASSERT_TRUE(fs::exists(config + "/quorvane/ports/COM3"));

    Child cli;
    ChildSpec cliSpec;
    cliSpec.argv = {QUORVANE_CLI_PATH, "--port", "COM3", "image.img"};
    cliSpec.env = {{"XDG_CONFIG_HOME", config}};
    cliSpec.cwd = dir.Path();
    cliSpec.stdoutPath = dir.File("cli.out");
    cliSpec.stderrPath = dir.File("cli.err");
    ASSERT_TRUE(cli.Start(cliSpec));
    EXPECT_EQ(cli.Wait(kJobTimeoutMs), 0) << ReadWholeFile(dir.File("cli.err"));
    EXPECT_EQ(device.Wait(kStartTimeoutMs), 0) << ReadWholeFile(dir.File("device.err"));

    const std::string got = ReadWholeFile(received);
    EXPECT_EQ(got.size(), bytes.size());
    EXPECT_TRUE(got == bytes) << "the received image differs from the one sent";

    // Every stage gets its line, in order, however quickly the device got through them, and the
    // transfer closes with its final figures.
    const std::string out = ReadWholeFile(dir.File("cli.out"));
    EXPECT_EQ(ReadWholeFile(dir.File("cli.err")), "");
    size_t at = 0;
    for (const char* line :
         {"Checking Image File...\n", "Connecting to Target...\n", "Transferring Image File...\n",
          "Transfer Size 70001 / 70001 Bytes", "Updating Image File...\n", "Update End\n"}) {
        const size_t found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << out;
        at = found + 1;
    }
    EXPECT_EQ(out.find("Update End\n", at), std::string::npos) << out;
}

}  // namespace
