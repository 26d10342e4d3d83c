// quorvane-cli as a person runs it: the built program, real files, real pseudo-terminals.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/cli/cli_fixture.h"
#include "tests/cli/json_lines.h"
#include "tests/support/child.h"
#include "tests/support/pty.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace cli_testing;
namespace fs = std::filesystem;

TEST_F(CliTest, BadUsageExitsWithoutTouchingPortOrFiles) {
    const struct {
        const char* what;
        std::vector<std::string> args;
    } cases[] = {
        {"unknown long option", {"--bogus", "image.img"}},
        {"unknown short option", {"-x", "image.img"}},
        {"identity of 7 characters", {"--expect-identity", "NEC6111", "image.img"}},
        {"identity of 9 characters", {"--expect-identity", "NEC611100", "image.img"}},
        {"empty identity", {"--expect-identity=", "image.img"}},
        {"COM0", {"--port", "COM0", "image.img"}},
        {"COM256", {"--port", "COM256", "image.img"}},
        {"junk after the number", {"--port", "COM1x", "image.img"}},
        {"leading zero", {"--port", "COM01", "image.img"}},
        {"lower case", {"--port", "com1", "image.img"}},
        {"no number", {"--port", "COM", "image.img"}},
        {"empty port", {"--port=", "image.img"}},
        {"port without value", {"image.img", "--port"}},
        {"identity without value", {"image.img", "--expect-identity"}},
        {"no arguments", {}},
        {"options but no image", {"--port", "COM1"}},
        {"two images", {"image.img", "image.img"}},
        {"empty image path", {""}},
        {"port list with an image", {"--list-ports", "image.img"}},
        {"port list with a port", {"--list-ports", "--port", "COM1"}},
        {"port list with an identity", {"--list-ports", "--expect-identity", "NEC61110"}},
        {"JSON but no image", {"--json"}},
        {"map without a device", {"--map", "COM3"}},
        {"map with an empty device", {"--map", "COM3="}},
        {"map without a name", {"--map", "=/dev/ttyUSB0"}},
        {"map of COM256", {"--map", "COM256=/dev/ttyUSB0"}},
        {"map of a lower-case name", {"--map=com3=/dev/ttyUSB0"}},
        {"map without value", {"--map"}},
        {"unmap of COM0", {"--unmap", "COM0"}},
        {"unmap of a device path", {"--unmap", "/dev/ttyUSB0"}},
        {"two maps", {"--map", "COM3=/dev/null", "--map", "COM4=/dev/null"}},
        {"map and unmap", {"--map", "COM3=/dev/null", "--unmap", "COM1"}},
        {"map with the port list", {"--map", "COM3=/dev/null", "--list-ports"}},
        {"map with an image", {"--map", "COM3=/dev/null", "image.img"}},
        {"map with a port", {"--port", "COM1", "--unmap", "COM1"}},
        {"map with JSON", {"--json", "--unmap", "COM1"}},
        {"check with an image", {"--check", "image.img"}},
        {"check with the port list", {"--check", "--list-ports"}},
        {"check with a map", {"--check", "--unmap", "COM1"}},
    };
    const std::set<std::string> workBefore = Listing(work_.Path());
    const std::set<std::string> configBefore = Listing(config_.Path());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Run run = RunCli(c.args);
        EXPECT_EQ(run.exitCode, kExitUsage);
        EXPECT_TRUE(Contains(run.err, "usage: quorvane-cli")) << run.err;
        EXPECT_EQ(run.out, "");
        // The program has ended, so anything it wrote to COM1 is already waiting here.
        EXPECT_EQ(device_.ReadFor(0), "");
        EXPECT_EQ(Listing(work_.Path()), workBefore);
        EXPECT_EQ(Listing(config_.Path()), configBefore);
    }
    EXPECT_EQ(ReadWholeFile(image_), PatternBytes(4000, 7));
}

// A bad argument is echoed so a person sees what was refused, but an escape sequence in it must
// not reach their terminal: control characters show as '?'.
TEST_F(CliTest, UsageErrorsShowControlCharactersAsQuestionMarks) {
    const std::string esc = "\x1b]0;owned\x07\x1b[2J";
    const std::string shown = "?]0;owned??[2J";
    const struct {
        const char* what;
        std::vector<std::string> args;
    } cases[] = {
        {"unknown option", {"--" + esc, "image.img"}},
        {"port", {"--port", "COM1" + esc, "image.img"}},
        {"identity", {"--expect-identity", esc, "image.img"}},
        {"map", {"--map", "COM3" + esc}},
        {"unmap", {"--unmap", esc}},
        {"second image", {"image.img", esc}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Run run = RunCli(c.args);
        EXPECT_EQ(run.exitCode, kExitUsage);
        EXPECT_TRUE(Contains(run.err, shown)) << run.err;
        const bool clean = std::all_of(run.err.begin(), run.err.end(), [](char ch) {
            return ch == '\n' || (static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7F);
        });
        EXPECT_TRUE(clean) << "a control character reached the terminal: " << run.err;
    }
}

TEST_F(CliTest, HelpAndVersionGoToStdoutAndSucceed) {
    const struct {
        std::vector<std::string> args;
        const char* out;
    } cases[] = {
        {{"--help"}, "usage: quorvane-cli"},
        {{"-h"}, "usage: quorvane-cli"},
        // Asking wins over running: nothing is opened.
        {{"image.img", "--help"}, "usage: quorvane-cli"},
        {{"--version"}, "quorvane-cli " QUORVANE_VERSION "\n"},
        {{"image.img", "--version"}, "quorvane-cli " QUORVANE_VERSION "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front());
        const Run run = RunCli(c.args);
        EXPECT_EQ(run.exitCode, 0);
        if (std::string(c.out).ends_with("\n")) {
            EXPECT_EQ(run.out, c.out);
        } else {
            EXPECT_TRUE(Contains(run.out, c.out)) << run.out;
        }
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(device_.ReadFor(0), "");
    }
    // The help names every option it takes.
    const Run help = RunCli({"--help"});
    for (const char* option : {"--port", "--expect-identity", "--json", "--list-ports", "--map",
                               "--unmap", "--version", "--help", "Ctrl-C", "dialout"}) {
        EXPECT_TRUE(Contains(help.out, option)) << option;
    }
    // ...and every exit status the program can end with, so a script can tell them apart.
    for (const int code : {0, 1, 2, 3, 4, 5, 6, 7, 64, 66, 70, 71, 73, 130}) {
        const std::regex listed("(^|\\s)" + std::to_string(code) + "\\s[A-Za-z(]");
        EXPECT_TRUE(std::regex_search(help.out, listed)) << code << " is not in the help";
    }
}

// Jobs that end before any device answers: the exit code is the job's result and stderr says
// both the result text and what the person can do about it.
TEST_F(CliTest, FailedJobsReportResultAndRemedy) {
    work_.Write("short.img", "abc");
    work_.Write("not-a-tty", "plain file");
    fs::create_directory(work_.File("folder.img"));
    fs::create_symlink("/nonexistent/ttyUSB9", config_.Path() + "/quorvane/ports/COM2");

    // The stage lines stop at the phase that failed.
    const char* kImageStages = "stage: Checking Image File...\n";
    const char* kPortStages = "stage: Checking Image File...\nstage: Connecting to Target...\n";
    const struct {
        const char* what;
        std::vector<std::string> args;
        int exitCode;
        const char* resultText;
        const char* remedy;
        const char* out;
    } cases[] = {
        {"missing image",
         {"missing.img"},
         4,
         "Image File Is Invalid",
         "missing.img does not exist",
         kImageStages},
        {"image is a directory",
         {"folder.img"},
         4,
         "Image File Is Invalid",
         "is a directory",
         kImageStages},
        {"image shorter than its header",
         {"short.img"},
         2,
         "Image File I/O Error",
         "first 8 bytes of short.img",
         kImageStages},
        {"identity differs",
         {"--expect-identity", "NEC61110", "image.img"},
         4,
         "Image File Is Invalid",
         "does not begin with the identity \"NEC61110\"",
         kImageStages},
        {"device path that does not exist",
         {"--port", "/nonexistent/ttyQ0", "image.img"},
         3,
         "Serial Port I/O Error",
         "/nonexistent/ttyQ0 does not exist; is the adapter plugged in?\n"
         "  quorvane-cli --list-ports shows the serial devices present\n",
         kPortStages},
        {"port that is a plain file",
         {"--port", "./not-a-tty", "image.img"},
         3,
         "Serial Port I/O Error",
         "./not-a-tty is not a serial port",
         kPortStages},
        {"alias to a gone device",
         {"--port", "COM2", "image.img"},
         3,
         "Serial Port I/O Error",
         "to /nonexistent/ttyUSB9, which does not exist",
         kPortStages},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Run run = RunCli(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_TRUE(Contains(run.err, std::string(c.resultText) + "\n")) << run.err;
        EXPECT_TRUE(Contains(run.err, c.remedy)) << run.err;
        EXPECT_EQ(run.out, std::string(c.out) + "result: " + c.resultText + "\n");
    }
}

// Names come from the person and from their links and may hold any byte; on a terminal an escape
// sequence in a hint would do more than show, so control characters are shown as '?'.
TEST_F(CliTest, HintsShowControlCharactersInNamesAsQuestionMarks) {
    const std::string esc = "\x1b]0;owned\x07\x1b[2J";
    const std::string shown = "?]0;owned??[2J";
    work_.Write("plain" + esc, "not a device");
    fs::create_symlink("/nonexistent/" + esc + "ttyUSB9", config_.Path() + "/quorvane/ports/COM2");
    const struct {
        const char* what;
        std::vector<std::string> args;
        std::string hint;
    } cases[] = {
        {"missing image", {esc + ".img"}, shown + ".img does not exist."},
        {"image that is a folder", {"."}, ". is a directory"},
        {"missing device",
         {"--port", "/nonexistent/" + esc, "image.img"},
         "/nonexistent/" + shown + " does not exist;"},
        {"device that is no terminal",
         {"--port", "./plain" + esc, "image.img"},
         "./plain" + shown + " is not a serial port."},
        {"alias to a missing device",
         {"--port", "COM2", "image.img"},
         "to /nonexistent/" + shown + "ttyUSB9, which does not exist"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Run run = RunCli(c.args);
        EXPECT_NE(run.exitCode, 0);
        EXPECT_TRUE(Contains(run.err, c.hint)) << run.err;
        const bool clean = std::all_of(run.err.begin(), run.err.end(), [](char ch) {
            return ch == '\n' || (static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7F);
        });
        EXPECT_TRUE(clean) << "a control character reached the terminal: " << run.err;
    }
}

TEST_F(CliTest, PortHeldByAnotherProgramIsNamedAsSuch) {
    // A second program holding the port: its lock is what the job runs into.
    const int holder = open(device_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const Run run = RunCli({"--port", device_.SlavePath(), "image.img"});
    close(holder);
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_TRUE(Contains(run.err, "Serial Port I/O Error\n")) << run.err;
    EXPECT_TRUE(Contains(run.err, "held by another program")) << run.err;
    EXPECT_EQ(device_.ReadFor(0), "");
}

using States = std::pair<std::string, std::string>;

// What --list-ports says of COM1 (the fixture's pty) and of the same pty found as ttyUSB0.
States ListedStates(const std::string& json, const std::string& dir) {
    const JsonLines parsed = ParseJsonLines(json, dir);
    States states;
    for (const std::string& line : parsed.canonical) {
        const size_t at = line.find(R"("state":")");
        if (at == std::string::npos) continue;
        const std::string state = line.substr(at + 9, line.find('"', at + 9) - at - 9);
        if (Contains(line, R"("name":"COM1")")) states.first = state;
        if (Contains(line, R"(/ttyUSB0")")) states.second = state;
    }
    return states;
}

// Another program's exclusive flag holds the port against root as well (whom the flag alone does
// not stop): the job and --list-ports are refused, send nothing, and leave the flag as it was.
TEST_F(CliTest, PortWithAnotherProgramsExclusiveFlagIsHeldForRootToo) {
    fs::create_symlink(device_.SlavePath(), devices_.File("ttyUSB0"));
    const int holder = open(device_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);

    const Run run = RunCli({"--port", device_.SlavePath(), "image.img"});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_TRUE(Contains(run.err, "is held by another program; close that program")) << run.err;
    const Run list = RunCli({"--list-ports", "--json"});
    EXPECT_EQ(ListedStates(list.out, output_.Path()), States("busy", "busy")) << list.out;
    EXPECT_EQ(device_.ReadFor(0), "");
    int flag = 0;
    ASSERT_EQ(ioctl(holder, TIOCGEXCL, &flag), 0);
    EXPECT_EQ(flag, 1) << "the other program's exclusive flag was cleared";

    // Once the other program lets go, the port is there for an update.
    ASSERT_EQ(ioctl(holder, TIOCNXCL), 0);
    close(holder);
    const Run free = RunCli({"--list-ports", "--json"});
    EXPECT_EQ(ListedStates(free.out, output_.Path()), States("usable", "usable")) << free.out;
}

// A terminal program's UUCP lock file holds the port while the process it names lives; once that
// process is gone the file is stale, and the job takes the port with a lock file of its own, which
// it removes when it ends.
TEST_F(CliTest, LockFileOfALiveProgramHoldsThePortAndAStaleOneDoesNot) {
    fs::create_symlink(device_.SlavePath(), devices_.File("ttyUSB0"));
    std::string name = fs::canonical(device_.SlavePath()).string().substr(5);  // "pts/N"
    std::replace(name.begin(), name.end(), '/', '_');
    const std::string lockFile = locks_.File("LCK.." + name);
    const auto hdb = [](long pid) {
        char text[16];
        std::snprintf(text, sizeof text, "%10ld\n", pid);
        return std::string(text);
    };
    Child other;  // stands for minicom: alive until its input closes
    Launch cat;
    cat.argv = {"cat"};
    cat.in = Stdio::Pipe();
    ASSERT_TRUE(other.Start(cat));
    locks_.Write("LCK.." + name, hdb(other.Pid()));

    const Run run = RunCli({"--port", device_.SlavePath(), "image.img"});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_TRUE(Contains(run.err, "is held by another program (process " +
                                      std::to_string(other.Pid()) + ", lock file " + lockFile +
                                      "); close that program"))
        << run.err;
    const Run list = RunCli({"--list-ports", "--json"});
    EXPECT_EQ(ListedStates(list.out, output_.Path()), States("busy", "busy")) << list.out;
    EXPECT_EQ(device_.ReadFor(0), "");
    EXPECT_EQ(ReadWholeFile(lockFile), hdb(other.Pid()));

    other.CloseIn();
    ASSERT_EQ(other.Wait(kRunTimeoutMs), 0);  // reaped: its PID names no process now
    Child child;
    ASSERT_TRUE(Start(&child, {"--port", "COM1", "image.img"}));
    ASSERT_TRUE(Contains(device_.ReadUntil("\x1b", kRunTimeoutMs), "\x1b"));
    EXPECT_EQ(ReadWholeFile(lockFile), hdb(child.Pid()));
    ASSERT_TRUE(child.Signal(SIGINT));
    EXPECT_EQ(child.Wait(kRunTimeoutMs), 1);
    EXPECT_TRUE(fs::is_empty(locks_.Path())) << "left in the lock folder";
}

TEST_F(CliTest, InterruptCancelsAJobThatWaitsForTheDevice) {
    Child child;
    ASSERT_TRUE(Start(&child, {"image.img"}));  // COM1, the silent pseudo-terminal
    // The first ESC shows the job is in its wake-up loop, where a cancel is looked at.
    const std::string seen = device_.ReadUntil("\x1b", kRunTimeoutMs);
    ASSERT_TRUE(Contains(seen, "\x1b"));
    ASSERT_TRUE(child.Signal(SIGINT));
    EXPECT_EQ(child.Wait(kRunTimeoutMs), 1);
    const std::string err = ReadWholeFile(output_.File("stderr"));
    EXPECT_TRUE(Contains(err, "cancelled")) << err;
    EXPECT_TRUE(
        Contains(ReadWholeFile(output_.File("stdout")), "stage: Connecting to Target...\n"));
}

// A script reads the same failures as JSON: the stages it passed and the result with its remedy.
TEST_F(CliTest, JsonLogOfAFailedJobParses) {
    work_.Write("not-a-tty", "plain file");
    const Run run = RunCli({"--json", "--port", "./not-a-tty", "image.img"});
    EXPECT_EQ(run.exitCode, 3);
    EXPECT_TRUE(Contains(run.err, "Serial Port I/O Error\n")) << run.err;
    const JsonLines parsed = ParseJsonLines(run.out, output_.Path());
    ASSERT_TRUE(parsed.ok) << parsed.error << run.out;
    const std::vector<std::string> expected = {
        R"({"device":"./not-a-tty","event":"start","image":"image.img","port":"./not-a-tty"})",
        R"({"event":"stage","stage":1,"text":"Checking Image File..."})",
        R"({"event":"stage","stage":2,"text":"Connecting to Target..."})",
        R"({"bytesSent":0,"code":3,"detail":"quorvane-cli: ./not-a-tty is not a serial port.",)"
        R"("device":"./not-a-tty","event":"result","identity":"","imageSize":4000,)"
        R"("systemError":25,"systemErrorText":"Inappropriate ioctl for device",)"
        R"("text":"Serial Port I/O Error","transferMs":0,"version":""})",
    };
    EXPECT_EQ(parsed.canonical, expected);
}

// Every COMn with what it opens and whether an update could use it; the link targets are the
// user's own and may hold any byte.
TEST_F(CliTest, ListPortsSaysWhatEachNameOpensAndWhetherItCanBeUsed) {
    const std::string ports = config_.Path() + "/quorvane/ports/";
    work_.Write("not-a-tty", "plain file");
    fs::create_symlink("/nonexistent/ttyUSB9", ports + "COM2");
    fs::create_symlink(work_.File("not-a-tty"), ports + "COM3");
    PtyPeer held;
    ASSERT_TRUE(held.Ok());
    fs::create_symlink(held.SlavePath(), ports + "COM4");
    const int holder = open(held.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const std::string oddTarget = "/nonexistent/\"q\"\n\xff";
    fs::create_symlink(oddTarget, ports + "COM5");
    // Root opens anything, so a port it may not open can only be shown to another user.
    PtyPeer forbidden;
    const bool asRoot = geteuid() == 0;
    if (!asRoot) {
        ASSERT_TRUE(forbidden.Ok());
        ASSERT_EQ(chmod(forbidden.SlavePath().c_str(), 0), 0);
        fs::create_symlink(forbidden.SlavePath(), ports + "COM6");
    }
    const std::set<std::string> before = Listing(config_.Path());

    const Run plain = RunCli({"--list-ports"});
    const Run json = RunCli({"--list-ports", "--json"});
    close(holder);
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(json.exitCode, 0);
    EXPECT_EQ(json.err, "");
    // Looking opened and closed the ports, and wrote nothing to them.
    EXPECT_EQ(device_.ReadFor(0), "");
    EXPECT_EQ(held.ReadFor(0), "");
    EXPECT_EQ(Listing(config_.Path()), before);

    struct Row {
        const char* name;
        std::string opens;
        const char* state;
    };
    std::vector<Row> rows = {
        {"COM1", ports + "COM1 -> " + device_.SlavePath(), "usable"},
        {"COM2", ports + "COM2 -> /nonexistent/ttyUSB9", "does not exist"},
        {"COM3", ports + "COM3 -> " + work_.File("not-a-tty"), "not a terminal"},
        {"COM4", ports + "COM4 -> " + held.SlavePath(), "held by another program"},
        // A control character in a link target is not sent to the terminal.
        {"COM5", ports + "COM5 -> /nonexistent/\"q\"?\xff", "does not exist"},
    };
    if (!asRoot) {
        rows.push_back({"COM6", ports + "COM6 -> " + forbidden.SlavePath(),
                        "permission denied (dialout group)"});
    }
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = plain.out.find('\n', start)) != std::string::npos;
         start = end + 1) {
        lines.push_back(plain.out.substr(start, end - start));
    }
    ASSERT_EQ(lines.size(), 15u) << plain.out;
    EXPECT_TRUE(lines[0].starts_with("port   resolves to")) << lines[0];
    for (size_t i = 0; i < 12; ++i) {
        EXPECT_TRUE(lines[i + 1].starts_with(std::string("COM") + std::to_string(i + 1) + " "))
            << lines[i + 1];
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string& line = lines[std::stoul(row.name + 3)];
        EXPECT_TRUE(Contains(line, " " + row.opens + " ")) << line;
        EXPECT_TRUE(line.ends_with("  " + std::string(row.state))) << line;
    }
    // The columns line up: every state starts in the same column.
    const size_t stateColumn = lines[0].find("state");
    EXPECT_EQ(lines[1].find("usable"), stateColumn) << lines[1];
    EXPECT_EQ(lines[2].find("does not exist"), stateColumn) << lines[2];
    // Below the names, the devices present: here an empty folder stands in for /dev.
    EXPECT_EQ(lines[13], "");
    EXPECT_TRUE(lines[14].starts_with("No serial devices found in " + devices_.Path() + "."))
        << lines[14];

    const JsonLines parsed = ParseJsonLines(json.out, output_.Path());
    ASSERT_TRUE(parsed.ok) << parsed.error << json.out;
    ASSERT_EQ(parsed.canonical.size(), 13u);
    EXPECT_EQ(parsed.canonical[12], R"({"event":"devices","folder":")" + devices_.Path() +
                                        R"(","found":0,"unchecked":0})");
    EXPECT_EQ(parsed.canonical[0], R"({"alias":true,"device":")" + ports +
                                       R"(COM1","event":"port",)" +
                                       R"("name":"COM1","state":"usable","target":")" +
                                       device_.SlavePath() + R"(","text":"usable"})");
    EXPECT_EQ(parsed.canonical[3], R"({"alias":true,"device":")" + ports +
                                       R"(COM4","event":"port",)" +
                                       R"("name":"COM4","state":"busy","target":")" +
                                       held.SlavePath() + R"(","text":"held by another program"})");
    // The broken byte arrives as U+FFFD, everything else as it was.
    EXPECT_EQ(parsed.canonical[4],
              R"({"alias":true,"device":")" + ports + R"(COM5","event":"port",)" +
                  R"("name":"COM5","state":"missing",)" +
                  R"("target":"/nonexistent/\"q\"\n\ufffd",)" + R"("text":"does not exist"})");
    if (!asRoot) {
        EXPECT_TRUE(Contains(parsed.canonical[5], R"("state":"permission-denied")"))
            << parsed.canonical[5];
    }
}

}  // namespace
