// The device's XMODEM receiver against a sender we did not write: lrzsz's sx.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_side.h"
#include "sim_device.h"

extern char** environ;

namespace {

std::string FindOnPath(const std::string& name) {
    const char* path = getenv("PATH");
    std::string folders = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= folders.size()) {
        const size_t end = std::min(folders.find(':', start), folders.size());
        const std::string candidate = folders.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
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
    const std::string sx = FindOnPath("sx");
    if (sx.empty()) GTEST_SKIP() << "lrzsz's sx is not installed";
    const PeerCase& c = GetParam();

    const std::string folder = simtest::MakeTemporaryFolder("sim-sx");
    ASSERT_FALSE(folder.empty());
    const std::filesystem::path imagePath = std::filesystem::path(folder) / "image.bin";
    const std::vector<uint8_t> image = simtest::Pattern(c.size);
    std::ofstream(imagePath, std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));

    sim::DeviceConfig config;
    config.crcMode = c.crc;
    sim::Device device(config);
    std::string error;
    ASSERT_TRUE(device.Start(&error)) << error;
    simtest::HostPort host(device.PortPath());
    ASSERT_TRUE(host.IsOpen()) << host.Error();
    char command[32];
    snprintf(command, sizeof command, "UPDATE %zX\r\n", c.size);
    ASSERT_TRUE(host.Write(command));
    host.ReadThrough(c.crc ? 'C' : simtest::kNak);

    // sx talks on its stdin and stdout: both are the device's line.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, device.PortPath().c_str(), O_RDWR | O_NOCTTY, 0);
    posix_spawn_file_actions_adddup2(&actions, 0, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args{sx};
    args.insert(args.end(), c.flags.begin(), c.flags.end());
    args.push_back(imagePath.string());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, sx.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(spawned, 0);

    const bool arrived = device.WaitForUpdates(1, 15000);
    kill(pid, SIGTERM);  // sx does not always end by itself once the receiver is done
    waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(arrived);
    EXPECT_TRUE(device.Received() == image) << device.Received().size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Cases, SxSends,
                         ::testing::Values(PeerCase{"OneK", true, 5 * 1024, {"-k"}},
                                           PeerCase{"Checksum", false, 3000, {}}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
