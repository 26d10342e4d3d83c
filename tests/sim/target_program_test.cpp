// quorvane-target as a user runs it: its output lines, its flags, its exit codes.

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/sim/host_side.h"
#include "tests/support/pty.h"
#include "tests/support/target_program.h"
#include "tests/support/xmodem_bytes.h"

namespace {

using Program = TargetProgram;

constexpr uint32_t kReplyMs = 3000;

class TemporaryFolder {
  public:
    TemporaryFolder() : path_(simtest::MakeTemporaryFolder("sim-target")) {}
    ~TemporaryFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Wake, announce `image`, send it in 128-byte checksum blocks, end; returns the verdict bytes.
std::string Update(HostPort& host, const std::vector<uint8_t>& image) {
    host.Write(std::string(1, wire::kEsc));
    host.ReadUntil(">", kReplyMs);
    char command[32];
    snprintf(command, sizeof command, "UPDATE %zX\r\n", image.size());
    host.Write(command);
    host.ReadUntil("\n", kReplyMs);  // echo
    host.ReadUntil("\n", kReplyMs);  // accepted
    if (host.ReadCount(1, kReplyMs) != std::string(1, wire::kNak)) return "no NAK to start with";
    for (size_t start = 0; start < image.size(); start += 128) {
        const size_t size = std::min<size_t>(128, image.size() - start);
        host.Write(simtest::Packet(false, uint8_t(start / 128 + 1),
                                   std::span(image.data() + start, size)));
        if (host.ReadCount(1, kReplyMs) != std::string(1, wire::kAck))
            return "block not acknowledged";
    }
    host.Write(std::string(1, wire::kEot));
    return host.ReadUntil(">", kReplyMs);
}

TEST(TargetProgram, HelpListsTheOptions) {
    Program program;
    ASSERT_TRUE(program.Spawn({"--help"}));
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_EQ(program.Stdout().rfind("usage: quorvane-target", 0), 0u);
    for (const char* option : {"--link COMn",
                               "--output FILE",
                               "--once",
                               "--quiet",
                               "--line-rate BPS",
                               "--noise RATE",
                               "--noise-in RATE",
                               "--drop RATE",
                               "--noise-everywhere",
                               "--garbage-burst N",
                               "--seed N",
                               "--identity TEXT",
                               "--ident-raw TEXT",
                               "--version TEXT",
                               "--no-echo",
                               "--refuse-update",
                               "--verdict TEXT",
                               "--verdict-raw TEXT",
                               "--verdict-delay MS",
                               "--boot-silent MS",
                               "--banner TEXT",
                               "--banner-gap MS",
                               "--busy-after-boot MS",
                               "--prompt-per-esc",
                               "--nak ",
                               "--nak-block K",
                               "--nak-eot N",
                               "--cancel-after N",
                               "--stall-after N",
                               "--vanish-after N",
                               "--receiver-only",
                               "--trim-sub"}) {
        EXPECT_NE(program.Stdout().find(std::string("  ") + option), std::string::npos) << option;
    }
    EXPECT_NE(program.Stdout().find("(default 115200;"), std::string::npos);
}

class BadUsage : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(BadUsage, ExitsWith64BeforeServing) {
    Program program;
    ASSERT_TRUE(program.Spawn(GetParam()));
    EXPECT_EQ(program.Wait(), 64);
    EXPECT_EQ(program.Stdout().find(kServing), std::string::npos);
    EXPECT_NE(program.Stderr().find(GetParam()[0]), std::string::npos) << program.Stderr();
}

// The first word is what the complaint must name.
using Args = std::vector<std::string>;
INSTANTIATE_TEST_SUITE_P(
    Cases, BadUsage,
    ::testing::Values(
        Args{"--bogus"}, Args{"--link"}, Args{"--link", "COM0"}, Args{"--verdict-delay", "soon"},
        Args{"--boot-silent", "99999999999"}, Args{"--cancel-after", "-1"},
        Args{"--nak-block", "0"}, Args{"--output"}, Args{"--noise", "1.5"}, Args{"--noise", "-0.1"},
        Args{"--noise-in", "often"}, Args{"--drop", "1e-3x"}, Args{"--noise", "nan"},
        Args{"--noise"}, Args{"--seed", "-4"}, Args{"--line-rate", "fast"},
        Args{"--line-rate", "-9600"}, Args{"--garbage-burst", "0"}, Args{"--vanish-after", "x"},
        Args{"--stall-after", "-2"}, Args{"--busy-after-boot"}, Args{"--ident-raw", "a\\q"},
        Args{"--verdict-raw", ""}, Args{"--identity", "X", "--receiver-only"},
        Args{"--banner", "boot", "--receiver-only"}, Args{"--noise-everywhere", "--receiver-only"},
        Args{"--trim-sub", "--receiver-only"}, Args{"--trim-sub", "--output", "file.img"}));

TEST(TargetProgram, OnceWritesTheImageAndExitsZero) {
    TemporaryFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    const std::filesystem::path output = folder.Path() / "received.img";
    Program program;
    ASSERT_TRUE(program.Spawn({"--once", "--nak", "--quiet", "--output", output.string()}));
    const std::string line = program.ReadLine();
    ASSERT_EQ(line.rfind(kServing, 0), 0u) << line;
    HostPort host(line.substr(kServing.size()));
    ASSERT_TRUE(host.IsOpen()) << host.Error();

    const std::vector<uint8_t> image = simtest::Pattern(300);
    EXPECT_EQ(Update(host, image), std::string(1, wire::kAck) + "\r\nDone\r\n>");
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_EQ(program.Stderr(), "");
    std::ifstream file(output, std::ios::binary);
    const std::vector<uint8_t> written((std::istreambuf_iterator<char>(file)),
                                       std::istreambuf_iterator<char>());
    EXPECT_TRUE(written == image) << written.size() << " bytes written";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()),
                            std::filesystem::directory_iterator()),
              1)
        << "a temporary file was left behind";
}

TEST(TargetProgram, OnceExitsOneWhenTheHostCancels) {
    Program program;
    ASSERT_TRUE(program.Spawn({"--once"}));
    const std::string line = program.ReadLine();
    ASSERT_EQ(line.rfind(kServing, 0), 0u) << line;
    HostPort host(line.substr(kServing.size()));
    ASSERT_TRUE(host.IsOpen()) << host.Error();
    ASSERT_TRUE(host.Write("UPDATE 400\r\n"));
    host.ReadUntil("C", kReplyMs);
    ASSERT_TRUE(host.Write(std::string(2, wire::kCan)));
    EXPECT_EQ(program.Wait(), 1);
    EXPECT_NE(program.Stderr().find("transfer aborted"), std::string::npos) << program.Stderr();
}

TEST(TargetProgram, LinkServesUntilTerminatedThenGoes) {
    TemporaryFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    Program program;
    ASSERT_TRUE(program.Spawn({"--link", "COM7", "--identity", "ABCD-123"},
                              {{"XDG_CONFIG_HOME", folder.Path().string()}}));
    const std::string serving = program.ReadLine();
    ASSERT_EQ(serving.rfind(kServing, 0), 0u) << serving;
    const std::string port = serving.substr(kServing.size());
    EXPECT_EQ(program.ReadLine(), "quorvane-target: linked as COM7 -> " + port);
    const std::filesystem::path alias = folder.Path() / "quorvane" / "ports" / "COM7";
    EXPECT_EQ(std::filesystem::read_symlink(alias).string(), port);

    {
        HostPort host(alias.string());
        ASSERT_TRUE(host.IsOpen()) << host.Error();
        ASSERT_TRUE(host.Write(std::string(1, wire::kEsc) + "IDENT\r\n"));
        EXPECT_EQ(host.ReadUntil(">", kReplyMs), "\r\n>");
        EXPECT_EQ(host.ReadUntil(">", kReplyMs), "IDENT\r\nABCD-123\r\n>");
    }
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(alias));
    EXPECT_NE(program.Stderr().find("quorvane-target: woke\n"), std::string::npos);
    EXPECT_NE(program.Stderr().find("quorvane-target: command IDENT\n"), std::string::npos);
}

// A name the user has already given to a device is theirs: the program refuses it, says where it
// leads and what to do, and leaves it as it was, during the run and after.
TEST(TargetProgram, LinkRefusesANameThatLeadsElsewhere) {
    TemporaryFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    const std::filesystem::path ports = folder.Path() / "quorvane" / "ports";
    std::filesystem::create_directories(ports);
    std::filesystem::create_symlink("/dev/serial/by-id/usb-FTDI-port0", ports / "COM5");
    Program program;
    ASSERT_TRUE(program.Spawn({"--link", "COM5"}, {{"XDG_CONFIG_HOME", folder.Path().string()}}));
    EXPECT_EQ(program.Wait(), 1);
    EXPECT_EQ(std::filesystem::read_symlink(ports / "COM5").string(),
              "/dev/serial/by-id/usb-FTDI-port0");
    const std::string& err = program.Stderr();
    EXPECT_NE(err.find("COM5 already leads to /dev/serial/by-id/usb-FTDI-port0"), std::string::npos)
        << err;
    EXPECT_NE(err.find("quorvane-cli --unmap COM5"), std::string::npos) << err;
    EXPECT_EQ(program.Stdout().find("linked as"), std::string::npos) << program.Stdout();
}

}  // namespace
