// The device's XMODEM receiver against a sender we did not write: lrzsz's sx.

#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/sim_device.h"
#include "tests/sim/host_side.h"
#include "tests/support/child.h"
#include "tests/support/pty.h"
#include "tests/support/target_program.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xmodem_bytes.h"

namespace {

constexpr uint32_t kReplyMs = 3000;

// Starts `program` with its stdin and stdout on the line at `port`, as in
// "sx FILE < PORT > PORT"; its chatter on stderr is dropped.
bool StartOnLine(Child* sender, const std::string& program,
                 const std::vector<std::string>& arguments, const std::string& port) {
    Launch launch;
    launch.argv = {program};
    launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
    launch.in = launch.out = Stdio::File(port);
    return sender->Start(launch);
}

// Ends a sender that is still running (sx does not always end once the receiver is done).
void Reap(Child& sender) {
    if (sender.Signal(SIGTERM)) sender.Wait(5000);
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)),
                                std::istreambuf_iterator<char>());
}

struct PeerCase {
    const char* name;
    bool crc;
    size_t size;
    std::vector<std::string> flags;
};

void PrintTo(const PeerCase& c, std::ostream* os) {
    *os << c.name;
}

class SxSends : public ::testing::TestWithParam<PeerCase> {};

TEST_P(SxSends, TheImageArrivesWhole) {
    const std::string sx = FindProgram("sx");
    if (sx.empty()) GTEST_SKIP() << "lrzsz's sx is not installed";
    const PeerCase& c = GetParam();

    TempDir folder;
    ASSERT_FALSE(folder.Path().empty());
    const std::vector<uint8_t> image = simtest::Pattern(c.size);
    const std::string imagePath = folder.Write("image.bin", simtest::AsString(image));

    sim::DeviceConfig config;
    config.crcMode = c.crc;
    sim::Device device(config);
    std::string error;
    ASSERT_TRUE(device.Start(&error)) << error;
    HostPort host(device.PortPath());
    ASSERT_TRUE(host.IsOpen()) << host.Error();
    char command[32];
    snprintf(command, sizeof command, "UPDATE %zX\r\n", c.size);
    ASSERT_TRUE(host.Write(command));
    host.ReadUntil(std::string(1, c.crc ? 'C' : wire::kNak), kReplyMs);

    std::vector<std::string> args = c.flags;
    args.push_back(imagePath);
    Child sender;
    ASSERT_TRUE(StartOnLine(&sender, sx, args, device.PortPath()));

    const bool arrived = device.WaitForUpdates(1, 15000);
    Reap(sender);
    ASSERT_TRUE(arrived);
    EXPECT_TRUE(device.Received() == image) << device.Received().size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Cases, SxSends,
                         ::testing::Values(PeerCase{"OneK", true, 5 * 1024, {"-k"}},
                                           PeerCase{"Checksum", false, 3000, {}}),
                         [](const auto& info) { return std::string(info.param.name); });

// quorvane-target with no console, as a plain receiver that sx sends to from the first byte.
struct PlainCase {
    const char* name;
    bool crc;
    size_t size;
    bool trimSub;  // else the file holds the blocks as received, padding included
    bool paced;    // at the program's default line rate
};

class SxIntoReceiverOnly : public ::testing::TestWithParam<PlainCase> {};

TEST_P(SxIntoReceiverOnly, TheFileArrives) {
    const std::string sx = FindProgram("sx");
    if (sx.empty()) GTEST_SKIP() << "lrzsz's sx is not installed";
    const PlainCase& c = GetParam();
    TempDir folder;
    ASSERT_FALSE(folder.Path().empty());
    const std::vector<uint8_t> image = simtest::Pattern(c.size);
    const std::string source = folder.Write("source.bin", simtest::AsString(image));
    const std::string output = folder.File("received.bin");

    std::vector<std::string> flags{"--receiver-only", "--once", "--quiet", "--output", output};
    if (!c.crc) flags.push_back("--nak");
    if (c.trimSub) flags.push_back("--trim-sub");
    if (!c.paced) flags.insert(flags.end(), {"--line-rate", "0"});
    TargetProgram target;
    const std::string port = target.Serve(flags);
    ASSERT_FALSE(port.empty()) << target.Stderr();
    std::vector<std::string> sxFlags;
    if (c.crc) sxFlags.push_back("-k");
    sxFlags.push_back(source);
    Child sender;
    ASSERT_TRUE(StartOnLine(&sender, sx, sxFlags, port));
    const int exitCode = target.Wait(15000);
    Reap(sender);
    const std::vector<uint8_t> written = ReadFile(output);

    EXPECT_EQ(exitCode, 0) << target.Stderr();
    if (c.trimSub) {
        EXPECT_TRUE(written == image) << written.size() << " bytes";
    } else {
        ASSERT_GE(written.size(), image.size());
        EXPECT_EQ(written.size() % 128, 0u);
        EXPECT_LT(written.size() - image.size(), 128u) << "more padding than one block";
        EXPECT_TRUE(std::equal(image.begin(), image.end(), written.begin()));
        EXPECT_TRUE(std::all_of(written.begin() + std::ptrdiff_t(image.size()), written.end(),
                                [](uint8_t byte) { return byte == wire::kSub; }));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SxIntoReceiverOnly,
    ::testing::Values(PlainCase{"OneKTrimmed", true, 5000, true, false},
                      PlainCase{"ChecksumAsReceived", false, 3000, false, false},
                      PlainCase{"OneKAtTheDefaultRate", true, 3000, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
