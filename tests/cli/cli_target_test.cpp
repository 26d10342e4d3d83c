// quorvane-cli against the simulated device, both as built programs, joined by the COM3 alias
// the device creates: the path a person takes with a real board, and what a script reads back.

#include <signal.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/cli/json_lines.h"
#include "tests/cli/terminal_child.h"
#include "tests/support/child.h"
#include "tests/support/target_program.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr uint32_t kJobTimeoutMs = 60000;
constexpr uint32_t kDeviceEndMs = 10000;
constexpr uint32_t kScreenTimeoutMs = 20000;
constexpr size_t kImageSize = 20000;  // 20 blocks of 1 KiB, the last one short
// Fast, but slow enough for the transfer to span a few of the front end's 100 ms ticks (about
// 0.45 s for the image): a transfer that starts and ends between two ticks shows no figures.
const std::vector<std::string> kPacedLine = {"--line-rate", "460800"};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool PrintableLines(const std::string& text) {
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7F) return false;
    }
    return true;
}

std::string LastLineStartingWith(const std::string& text, const std::string& prefix) {
    std::string found;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        if (text.compare(start, prefix.size(), prefix) == 0) {
            found = text.substr(start, end - start);
        }
    }
    return found;
}

// An image, a private config folder the device links COM3 into, and the files both programs
// leave behind.
class CliWithDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(dir_.Path().empty());
        // Starts with the identity the device gives by default, for --expect-identity.
        image_ = "QRV-0001" + PatternBytes(kImageSize - 8, 3);
        dir_.Write("image.img", image_);
    }

    bool StartDevice(TargetProgram* device, const std::vector<std::string>& knobs) {
        std::remove(dir_.File("received.img").c_str());
        return device->Link(dir_.File("config"), "COM3", dir_.File("received.img"), knobs,
                            dir_.File("device.log"));
    }

    bool StartCli(Child* cli, const std::vector<std::string>& args,
                  const std::vector<int>& ignoredSignals = {}, bool withImage = true) const {
        Launch launch;
        launch.ignoredSignals = ignoredSignals;
        launch.argv = {QUORVANE_CLI_PATH, "--port", "COM3"};
        launch.argv.insert(launch.argv.end(), args.begin(), args.end());
        if (withImage) launch.argv.push_back("image.img");
        launch.env = {{"XDG_CONFIG_HOME", dir_.File("config")}};
        launch.cwd = dir_.Path();
        launch.out = Stdio::File(dir_.File("cli.out"));
        launch.err = Stdio::File(dir_.File("cli.err"));
        return cli->Start(launch);
    }

    std::string Out() const { return ReadWholeFile(dir_.File("cli.out")); }
    // Waits until the plain log on stdout holds `line`.
    bool OutReaches(const std::string& line) const {
        for (const Deadline wait = Deadline::After(kJobTimeoutMs); !wait.Expired();
             WaitUntil(Deadline::After(10))) {
            if (Contains(Out(), line)) return true;
        }
        return false;
    }
    std::string Err() const { return ReadWholeFile(dir_.File("cli.err")); }
    std::string DeviceLog() const { return ReadWholeFile(dir_.File("device.log")); }

    TempDir dir_;
    std::string image_;
};

// Each device behaviour that ends a job gives the job's result as the exit code and its text on
// stderr; the log on stdout stops at the stage that failed.
TEST_F(CliWithDevice, EveryWayADeviceEndsAJobHasItsExitCode) {
    const struct {
        const char* what;
        std::vector<std::string> knobs;
        std::vector<std::string> cliArgs;
        int exitCode;
        std::string stderrText;  // the whole of it when the job succeeded, else a part
        const char* lastStage;
        // The line after the job: what the device said it is, as far as it was asked.
        const char* deviceLine = "device: QRV-0001, Ver01.02 build 7";
    } cases[] = {
        {"a device that takes the image", {}, {}, 0, "", "Update End"},
        {"the same with the identity checked",
         {},
         {"--expect-identity", "QRV-0001"},
         0,
         "",
         "Update End"},
        {"refuses UPDATE",
         {"--refuse-update"},
         {},
         6,
         "Image File Transfer Fail\n",
         "Transferring Image File..."},
        {"another identity than expected",
         {"--identity", "QRV-0002"},
         {"--expect-identity", "QRV-0001"},
         5,
         "Tartget Connect Fail\n",
         "Connecting to Target...",
         "device: QRV-0002"},
        {"an identity that is not 8 characters",
         {"--identity", "QRV-01"},
         {},
         5,
         "Tartget Connect Fail\n",
         "Connecting to Target...",
         "device: QRV-01"},
        {"another version",
         {"--version", "Ver02.00 build 1"},
         {},
         5,
         "Tartget Connect Fail\n",
         "Connecting to Target...",
         "device: QRV-0001, Ver02.00 build 1"},
        {"a verdict other than Done",
         {"--verdict", "Fail"},
         {},
         7,
         "Image File Update Fail\n",
         "Updating Image File..."},
        {"cancels the transfer after 3 blocks",
         {"--cancel-after", "3"},
         {},
         6,
         "Image File Transfer Fail\n",
         "Transferring Image File..."},
        // The line goes dead mid-transfer (a USB adapter pulled out): once it has stayed dead
        // for about a second the job ends, and says what to look at.
        {"vanishes after 3 blocks",
         {"--vanish-after", "3"},
         {},
         3,
         "Serial Port I/O Error\nquorvane-cli: the device or its adapter on COM3 (" +
             dir_.File("config") +
             "/quorvane/ports/COM3) is gone (Input/output error); check the cable and that the "
             "adapter is plugged in, then start the update again.\n",
         "Transferring Image File..."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.knobs.empty() && !TargetProgram::Takes(c.knobs.front())) {
            ADD_FAILURE() << "quorvane-target has no " << c.knobs.front();
            continue;
        }
        TargetProgram device;
        ASSERT_TRUE(StartDevice(&device, c.knobs)) << DeviceLog();
        Child cli;
        ASSERT_TRUE(StartCli(&cli, c.cliArgs));
        EXPECT_EQ(cli.Wait(kJobTimeoutMs), c.exitCode) << Err();
        const std::string out = Out();
        const std::string err = Err();
        if (c.exitCode == 0) {
            EXPECT_EQ(err, c.stderrText);
        } else {
            EXPECT_TRUE(Contains(err, c.stderrText)) << err;
        }

        EXPECT_TRUE(PrintableLines(out)) << out;
        EXPECT_EQ(LastLineStartingWith(out, "stage: "), std::string("stage: ") + c.lastStage)
            << out;
        EXPECT_EQ(LastLineStartingWith(out, "device: "), c.deviceLine) << out;
        if (c.exitCode == 0) {
            EXPECT_EQ(device.Wait(kDeviceEndMs), 0) << DeviceLog();
            EXPECT_TRUE(ReadWholeFile(dir_.File("received.img")) == image_)
                << "the received image differs from the one sent";
        }
    }
}

// A check wakes the device and identifies it; the device never sees UPDATE, and the exit status
// says whether a job would take the device.
TEST_F(CliWithDevice, CheckIdentifiesTheDeviceAndAnnouncesNothing) {
    const struct {
        const char* what;
        std::vector<std::string> knobs;
        std::vector<std::string> cliArgs;
        int exitCode;
        const char* deviceLine;
    } cases[] = {
        {"a device a job would take", {}, {}, 0, "device: QRV-0001, Ver01.02 build 7"},
        {"the identity insisted on",
         {},
         {"--expect-identity", "QRV-0001"},
         0,
         "device: QRV-0001, Ver01.02 build 7"},
        {"another identity than insisted on",
         {"--identity", "QRV-0002"},
         {"--expect-identity", "QRV-0001"},
         5,
         "device: QRV-0002"},
        {"a version that is not taken",
         {"--version", "Ver02.00 build 1"},
         {},
         5,
         "device: QRV-0001, Ver02.00 build 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TargetProgram device;
        ASSERT_TRUE(StartDevice(&device, c.knobs)) << DeviceLog();
        std::vector<std::string> args = {"--check"};
        args.insert(args.end(), c.cliArgs.begin(), c.cliArgs.end());
        Child cli;
        ASSERT_TRUE(StartCli(&cli, args, {}, false));
        EXPECT_EQ(cli.Wait(kJobTimeoutMs), c.exitCode) << Err();
        const std::string out = Out();
        EXPECT_EQ(LastLineStartingWith(out, "device: "), c.deviceLine) << out;
        EXPECT_EQ(LastLineStartingWith(out, "stage: "), "stage: Connecting to Target...") << out;
        EXPECT_FALSE(Contains(out, "Checking Image File")) << out;
        if (c.exitCode == 0) {
            EXPECT_EQ(Err(), "");
        } else {
            EXPECT_TRUE(Contains(Err(), "Tartget Connect Fail\n")) << Err();
        }
        // Once it has stopped its log is whole.
        device.Signal(SIGTERM);
        device.Wait();
        const std::string log = DeviceLog();
        EXPECT_TRUE(Contains(log, "command IDENT")) << log;
        EXPECT_FALSE(Contains(log, "command UPDATE")) << log;
    }

    // With --json: the stage it goes through and the result with what the device said.
    TargetProgram device;
    ASSERT_TRUE(StartDevice(&device, {})) << DeviceLog();
    Child cli;
    ASSERT_TRUE(StartCli(&cli, {"--check", "--json"}, {}, false));
    EXPECT_EQ(cli.Wait(kJobTimeoutMs), 0) << Err();
    const JsonLines parsed = ParseJsonLines(Out(), dir_.Path());
    ASSERT_TRUE(parsed.ok) << parsed.error << Out();
    const std::string alias = dir_.File("config") + "/quorvane/ports/COM3";
    const std::vector<std::string> expected = {
        R"({"device":")" + alias + R"(","event":"start","image":"","port":"COM3"})",
        R"({"event":"stage","stage":2,"text":"Connecting to Target..."})",
        R"({"bytesSent":0,"code":0,"device":")" + alias +
            R"(","event":"result","identity":"QRV-0001","imageSize":0,"systemError":0,)"
            R"("systemErrorText":"","text":"","transferMs":0,"version":"Ver01.02 build 7"})",
    };
    EXPECT_EQ(parsed.canonical, expected);
}

// The plain log of a whole update: every stage once and in order, however quickly the device
// got through them, and the transfer's final figures before the device writes the image.
TEST_F(CliWithDevice, PlainLogNamesEveryStageInOrderAndTheFinalFigures) {
    // The verdict delay keeps the job in its update stage for a few ticks.
    ASSERT_TRUE(TargetProgram::Takes("--line-rate"));
    TargetProgram device;
    ASSERT_TRUE(StartDevice(&device, {kPacedLine[0], kPacedLine[1], "--verdict-delay", "300"}))
        << DeviceLog();
    Child cli;
    ASSERT_TRUE(StartCli(&cli, {}));
    EXPECT_EQ(cli.Wait(kJobTimeoutMs), 0) << Err();
    EXPECT_EQ(Err(), "");
    const std::string out = Out();
    size_t at = 0;
    for (const char* line :
         {"stage: Checking Image File...\n", "stage: Connecting to Target...\n",
          "stage: Transferring Image File...\n", "size: Transfer Size 20000 / 20000 Bytes\n",
          "stage: Updating Image File...\n", "stage: Update End\n",
          "device: QRV-0001, Ver01.02 build 7\n"}) {
        const size_t found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << out;
        at = found + 1;
    }
    EXPECT_EQ(out.find("stage: Update End\n", at), std::string::npos) << out;
    EXPECT_FALSE(Contains(out, "result: ")) << out;
    EXPECT_TRUE(PrintableLines(out)) << out;
}

TEST_F(CliWithDevice, JsonLogOfAWholeUpdateParsesAndCountsUpToTheImageSize) {
    ASSERT_TRUE(TargetProgram::Takes("--line-rate"));
    TargetProgram device;
    ASSERT_TRUE(StartDevice(&device, kPacedLine)) << DeviceLog();
    Child cli;
    ASSERT_TRUE(StartCli(&cli, {"--json"}));
    EXPECT_EQ(cli.Wait(kJobTimeoutMs), 0) << Err();
    const JsonLines parsed = ParseJsonLines(Out(), dir_.Path());
    ASSERT_TRUE(parsed.ok) << parsed.error << Out();
    ASSERT_GE(parsed.canonical.size(), 3u);
    const std::string alias = dir_.File("config") + "/quorvane/ports/COM3";
    EXPECT_EQ(parsed.canonical.front(), R"({"device":")" + alias +
                                            R"(","event":"start","image":"image.img",)"
                                            R"("port":"COM3"})");
    // Everything a parent process needs for a per-board record, in the one result line.
    const std::regex result(
        R"(\{"bytesSent":20000,"code":0,"device":")" + alias +
        R"(","event":"result","identity":"QRV-0001","imageSize":20000,"systemError":0,)"
        R"("systemErrorText":"","text":"","transferMs":([0-9]+),"version":"Ver01.02 build 7"\})");
    std::smatch transfer;
    ASSERT_TRUE(std::regex_match(parsed.canonical.back(), transfer, result))
        << parsed.canonical.back();
    EXPECT_GT(std::stol(transfer[1]), 0) << parsed.canonical.back();
    std::vector<std::string> stages;
    long lastSent = -1;
    std::string lastProgress;
    for (const std::string& line : parsed.canonical) {
        if (Contains(line, R"("event":"stage")")) stages.push_back(line);
        if (!Contains(line, R"("event":"progress")")) continue;
        const size_t sentAt = line.find(R"("sent":)") + 7;
        const long sent = std::stol(line.substr(sentAt));
        EXPECT_GE(sent, lastSent) << line;
        EXPECT_TRUE(Contains(line, R"("size":20000})")) << line;
        lastSent = sent;
        lastProgress = line;
    }
    EXPECT_EQ(lastSent, long(kImageSize)) << lastProgress;
    const std::vector<std::string> expectedStages = {
        R"({"event":"stage","stage":1,"text":"Checking Image File..."})",
        R"({"event":"stage","stage":2,"text":"Connecting to Target..."})",
        R"({"event":"stage","stage":3,"text":"Transferring Image File..."})",
        R"({"event":"stage","stage":4,"text":"Updating Image File..."})",
        R"({"event":"stage","stage":5,"text":"Update End"})",
    };
    EXPECT_EQ(stages, expectedStages);
}

// `nohup quorvane-cli ... &` and a script's `cmd &` start the program with SIGHUP, or SIGINT and
// SIGQUIT, ignored: a logout or a Ctrl-C meant for the shell must not cancel the update. Signals
// that would have ended the program still become Cancel.
TEST_F(CliWithDevice, SignalsIgnoredAtStartStayIgnoredAndTheOthersCancel) {
    const struct {
        const char* what;
        std::vector<int> ignored;
        std::vector<int> sent;
        int exitCode;
    } cases[] = {
        {"nohup, then logged out", {SIGHUP}, {SIGHUP}, 0},
        {"a script's background job, then Ctrl-C", {SIGINT, SIGQUIT}, {SIGINT, SIGQUIT}, 0},
        {"both, then every one of them", {SIGHUP, SIGINT, SIGQUIT}, {SIGHUP, SIGINT, SIGQUIT}, 0},
        {"nohup, then SIGTERM", {SIGHUP}, {SIGHUP, SIGTERM}, 1},
        {"a background job, then SIGHUP", {SIGINT, SIGQUIT}, {SIGHUP}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TargetProgram device;
        // The verdict delay holds the job in its update stage, where a Cancel would end it.
        ASSERT_TRUE(StartDevice(&device, {"--verdict-delay", "600"})) << DeviceLog();
        Child cli;
        ASSERT_TRUE(StartCli(&cli, {}, c.ignored));
        ASSERT_TRUE(OutReaches("stage: Updating Image File...\n")) << Out();
        for (const int signal : c.sent)
            ASSERT_TRUE(cli.Signal(signal));
        EXPECT_EQ(cli.Wait(kJobTimeoutMs), c.exitCode) << Err();
        if (c.exitCode == 0) {
            EXPECT_EQ(Err(), "");
            EXPECT_EQ(device.Wait(kDeviceEndMs), 0) << DeviceLog();
            EXPECT_TRUE(ReadWholeFile(dir_.File("received.img")) == image_);
        } else {
            EXPECT_EQ(Err(), "quorvane-cli: cancelled\n");
        }
    }
}

std::string Dump(const Screen& screen) {
    return "--- screen ---\n" + screen.Text() + "--------------";
}

// The percentage on a bar line, or -1 when the line is no bar of 40 cells.
int BarPercent(const std::string& line) {
    static const std::regex bar(R"(\[(#*)(\.*)\] +(\d+)%)");
    std::smatch match;
    if (!std::regex_match(line, match, bar)) return -1;
    if (match[1].length() + match[2].length() != 40) return -1;
    return std::stoi(match[3]);
}

const std::regex kTimeLine(R"(Elapse +\d+ sec / Remain +\d+ sec)");

// On a terminal of its own, as a person sees it: the block redrawn in place, the cursor hidden
// while it runs and back afterwards.
constexpr size_t kTerminalImageSize = 16384;

// A transfer at 115200 bit/s takes about 1.5 s for the image: long enough to be seen mid-way.
TEST(CliOnATerminal, DrawsTheLiveBlockInPlaceAndLeavesTheLastFrameAndTheCursor) {
    ASSERT_TRUE(TargetProgram::Takes("--line-rate"));
    const struct {
        const char* what;
        std::vector<std::string> knobs;
        int exitCode;
        std::vector<std::string> finalScreen;  // empty: the successful update's, checked below
    } cases[] = {
        {"a whole update", {"--line-rate", "115200", "--verdict-delay", "300"}, 0, {}},
        {"refused UPDATE",
         {"--refuse-update"},
         6,
         // The window's last frame, the device it reached, then the result text on stderr.
         {"Transferring Image File...", "Image File Transfer Fail", "Transfer Size 0 / 16384 Bytes",
          "[" + std::string(40, '.') + "]   0%", "Elapse  0 sec / Remain  0 sec",
          "device: QRV-0001, Ver01.02 build 7", "Image File Transfer Fail"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        dir.Write("image.img", PatternBytes(kTerminalImageSize, 5));
        TargetProgram device;
        ASSERT_TRUE(device.Link(dir.File("config"), "COM3", dir.File("received.img"), c.knobs,
                                dir.File("device.log")))
            << ReadWholeFile(dir.File("device.log"));
        TerminalChild cli;
        ASSERT_TRUE(cli.Start({QUORVANE_CLI_PATH, "--port", "COM3", "image.img"},
                              {{"XDG_CONFIG_HOME", dir.File("config")}, {"TERM", "xterm"}},
                              dir.Path()));
        if (c.exitCode == 0) {
            const bool midway = cli.ReadUntil(
                [](const Screen& screen) {
                    const auto lines = screen.Lines();
                    if (lines.size() != 5 || lines[0] != "Transferring Image File...") return false;
                    const int percent = BarPercent(lines[2]);
                    return percent >= 10 && percent <= 90;
                },
                kScreenTimeoutMs);
            const Screen& screen = cli.GetScreen();
            ASSERT_TRUE(midway) << Dump(screen);
            const auto lines = screen.Lines();
            std::smatch sent;
            const std::regex sizeLine(R"(Transfer Size (\d+) / 16384 Bytes)");
            ASSERT_TRUE(std::regex_match(lines[1], sent, sizeLine)) << Dump(screen);
            EXPECT_GT(std::stoul(sent[1]), 0u);
            EXPECT_LT(std::stoul(sent[1]), kTerminalImageSize);
            EXPECT_TRUE(std::regex_match(lines[3], kTimeLine)) << Dump(screen);
            EXPECT_EQ(lines[4], "[ Cancel ]  Ctrl-C");
            EXPECT_FALSE(screen.CursorVisible());
        }
        EXPECT_EQ(cli.Wait(kJobTimeoutMs), c.exitCode);
        const Screen& screen = cli.GetScreen();
        EXPECT_TRUE(screen.CursorVisible()) << "the cursor is hidden after the program ended";
        EXPECT_TRUE(screen.Unknown().empty()) << screen.Unknown().front();
        if (!c.finalScreen.empty()) {
            EXPECT_EQ(screen.Lines(), c.finalScreen) << Dump(screen);
            continue;
        }
        // Redrawn in place: only the last frame is on the screen, without the button, since
        // the program has ended, and the device it reached under it.
        const auto lines = screen.Lines();
        ASSERT_EQ(lines.size(), 5u) << Dump(screen);
        EXPECT_EQ(lines[4], "device: QRV-0001, Ver01.02 build 7");
        EXPECT_TRUE(lines[0] == "Updating Image File..." || lines[0] == "Update End") << lines[0];
        EXPECT_EQ(lines[1], "Transfer Size 16384 / 16384 Bytes");
        EXPECT_EQ(lines[2], "[" + std::string(40, '#') + "] 100%");
        EXPECT_TRUE(std::regex_match(lines[3], kTimeLine)) << lines[3];
        EXPECT_TRUE(lines[3].ends_with("Remain  0 sec")) << lines[3];
        // It was drawn many times over, not once at the end.
        EXPECT_GT(cli.Transcript().find_last_of('%'), cli.Transcript().find('%'));
    }
}

}  // namespace
