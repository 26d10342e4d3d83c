// quorvane-cli on a terminal of its own with Ctrl-C typed into that terminal, against a device
// that stops listening mid-transfer.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli/terminal_child.h"
#include "tests/support/pty.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kScreenTimeoutMs = 20000;
constexpr uint32_t kJobTimeoutMs = 60000;

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string Dump(const Screen& screen) {
    return "--- screen ---\n" + screen.Text() + "--------------";
}

// A device that wakes, identifies itself and takes UPDATE, then stops taking anything in: the
// line's output is held (as a device would by flow control), so the job's first block hangs in
// its write, and a Cancel is seen only once that write gives up and the CANs have gone out.
class StalledDevice : public PtyPeer {
  public:
    ~StalledDevice() {
        if (SlaveFd() >= 0) tcflow(SlaveFd(), TCOON);
    }

    // Answers the console up to the transfer; false when the host did not ask as expected.
    bool ServeUntilTheTransfer(uint32_t timeoutMs) {
        const struct {
            const char* awaited;
            const char* reply;
        } dialogue[] = {
            {"\x1b", "\r\n>"},
            {"IDENT\r\n", "IDENT\r\nQRV-0001\r\n>"},
            {"VER\r\n", "VER\r\nVer01.02 build 7\r\n>"},
            {"UPDATE 2000\r\n", "UPDATE 2000\r\nReady for XMODEM\r\n"},
        };
        for (const auto& step : dialogue) {
            if (!ReadUntil(step.awaited, timeoutMs).ends_with(step.awaited)) return false;
            if (!Write(step.reply)) return false;
        }
        // From here on nothing the host writes gets through.
        if (tcflow(SlaveFd(), TCOOFF) != 0) return false;
        return Write("C");
    }
};

// Ctrl-C once asks the job to stop; pressed again while the job still waits for the device, it
// says so; a third press quits at once with 130. Either way the terminal is left as it was.
TEST(CliOnATerminal, RepeatedCtrlCSaysWhatTheJobWaitsForAndAThirdQuits) {
    const struct {
        int presses;
        int exitCode;
        const char* lastWords;
    } cases[] = {
        {2, 1, "quorvane-cli: cancelled"},
        {3, 130, "quorvane-cli: quit before the job ended"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.presses);
        TempDir dir;
        dir.Write("image.img", PatternBytes(8192, 9));
        StalledDevice device;
        ASSERT_TRUE(device.Ok());
        fs::create_directories(dir.File("config/quorvane/ports"));
        fs::create_symlink(device.SlavePath(), dir.File("config/quorvane/ports/COM1"));
        fs::create_directories(dir.File("locks"));
        TerminalChild cli;
        ASSERT_TRUE(cli.Start({QUORVANE_CLI_PATH, "image.img"},
                              {{"XDG_CONFIG_HOME", dir.File("config")},
                               {"QUORVANE_LOCK_DIR", dir.File("locks")},
                               {"TERM", "xterm"}},
                              dir.Path()));
        ASSERT_TRUE(device.ServeUntilTheTransfer(kScreenTimeoutMs)) << Dump(cli.GetScreen());
        // The first block is built (and counted), and its write hangs.
        const auto showing = [](const std::string& text) {
            return [text](const Screen& screen) { return Contains(screen.Text(), text); };
        };
        ASSERT_TRUE(cli.ReadUntil(showing("Transfer Size 1024 / 8192 Bytes"), kScreenTimeoutMs))
            << Dump(cli.GetScreen());
        EXPECT_FALSE(fs::is_empty(dir.File("locks")))
            << "the job holds the port without a lock file";
        ASSERT_TRUE(cli.Type("\x03"));
        ASSERT_TRUE(cli.ReadUntil(showing("[ Cancel ]  Cancelling..."), kScreenTimeoutMs))
            << Dump(cli.GetScreen());
        ASSERT_TRUE(cli.Type("\x03"));
        ASSERT_TRUE(cli.ReadUntil(
            showing("[ Cancel ]  Cancelling: waiting for the device (Ctrl-C again quits without "
                    "waiting)"),
            kScreenTimeoutMs))
            << Dump(cli.GetScreen());
        if (c.presses == 3) {
            ASSERT_TRUE(cli.Type("\x03"));
        }
        EXPECT_EQ(cli.Wait(kJobTimeoutMs), c.exitCode) << Dump(cli.GetScreen());
        const Screen& screen = cli.GetScreen();
        EXPECT_TRUE(screen.CursorVisible());
        EXPECT_TRUE(Contains(screen.Text(), c.lastWords)) << Dump(screen);
        // The last frame stays, without the button; the block was not drawn twice.
        EXPECT_EQ(screen.Lines().front(), "Transferring Image File...") << Dump(screen);
        EXPECT_FALSE(Contains(screen.Text(), "[ Cancel ]")) << Dump(screen);
        // The port and the image are free for the next program, also after quitting at once:
        // no lock, no exclusive flag left on the terminal (whose other end stays open), no lock
        // file.
        for (const std::string& path : {device.SlavePath(), dir.File("image.img")}) {
            const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(fd, 0) << path;
            EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << path << " is still locked";
            int exclusive = 0;
            if (path == device.SlavePath()) {
                ASSERT_EQ(ioctl(fd, TIOCGEXCL, &exclusive), 0);
            }
            EXPECT_EQ(exclusive, 0) << path << " still carries the exclusive flag";
            close(fd);
        }
        EXPECT_TRUE(fs::is_empty(dir.File("locks"))) << "a lock file was left behind";
    }
}

}  // namespace
