// The simulated device, driven from the host's end of its pty.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>

#include <gtest/gtest.h>

#include "sim/sim_device.h"
#include "sim/xmodem_check.h"
#include "tests/sim/host_side.h"
#include "tests/support/pty.h"
#include "tests/support/xmodem_bytes.h"

namespace {

using simtest::Packet;
using simtest::Pattern;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kReplyMs = 3000;

const std::string E(1, wire::kEsc);
const std::string ACK(1, wire::kAck);
const std::string NAK(1, wire::kNak);
const std::string CANCAN(2, wire::kCan);
const std::string kVer = "VER\r\nVer01.02 build 7\r\n>";

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "%X", value);
    return text;
}

// Control bytes spelled out, so a failing comparison can be read.
std::string Printable(const std::string& bytes) {
    std::string text;
    for (const unsigned char c : bytes) {
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            char code[8];
            snprintf(code, sizeof code, "<%02X>", c);
            text += code;
        } else {
            text += char(c);
        }
    }
    return text;
}

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A started device with the host's end of its line opened.
struct Line {
    explicit Line(sim::DeviceConfig config = {}) : device(std::move(config)) {}

    ::testing::AssertionResult Open() {
        std::string error;
        if (!device.Start(&error)) return ::testing::AssertionFailure() << error;
        host = std::make_unique<HostPort>(device.PortPath());
        if (!host->IsOpen()) return ::testing::AssertionFailure() << host->Error();
        return ::testing::AssertionSuccess();
    }

    // Writes `send` and expects exactly `reply` back.
    void Converse(const std::string& send, const std::string& reply) {
        ASSERT_TRUE(host->Write(send));
        EXPECT_EQ(Printable(host->ReadCount(reply.size(), kReplyMs)), Printable(reply))
            << "after sending " << Printable(send);
    }

    sim::Device device;
    std::unique_ptr<HostPort> host;
};

TEST(XmodemCheck, MatchesTheReferenceValues) {
    const std::string check = "123456789";
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(check.data()),
                                         check.size());
    EXPECT_EQ(sim::Crc16Xmodem(bytes), 0x31C3);
    EXPECT_EQ(sim::Sum8(bytes),
              uint8_t(0x31 + 0x32 + 0x33 + 0x34 + 0x35 + 0x36 + 0x37 + 0x38 + 0x39));
    const uint8_t wraps[] = {0xFF, 0x02};
    EXPECT_EQ(sim::Sum8(wraps), 0x01);
}

// ---- Console --------------------------------------------------------------------------------

struct Step {
    std::string send;
    std::string reply;
};

struct ConsoleCase {
    const char* name;
    std::function<void(sim::DeviceConfig&)> configure;
    std::vector<Step> steps;  // the last reply ends in a prompt, so stray output shows up
};

void PrintTo(const ConsoleCase& c, std::ostream* os) {
    *os << c.name;
}

class ConsoleDialogue : public ::testing::TestWithParam<ConsoleCase> {};

TEST_P(ConsoleDialogue, RepliesByteForByte) {
    sim::DeviceConfig config;
    if (GetParam().configure) GetParam().configure(config);
    Line line(config);
    ASSERT_TRUE(line.Open());
    std::string sent;
    for (const Step& step : GetParam().steps) {
        line.Converse(step.send, step.reply);
        sent += step.send;
    }
    EXPECT_EQ(Printable(line.device.HostBytes()), Printable(sent));
}

std::vector<Step> MalformedUpdates() {
    std::vector<Step> steps;
    for (const char* line : {"UPDATE", "UPDATE 1a", "UPDATE 0x10", "UPDATE 012", "UPDATE  10",
                             "UPDATE 123456789", "UPDATE 10 "}) {
        steps.push_back({std::string(line) + "\r\n", std::string(line) + "\r\n?Bad size\r\n>"});
    }
    steps.push_back({"VER\r\n", kVer});
    return steps;
}

const ConsoleCase kConsoleCases[] = {
    {"EchoedDialogue",
     nullptr,
     {{E, "\r\n>"},
      {"\r\n", "\r\n"},
      {"IDENT", "IDENT"},
      {"\r\n", "\r\nQRV-0001\r\n>"},
      {"VER\r\n", kVer}}},
    {"SilentDialogue",
     [](sim::DeviceConfig& c) { c.echo = false; },
     {{E + "\r\n", "\r\n>"},
      {"IDENT\r\n", "\r\nQRV-0001\r\n>"},
      {"\r\n\r\n", ""},
      {"VER\r\n", "\r\nVer01.02 build 7\r\n>"}}},
    {"OnePromptPerBurst", nullptr, {{E + E + E, "\r\n>"}, {"VER\r\n", kVer}}},
    {"PromptPerEsc",
     [](sim::DeviceConfig& c) { c.promptPerEsc = true; },
     {{E + E + E, "\r\n>\r\n>\r\n>"}, {"VER\r\n", kVer}}},
    {"LineEditing",
     nullptr,
     {{"VERX\b\r\n", "VERX\b \b\r\nVer01.02 build 7\r\n>"},
      {"VE" + E, "VE\r\n>"},
      {"R\r\n", "R\r\n?Unknown command\r\n>"},
      {"HELLO\r\n", "HELLO\r\n?Unknown command\r\n>"}}},
    {"LongIdentity",
     [](sim::DeviceConfig& c) { c.identity = std::string(40, 'Q'); },
     {{"IDENT\r\n", "IDENT\r\n" + std::string(40, 'Q') + "\r\n>"}}},
    {"RawIdentReply",
     [](sim::DeviceConfig& c) { c.identReplyRaw = ">"; },
     {{"IDENT\r\n", "IDENT\r\n>"}, {"VER\r\n", kVer}}},
    {"RefusedUpdate",
     [](sim::DeviceConfig& c) { c.refuseUpdate = true; },
     {{"UPDATE 100000\r\n", "UPDATE 100000\r\n?Update refused\r\n>"}, {"VER\r\n", kVer}}},
    {"MalformedUpdate", nullptr, MalformedUpdates()},
};

INSTANTIATE_TEST_SUITE_P(Cases, ConsoleDialogue, ::testing::ValuesIn(kConsoleCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- XMODEM receiver ------------------------------------------------------------------------

enum class Send { Block, Corrupt, BadComplement, OtherMode, Eot, CanCan, Esc };

struct XStep {
    Send what;
    int block;  // 1-based; its data is the image's block at that place (SUB beyond the end)
    std::string reply;
};

XStep B(int block, std::string reply) {
    return {Send::Block, block, std::move(reply)};
}
XStep Do(Send what, std::string reply) {
    return {what, 1, std::move(reply)};
}

const std::string kDone = ACK + "\r\nDone\r\n>";
const std::string kAbort = ACK + "\r\nAbort\r\n>";

struct TransferCase {
    const char* name;
    bool crc;
    size_t imageSize;
    std::vector<XStep> steps;
    bool completes;  // ends with EOT acknowledged and Received() equal to the image
    int blocks = 0;  // BlocksAccepted() at the end
    std::function<void(sim::DeviceConfig&)> configure = nullptr;
    int64_t announce = -1;  // the size in the UPDATE line; -1: imageSize
    uint8_t pad = wire::kSub;
};

void PrintTo(const TransferCase& c, std::ostream* os) {
    *os << c.name;
}

class Transfer : public ::testing::TestWithParam<TransferCase> {};

std::vector<uint8_t> PacketFor(const TransferCase& c, const std::vector<uint8_t>& image,
                               const XStep& step) {
    const size_t size = c.crc ? 1024 : 128;
    const size_t start = std::min(image.size(), size_t(step.block - 1) * size);
    const size_t end = std::min(image.size(), start + size);
    const std::span<const uint8_t> data(image.data() + start, end - start);
    std::vector<uint8_t> packet = Packet(c.crc, uint8_t(step.block), data, c.pad);
    if (step.what == Send::Corrupt) packet[3 + size / 2] ^= 0x40;
    if (step.what == Send::BadComplement) packet[2] ^= 0x01;
    if (step.what == Send::OtherMode) packet = Packet(!c.crc, uint8_t(step.block), data);
    return packet;
}

TEST_P(Transfer, FollowsTheScript) {
    const TransferCase& c = GetParam();
    sim::DeviceConfig config;
    config.crcMode = c.crc;
    if (c.configure) c.configure(config);
    Line line(config);
    ASSERT_TRUE(line.Open());
    const std::vector<uint8_t> image = Pattern(c.imageSize);
    const uint32_t announce = c.announce >= 0 ? uint32_t(c.announce) : uint32_t(c.imageSize);
    const std::string command = "UPDATE " + Hex(announce) + "\r\n";
    line.Converse(E, "\r\n>");
    line.Converse(command, command + "Ready for XMODEM\r\n" + (c.crc ? "C" : NAK));
    EXPECT_EQ(line.device.AnnouncedSize(), announce);

    for (const XStep& step : c.steps) {
        SCOPED_TRACE("step " + std::to_string(&step - c.steps.data() + 1));
        switch (step.what) {
            case Send::Eot:
                line.Converse(std::string(1, wire::kEot), step.reply);
                break;
            case Send::CanCan:
                line.Converse(CANCAN, step.reply);
                break;
            case Send::Esc:
                line.Converse(E, step.reply);
                break;
            default:
                line.Converse(simtest::AsString(PacketFor(c, image, step)), step.reply);
                break;
        }
    }
    EXPECT_EQ(line.device.BlocksAccepted(), c.blocks);
    if (c.completes) {
        EXPECT_EQ(line.device.UpdatesCompleted(), 1);
        EXPECT_TRUE(line.device.Received() == image) << line.device.Received().size() << " bytes";
    } else {
        EXPECT_EQ(line.device.UpdatesCompleted(), 0);
        EXPECT_TRUE(line.device.Received().empty());
    }
}

const TransferCase kTransferCases[] = {
    {"CrcBlocks",
     true,
     2 * 1024 + 5,
     {Do(Send::Corrupt, NAK), Do(Send::BadComplement, NAK), Do(Send::OtherMode, NAK), B(1, ACK),
      B(1, ACK), B(2, ACK), B(3, ACK), Do(Send::Eot, kDone)},
     true,
     3},
    {"ChecksumBlocks",
     false,
     2 * 128 + 5,
     {Do(Send::Corrupt, NAK), Do(Send::BadComplement, NAK), Do(Send::OtherMode, NAK), B(1, ACK),
      B(1, ACK), B(2, ACK), B(3, ACK), Do(Send::Eot, kDone)},
     true,
     3},
    {"EmptyImage", true, 0, {Do(Send::Eot, kDone)}, true, 0},
    {"RefusesABlockOnce",
     true,
     2048,
     {B(1, ACK), B(2, NAK), B(2, ACK), Do(Send::Eot, kDone)},
     true,
     2,
     [](sim::DeviceConfig& c) { c.nakBlockOnce = 2; }},
    {"RefusesEots",
     false,
     100,
     {B(1, ACK), Do(Send::Eot, NAK), Do(Send::Eot, NAK), Do(Send::Eot, kDone)},
     true,
     1,
     [](sim::DeviceConfig& c) { c.nakEotTimes = 2; }},
    {"DeviceCancels",
     true,
     4096,
     {B(1, ACK), B(2, CANCAN), Do(Send::Esc, "\r\n>")},
     false,
     1,
     [](sim::DeviceConfig& c) { c.cancelAfterBlocks = 1; }},
    {"DeviceStallsUntilTheHostCancels",
     true,
     4096,
     {B(1, ACK), B(2, ""), Do(Send::Eot, ""), Do(Send::CanCan, ""), Do(Send::Esc, "\r\n>")},
     false,
     1,
     [](sim::DeviceConfig& c) { c.stallAfterBlocks = 1; }},
    {"HostCancels",
     true,
     4096,
     {B(1, ACK), Do(Send::CanCan, ""), Do(Send::Esc, "\r\n>")},
     false,
     1},
    {"BlockOutOfSequence",
     false,
     1000,
     {B(1, ACK), B(3, CANCAN), Do(Send::Esc, "\r\n>")},
     false,
     1},
    {"EscLeavesTheReceiver", true, 1000, {Do(Send::Esc, "\r\n>")}, false, 0},
    {"ShortImageAborts", true, 1024, {B(1, ACK), Do(Send::Eot, kAbort)}, true, 1, nullptr, 2000},
    {"ExtraBlockAborts", true, 1024, {B(1, ACK), B(2, ACK), Do(Send::Eot, kAbort)}, true, 2},
    {"PaddingOtherThanSubAborts",
     false,
     100,
     {B(1, ACK), Do(Send::Eot, kAbort)},
     true,
     1,
     nullptr,
     -1,
     0x00},
    {"VerdictOverride",
     true,
     10,
     {B(1, ACK), Do(Send::Eot, ACK + "\r\nFlash error\r\n>")},
     true,
     1,
     [](sim::DeviceConfig& c) { c.verdict = "Flash error"; }},
    {"RawVerdict",
     true,
     0,
     {Do(Send::Eot, ACK + ">")},
     true,
     0,
     [](sim::DeviceConfig& c) { c.verdictRaw = ">"; }},
};

INSTANTIATE_TEST_SUITE_P(Cases, Transfer, ::testing::ValuesIn(kTransferCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TransferLength, BlockNumbersWrapFrom255To0) {
    sim::DeviceConfig config;
    config.crcMode = false;
    Line line(config);
    ASSERT_TRUE(line.Open());
    const std::vector<uint8_t> image = Pattern(300 * 128 - 1);
    const std::string command = "UPDATE " + Hex(uint32_t(image.size())) + "\r\n";
    line.Converse(command, command + "Ready for XMODEM\r\n" + NAK);
    for (size_t block = 0; block < 300; ++block) {
        const size_t start = block * 128;
        const size_t end = std::min(image.size(), start + 128);
        const std::span<const uint8_t> data(image.data() + start, end - start);
        ASSERT_TRUE(line.host->Write(Packet(false, uint8_t(block + 1), data)));
        ASSERT_EQ(Printable(line.host->ReadCount(1, kReplyMs)), Printable(ACK))
            << "block " << block + 1;
    }
    line.Converse(std::string(1, wire::kEot), kDone);
    EXPECT_TRUE(line.device.WaitForUpdates(1, 1000));
    EXPECT_EQ(line.device.BlocksAccepted(), 300);
    EXPECT_TRUE(line.device.Received() == image);
}

TEST(ReceiverTiming, AsksAgainAfterASecondOfSilence) {
    Line line;
    ASSERT_TRUE(line.Open());
    const std::vector<uint8_t> image = Pattern(2048);
    line.Converse("UPDATE 800\r\n", "UPDATE 800\r\nReady for XMODEM\r\nC");

    Clock::time_point start = Clock::now();
    EXPECT_EQ(line.host->ReadCount(1, kReplyMs), "C");
    EXPECT_GE(MsSince(start), 800);

    const std::span<const uint8_t> first(image.data(), 1024);
    line.Converse(simtest::AsString(Packet(true, 1, first)), ACK);
    start = Clock::now();
    EXPECT_EQ(Printable(line.host->ReadCount(1, kReplyMs)), Printable(NAK));
    EXPECT_GE(MsSince(start), 800);

    // The resent block is the previous one: acknowledged, not stored twice.
    line.Converse(simtest::AsString(Packet(true, 1, first)), ACK);
    line.Converse(simtest::AsString(Packet(true, 2, std::span(image).subspan(1024))), ACK);
    line.Converse(std::string(1, wire::kEot), kDone);
    EXPECT_TRUE(line.device.Received() == image);
}

TEST(Verdict, ComesAfterTheWritingTime) {
    sim::DeviceConfig config;
    config.verdictDelayMs = 300;
    Line line(config);
    ASSERT_TRUE(line.Open());
    line.Converse("UPDATE 0\r\n", "UPDATE 0\r\nReady for XMODEM\r\nC");
    const Clock::time_point start = Clock::now();
    line.Converse(std::string(1, wire::kEot), ACK);
    line.Converse("", "\r\nDone\r\n>");
    EXPECT_GE(MsSince(start), 300);
}

// ---- Boot -----------------------------------------------------------------------------------

TEST(Boot, DropsInputWhileSilent) {
    sim::DeviceConfig config;
    config.bootSilentMs = 300;
    Line line(config);
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(line.Open());
    // The host's wake loop: ESC, then another after each 100 ms of silence.
    std::string got;
    while (got.find('>') == std::string::npos && MsSince(start) < 3000) {
        ASSERT_TRUE(line.host->Write(E));
        got += line.host->ReadCount(3, 100);
    }
    EXPECT_EQ(Printable(got), "\\r\\n>");
    EXPECT_GE(MsSince(start), 300);
    const std::string sent = line.device.HostBytes();
    EXPECT_GE(std::count(sent.begin(), sent.end(), wire::kEsc), 2);
}

TEST(Boot, BannerLinesComeApartAndAreNotInterrupted) {
    sim::DeviceConfig config;
    config.banner = "boot 1\r\nboot 2\r\nboot 3\r\n";
    config.bannerLineGapMs = 150;
    Line line(config);
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(line.Open());
    ASSERT_TRUE(line.host->Write(E));  // while booting: no prompt for it
    EXPECT_EQ(Printable(line.host->ReadCount(config.banner.size(), kReplyMs)),
              Printable(config.banner));
    EXPECT_GE(MsSince(start), 300);
    line.Converse(E, "\r\n>");
}

struct BusyCase {
    const char* name;
    bool promptPerEsc;
    std::string reply;
};

void PrintTo(const BusyCase& c, std::ostream* os) {
    *os << c.name;
}

class BusyBoot : public ::testing::TestWithParam<BusyCase> {};

// ESCs that pile up while the device is busy reach the console in one burst.
TEST_P(BusyBoot, AnswersQueuedEscs) {
    sim::DeviceConfig config;
    config.busyAfterBootMs = 300;
    config.promptPerEsc = GetParam().promptPerEsc;
    Line line(config);
    ASSERT_TRUE(line.Open());
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(line.host->Write(E));
    EXPECT_EQ(Printable(line.host->ReadCount(GetParam().reply.size(), kReplyMs)),
              Printable(GetParam().reply));
    line.Converse("VER\r\n", kVer);
}

INSTANTIATE_TEST_SUITE_P(Cases, BusyBoot,
                         ::testing::Values(BusyCase{"OnePrompt", false, "\r\n>"},
                                           BusyCase{"PromptEach", true, "\r\n>\r\n>\r\n>"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Line and lifetime ----------------------------------------------------------------------

TEST(HostSessions, TheHostMayCloseAndComeBack) {
    Line line;
    ASSERT_TRUE(line.Open());
    // Taken as the host takes a port: the device's own slave fd holds no lock.
    ASSERT_EQ(flock(line.host->Fd(), LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(ioctl(line.host->Fd(), TIOCEXCL), 0);
    line.Converse(E, "\r\n>");
    line.host->Close();

    HostPort again(line.device.PortPath());
    ASSERT_TRUE(again.IsOpen()) << again.Error();
    int exclusive = 1;
    ASSERT_EQ(ioctl(again.Fd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "a later unprivileged host could not open the port";
    EXPECT_EQ(flock(again.Fd(), LOCK_EX | LOCK_NB), 0);
    ASSERT_TRUE(again.Write("VER\r\n"));
    EXPECT_EQ(Printable(again.ReadCount(kVer.size(), kReplyMs)), Printable(kVer));
    EXPECT_EQ(Printable(line.device.HostBytes()), Printable(E + "VER\r\n"));
}

TEST(HostSessions, VanishHangsTheHostUp) {
    Line line;
    ASSERT_TRUE(line.Open());
    line.Converse(E, "\r\n>");
    line.device.Vanish();
    pollfd wait{line.host->Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&wait, 1, 2000), 1);
    EXPECT_NE(wait.revents & POLLHUP, 0);
    char byte;
    EXPECT_LE(read(line.host->Fd(), &byte, 1), 0);
    EXPECT_EQ(line.device.HostBytes(), E);  // results outlive the line
}

int LowestFreeFd() {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(fd);
    return fd;
}

TEST(Lifetime, EveryFdIsReleased) {
    const int before = LowestFreeFd();
    {
        sim::Device device;
        std::string error;
        ASSERT_TRUE(device.Start(&error)) << error;
        EXPECT_NE(LowestFreeFd(), before);
        EXPECT_FALSE(device.Start(&error));
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(LowestFreeFd(), before);
    {
        sim::Device device;
        std::string error;
        ASSERT_TRUE(device.Start(&error)) << error;
        device.Vanish();
        EXPECT_EQ(LowestFreeFd(), before);
        device.Stop();
        EXPECT_EQ(LowestFreeFd(), before);
    }
}

TEST(Once, StopsOnlyAfterTheHostHasTheVerdict) {
    sim::DeviceConfig config;
    config.once = true;
    Line line(config);
    ASSERT_TRUE(line.Open());
    line.Converse("UPDATE 0\r\n", "UPDATE 0\r\nReady for XMODEM\r\nC");
    ASSERT_TRUE(line.host->Write(std::string(1, wire::kEot)));
    // Stopping now would close the line and throw the unread verdict away.
    EXPECT_FALSE(line.device.WaitForFinish(150));
    EXPECT_EQ(Printable(line.host->ReadCount(kDone.size(), kReplyMs)), Printable(kDone));
    EXPECT_TRUE(line.device.WaitForFinish(2000));
    EXPECT_EQ(line.device.UpdatesCompleted(), 1);
}

TEST(Events, ReportTheDialogueInOrder) {
    std::mutex mutex;
    std::vector<std::string> seen;
    std::vector<uint8_t> image;
    sim::DeviceConfig config;
    config.onEvent = [&](const sim::Event& event) {
        std::lock_guard lock(mutex);
        switch (event.kind) {
            case sim::EventKind::Woke:
                seen.push_back("woke");
                break;
            case sim::EventKind::Command:
                seen.push_back("command " + event.text);
                break;
            case sim::EventKind::UpdateAnnounced:
                seen.push_back("update " + std::to_string(event.size));
                break;
            case sim::EventKind::TransferDone:
                seen.push_back("done " + std::to_string(event.size) + (event.ok ? " ok" : ""));
                image.assign(event.image.begin(), event.image.end());
                break;
            case sim::EventKind::TransferAborted:
                seen.push_back("aborted");
                break;
            case sim::EventKind::Verdict:
                seen.push_back("verdict " + event.text);
                break;
            case sim::EventKind::GarbageSent:
                seen.push_back("garbage");
                break;
            case sim::EventKind::Vanished:
                seen.push_back("vanished");
                break;
            case sim::EventKind::Finished:
                seen.push_back("finished");
                break;
        }
    };
    Line line(config);
    ASSERT_TRUE(line.Open());
    const std::vector<uint8_t> data = Pattern(5);
    line.Converse(E, "\r\n>");
    line.Converse("IDENT\r\n", "IDENT\r\nQRV-0001\r\n>");
    line.Converse("UPDATE 5\r\n", "UPDATE 5\r\nReady for XMODEM\r\nC");
    line.Converse(simtest::AsString(Packet(true, 1, data)), ACK);
    line.Converse(std::string(1, wire::kEot), kDone);
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (std::vector<std::string>{"woke", "command IDENT", "command UPDATE 5",
                                              "update 5", "done 5 ok", "verdict Done"}));
    EXPECT_TRUE(image == data);
}

// ---- Faults of the line -----------------------------------------------------------------------

TEST(VanishAfter, TheLastAckArrivesThenTheLineHangsUp) {
    const int before = LowestFreeFd();
    {
        std::mutex mutex;
        std::vector<std::string> events;
        sim::DeviceConfig config;
        config.crcMode = false;
        config.vanishAfterBlocks = 2;
        config.onEvent = [&](const sim::Event& event) {
            std::lock_guard lock(mutex);
            if (event.kind == sim::EventKind::Vanished) events.push_back("vanished " + event.text);
            if (event.kind == sim::EventKind::Finished) events.push_back("finished " + event.text);
        };
        Line line(config);
        ASSERT_TRUE(line.Open());
        const std::vector<uint8_t> image = Pattern(3 * 128);
        line.Converse("UPDATE 180\r\n", "UPDATE 180\r\nReady for XMODEM\r\n" + NAK);
        line.Converse(simtest::AsString(Packet(false, 1, std::span(image).first(128))), ACK);
        line.Converse(simtest::AsString(Packet(false, 2, std::span(image).subspan(128, 128))), ACK);
        pollfd wait{line.host->Fd(), POLLIN, 0};
        ASSERT_EQ(poll(&wait, 1, 2000), 1);
        EXPECT_NE(wait.revents & POLLHUP, 0);
        EXPECT_TRUE(line.device.WaitForFinish(1000));
        EXPECT_EQ(line.device.BlocksAccepted(), 2);
        std::string error;
        EXPECT_FALSE(line.device.LinkAs("COM9", &error));
        line.device.Stop();  // the thread's last event is out once it has been joined
        std::lock_guard lock(mutex);
        EXPECT_EQ(events, (std::vector<std::string>{"vanished vanished after 2 blocks",
                                                    "finished vanished after 2 blocks"}));
    }
    EXPECT_EQ(LowestFreeFd(), before);
}

int BitsApart(uint8_t a, uint8_t b) {
    return std::popcount(unsigned(a ^ b));
}

// The reply to VER through a line that garbles half the bytes the device sends.
std::string NoisyVerReply(uint64_t seed, sim::NoiseCounts* counts) {
    sim::DeviceConfig config;
    config.echo = false;
    config.noiseOut = 0.5;
    config.noiseEverywhere = true;
    config.seed = seed;
    Line line(config);
    if (!line.Open() || !line.host->Write("VER\r\n")) return {};
    const std::string reply = line.host->ReadCount(21, kReplyMs);
    *counts = line.device.Noise();
    return reply;
}

TEST(LineNoise, TheSeedDecidesWhichBytesAndEachLosesOneBit) {
    const std::string clean = "\r\nVer01.02 build 7\r\n>";
    sim::NoiseCounts first;
    sim::NoiseCounts again;
    sim::NoiseCounts other;
    const std::string a = NoisyVerReply(7, &first);
    const std::string b = NoisyVerReply(7, &again);
    const std::string c = NoisyVerReply(8, &other);
    ASSERT_EQ(a.size(), clean.size());
    EXPECT_EQ(Printable(a), Printable(b));
    EXPECT_NE(Printable(a), Printable(c));
    uint64_t changed = 0;
    for (size_t i = 0; i < clean.size(); ++i) {
        EXPECT_LE(BitsApart(uint8_t(a[i]), uint8_t(clean[i])), 1) << "byte " << i;
        changed += a[i] != clean[i];
    }
    EXPECT_GT(changed, 0u);
    EXPECT_EQ(first.corruptedOut, changed);
    EXPECT_EQ(first.corruptedIn + first.droppedIn + first.droppedOut, 0u);
}

TEST(LineNoise, LeavesTheConsoleAloneUnlessAsked) {
    sim::DeviceConfig config;
    config.noiseOut = 1;
    config.noiseIn = 1;
    Line line(config);
    ASSERT_TRUE(line.Open());
    line.Converse(E, "\r\n>");
    line.Converse("VER\r\n", kVer);
    line.Converse("UPDATE 10\r\n", "UPDATE 10\r\nReady for XMODEM\r\n");
    const std::string ask = line.host->ReadCount(1, kReplyMs);
    ASSERT_EQ(ask.size(), 1u);
    EXPECT_EQ(BitsApart(uint8_t(ask[0]), 'C'), 1) << Printable(ask);
    EXPECT_EQ(line.device.Noise().corruptedOut, 1u);
    // What the host wrote, before the noise touched it.
    EXPECT_EQ(Printable(line.device.HostBytes()), Printable(E + "VER\r\nUPDATE 10\r\n"));
}

TEST(LineRate, TheHostsBytesBackUpInThePty) {
    sim::DeviceConfig config;
    config.echo = false;
    config.lineRateBps = 115200;
    Line line(config);
    ASSERT_TRUE(line.Open());
    const std::string sent = std::string(2300, '\n') + "VER\r\n";  // the console skips LF
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(line.host->Write(sent));
    const size_t taken = line.device.HostBytes().size();
    // At most a 5 ms burst, then 11520 bytes a second; elapsed is measured after the sample.
    EXPECT_LE(double(taken), 58 + double(MsSince(start)) * 11.52 + 1) << taken << " bytes taken";
    EXPECT_EQ(Printable(line.host->ReadCount(21, kReplyMs)),
              Printable("\r\nVer01.02 build 7\r\n>"));
    EXPECT_GE(double(MsSince(start)), 0.8 * double(sent.size()) / 11.52);
}

// ---- Receiver-only mode ---------------------------------------------------------------------

class ReceiverOnly : public ::testing::TestWithParam<bool> {};

TEST_P(ReceiverOnly, TakesBothBlockSizesAndKeepsThePadding) {
    const bool crc = GetParam();
    sim::DeviceConfig config;
    config.receiverOnly = true;
    config.crcMode = crc;
    Line line(config);
    ASSERT_TRUE(line.Open());
    const std::string ask = crc ? "C" : NAK;
    EXPECT_EQ(Printable(line.host->ReadCount(1, kReplyMs)), Printable(ask)) << "asks at once";
    ASSERT_TRUE(line.host->Write(E + "VER\r\n"));
    EXPECT_EQ(Printable(line.host->ReadCount(1, 200)), "") << "there is no console";

    const std::vector<uint8_t> image = Pattern(1024 + 100);
    const std::span<const uint8_t> tail = std::span(image).subspan(1024);
    line.Converse(simtest::AsString(Packet(1024, crc, 1, std::span(image).first(1024))), ACK);
    line.Converse(simtest::AsString(Packet(128, crc, 2, tail)), ACK);
    line.Converse(simtest::AsString(Packet(128, crc, 2, tail)), ACK);  // a repeat, dropped
    line.Converse(std::string(1, wire::kEot), ACK);
    ASSERT_TRUE(line.device.WaitForUpdates(1, 1000));
    std::vector<uint8_t> kept = image;
    kept.resize(1024 + 128, wire::kSub);
    EXPECT_TRUE(line.device.Received() == kept) << line.device.Received().size() << " bytes";
    EXPECT_EQ(line.device.AnnouncedSize(), 0u);

    // Our ACK of the EOT went astray, so the sender says EOT again: no second file.
    const Clock::time_point done = Clock::now();
    line.Converse(std::string(1, wire::kEot), ACK);
    EXPECT_EQ(line.device.UpdatesCompleted(), 1);
    EXPECT_EQ(Printable(line.host->ReadCount(1, kReplyMs)), Printable(ask))
        << "ready for the next sender";
    EXPECT_GE(MsSince(done), 800);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReceiverOnly, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Crc" : "Checksum"; });

// ---- Port alias -----------------------------------------------------------------------------

// Runs each test under a fresh XDG_CONFIG_HOME and puts the environment back afterwards.
class PortAlias : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = simtest::MakeTemporaryFolder("sim-alias");
        ASSERT_FALSE(root_.empty());
        Remember("XDG_CONFIG_HOME");
        Remember("HOME");
        setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
        ports_ = root_ / "config" / "quorvane" / "ports";
    }
    void TearDown() override {
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    void Remember(const std::string& name) {
        const char* value = getenv(name.c_str());
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    static std::string Target(const std::filesystem::path& link) {
        std::error_code error;
        return std::filesystem::read_symlink(link, error).string();
    }

    std::filesystem::path root_;
    std::filesystem::path ports_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST_F(PortAlias, PointsAtThePortUntilStop) {
    Line line;
    ASSERT_TRUE(line.Open());
    std::string error;
    ASSERT_TRUE(line.device.LinkAs("COM7", &error)) << error;
    EXPECT_EQ(sim::Device::AliasPath("COM7"), (ports_ / "COM7").string());
    EXPECT_EQ(Target(ports_ / "COM7"), line.device.PortPath());

    HostPort viaAlias((ports_ / "COM7").string());
    ASSERT_TRUE(viaAlias.IsOpen()) << viaAlias.Error();
    ASSERT_TRUE(viaAlias.Write("VER\r\n"));
    EXPECT_EQ(Printable(viaAlias.ReadCount(kVer.size(), kReplyMs)), Printable(kVer));

    line.device.Stop();
    EXPECT_FALSE(std::filesystem::is_symlink(ports_ / "COM7"));
}

// A link already there is someone's mapping: it is refused and left as it was, unless it already
// leads to this very port.
TEST_F(PortAlias, RefusesALinkThatLeadsElsewhereAndTakesOneToItsOwnPort) {
    std::filesystem::create_directories(ports_);
    std::filesystem::create_symlink("/dev/ttyUSB0", ports_ / "COM3");
    Line line;
    ASSERT_TRUE(line.Open());
    std::string error;
    EXPECT_FALSE(line.device.LinkAs("COM3", &error));
    EXPECT_NE(error.find("COM3 already leads to /dev/ttyUSB0"), std::string::npos) << error;
    EXPECT_EQ(Target(ports_ / "COM3"), "/dev/ttyUSB0");
    line.device.Stop();
    EXPECT_EQ(Target(ports_ / "COM3"), "/dev/ttyUSB0");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(ports_),
                            std::filesystem::directory_iterator()),
              1);

    Line again;
    ASSERT_TRUE(again.Open());
    std::filesystem::create_symlink(again.device.PortPath(), ports_ / "COM4");
    EXPECT_TRUE(again.device.LinkAs("COM4", &error)) << error;
    EXPECT_TRUE(again.device.LinkAs("COM4", &error)) << error;
    again.device.Stop();
    EXPECT_FALSE(std::filesystem::is_symlink(ports_ / "COM4"));
}

// Someone pointed the name elsewhere while the device ran: Stop leaves their link alone.
TEST_F(PortAlias, StopKeepsALinkRepointedSinceThen) {
    Line line;
    ASSERT_TRUE(line.Open());
    std::string error;
    ASSERT_TRUE(line.device.LinkAs("COM3", &error)) << error;
    std::filesystem::remove(ports_ / "COM3");
    std::filesystem::create_symlink("/dev/null", ports_ / "COM3");
    line.device.Stop();
    EXPECT_EQ(Target(ports_ / "COM3"), "/dev/null");
}

TEST_F(PortAlias, RefusesBadNamesAndLeavesOtherFilesAlone) {
    Line line;
    ASSERT_TRUE(line.Open());
    std::string error;
    for (const char* name : {"", "COM", "COM0", "COM01", "COM256", "com1", "COM1x", "../COM1"}) {
        error.clear();
        EXPECT_FALSE(line.device.LinkAs(name, &error)) << name;
        EXPECT_FALSE(error.empty()) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(root_ / "config")) << "a refused name created folders";

    std::filesystem::create_directories(ports_);
    std::ofstream(ports_ / "COM2") << "keep";
    EXPECT_FALSE(line.device.LinkAs("COM2", &error));
    EXPECT_NE(error.find("COM2"), std::string::npos) << error;
    std::ifstream kept(ports_ / "COM2");
    std::string content((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "keep");

    sim::Device notStarted;
    EXPECT_FALSE(notStarted.LinkAs("COM4", &error));
    EXPECT_FALSE(std::filesystem::exists(ports_ / "COM4"));
}

TEST_F(PortAlias, FallsBackToHomeWithoutAnAbsoluteConfigHome) {
    setenv("HOME", root_.c_str(), 1);
    for (const char* config : {"", "relative/config"}) {
        setenv("XDG_CONFIG_HOME", config, 1);
        EXPECT_EQ(sim::Device::AliasPath("COM1"), (root_ / ".config/quorvane/ports/COM1").string());
    }
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(sim::Device::AliasPath("COM12"), (root_ / ".config/quorvane/ports/COM12").string());
}

}  // namespace
