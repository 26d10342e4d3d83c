// quorvane-cli as a person runs it: the built program, real files, real pseudo-terminals.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "child_process.h"
#include "pty.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRunTimeoutMs = 10000;
constexpr int kExitUsage = 64;

// Every path below `root`, so a test can tell that a run created or removed nothing.
std::set<std::string> Listing(const std::string& root) {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        paths.insert(entry.path().string());
    }
    return paths;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A working directory with an image in it, a private config folder whose COM1 alias leads to a
// real pseudo-terminal, and files that catch the program's output.
class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(work_.Path().empty());
        ASSERT_FALSE(config_.Path().empty());
        ASSERT_FALSE(output_.Path().empty());
        ASSERT_TRUE(device_.Ok());
        image_ = work_.Write("image.img", PatternBytes(4000, 7));
        fs::create_directories(config_.Path() + "/quorvane/ports");
        fs::create_symlink(device_.SlavePath(), config_.Path() + "/quorvane/ports/COM1");
    }

    struct Run {
        int exitCode;
        std::string out;
        std::string err;
    };

    // Starts the program in the working directory with the private config folder.
    bool Start(Child* child, const std::vector<std::string>& args) const {
        ChildSpec spec;
        spec.argv.push_back(QUORVANE_CLI_PATH);
        spec.argv.insert(spec.argv.end(), args.begin(), args.end());
        spec.env = {{"XDG_CONFIG_HOME", config_.Path()}};
        spec.cwd = work_.Path();
        spec.stdoutPath = output_.File("stdout");
        spec.stderrPath = output_.File("stderr");
        return child->Start(spec);
    }

    Run RunCli(const std::vector<std::string>& args) const {
        Child child;
        if (!Start(&child, args)) return {-2, "", ""};
        const int code = child.Wait(kRunTimeoutMs);
        return {code, ReadWholeFile(output_.File("stdout")), ReadWholeFile(output_.File("stderr"))};
    }

    TempDir work_;
    TempDir config_;
    TempDir output_;
    PtyPeer device_;
    std::string image_;
};

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
        {"COM13", {"--port", "COM13", "image.img"}},
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

TEST_F(CliTest, HelpGoesToStdoutAndSucceeds) {
    for (const char* flag : {"--help", "-h"}) {
        SCOPED_TRACE(flag);
        const Run run = RunCli({flag});
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_TRUE(Contains(run.out, "usage: quorvane-cli")) << run.out;
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(device_.ReadFor(0), "");
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
    const char* kImageStages = "Checking Image File...\n";
    const char* kPortStages = "Checking Image File...\nConnecting to Target...\n";
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
         "/nonexistent/ttyQ0 does not exist",
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
        EXPECT_EQ(run.out, c.out);
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
    EXPECT_TRUE(Contains(ReadWholeFile(output_.File("stdout")), "Connecting to Target..."));
}

}  // namespace
