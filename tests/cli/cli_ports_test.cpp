// Naming serial devices: --map and --unmap on the user's links, and the devices --list-ports
// finds, with real pseudo-terminals standing in for adapters and a folder standing in for /dev.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "tests/cli/cli_fixture.h"
#include "tests/cli/json_lines.h"
#include "tests/support/child.h"
#include "tests/support/pty.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace cli_testing;
namespace fs = std::filesystem;

constexpr int kExitDeviceRefused = 66;
constexpr int kExitAliasFailed = 73;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

class PortMapTest : public CliTest {
  protected:
    std::string Ports() const { return config_.Path() + "/quorvane/ports"; }
    std::string Alias(const std::string& name) const { return Ports() + "/" + name; }
    // Where the link leads, or "" when there is no link.
    std::string LinkOf(const std::string& name) const {
        std::error_code error;
        const fs::path target = fs::read_symlink(Alias(name), error);
        return error ? "" : target.string();
    }
};

TEST_F(PortMapTest, MapMakesANameOpenATerminalUntilUnmapped) {
    fs::remove_all(config_.Path() + "/quorvane");  // a first run: no folder of ours yet
    PtyPeer adapter;
    PtyPeer other;
    ASSERT_TRUE(adapter.Ok() && other.Ok());

    Run run = RunCli({"--map", "COM3=" + adapter.SlavePath()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "COM3 -> " + adapter.SlavePath() + "  (link " + Alias("COM3") + ")\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(LinkOf("COM3"), adapter.SlavePath());
    EXPECT_EQ(adapter.ReadFor(0), "");  // looking at the device sent it nothing

    // An update by name now reaches that terminal: its first ESC arrives there.
    {
        Child child;
        ASSERT_TRUE(Start(&child, {"--port", "COM3", "image.img"}));
        EXPECT_TRUE(Contains(adapter.ReadUntil("\x1b", kRunTimeoutMs), "\x1b"));
        ASSERT_TRUE(child.Signal(SIGINT));
        EXPECT_EQ(child.Wait(kRunTimeoutMs), 1);
        adapter.ReadFor(0);  // the job's ESCs; it has ended, so all of them are here
    }
    run = RunCli({"--list-ports"});
    ASSERT_GE(Lines(run.out).size(), 4u) << run.out;
    const std::string com3 = Lines(run.out)[3];
    EXPECT_TRUE(com3.starts_with("COM3   " + Alias("COM3") + " -> " + adapter.SlavePath())) << com3;
    EXPECT_TRUE(com3.ends_with("  usable")) << com3;

    // Mapping again replaces the link and says where it led; nothing else is left behind.
    run = RunCli({"--map=COM3=" + other.SlavePath()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "COM3 -> " + other.SlavePath() + "  (link " + Alias("COM3") + ")\n" +
                           "it led to " + adapter.SlavePath() + " before\n");
    EXPECT_EQ(LinkOf("COM3"), other.SlavePath());
    EXPECT_EQ(Listing(Ports()), std::set<std::string>{Alias("COM3")});

    run = RunCli({"--unmap", "COM3"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "COM3 no longer leads to " + other.SlavePath() + "; it opens /dev/ttyS2\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(Alias("COM3"))));
    // Unmapping what is not mapped is no error, and says what the name opens.
    run = RunCli({"--unmap=COM3"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "COM3 has no link; it opens /dev/ttyS2\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(adapter.ReadFor(0), "");
    EXPECT_EQ(other.ReadFor(0), "");
}

// A person may name any port Windows could number, COM1 to COM255, beyond the twelve the window
// and the port list offer: mapped, used for an update and unmapped alike.
TEST_F(PortMapTest, NamesBeyondTheTwelveListedWorkToo) {
    PtyPeer adapter;
    ASSERT_TRUE(adapter.Ok());
    for (const std::string name : {"COM15", "COM255"}) {
        SCOPED_TRACE(name);
        Run run = RunCli({"--map", name + "=" + adapter.SlavePath()});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(LinkOf(name), adapter.SlavePath());

        Child child;
        ASSERT_TRUE(Start(&child, {"--json", "--port", name, "image.img"}));
        EXPECT_TRUE(Contains(adapter.ReadUntil("\x1b", kRunTimeoutMs), "\x1b"));
        ASSERT_TRUE(child.Signal(SIGINT));
        EXPECT_EQ(child.Wait(kRunTimeoutMs), 1);
        adapter.ReadFor(0);
        const JsonLines parsed =
            ParseJsonLines(ReadWholeFile(output_.File("stdout")), output_.Path());
        ASSERT_TRUE(parsed.ok) << parsed.error;
        ASSERT_FALSE(parsed.canonical.empty());
        EXPECT_EQ(parsed.canonical.front(), R"({"device":")" + Alias(name) +
                                                R"(","event":"start","image":"image.img",)" +
                                                R"("port":")" + name + R"("})");

        run = RunCli({"--unmap", name});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(run.out, name + " no longer leads to " + adapter.SlavePath() +
                               "; it opens /dev/ttyS" +
                               std::to_string(std::stoi(name.substr(3)) - 1) + "\n");
    }
}

// A link's target is read from the link's own folder, so a relative DEVICE is made absolute from
// where the command was given; a by-id style link is kept as the name given, not resolved.
TEST_F(PortMapTest, DevicePathsAreStoredAbsoluteAndUnresolved) {
    fs::create_symlink(device_.SlavePath(), work_.File("adapter"));
    const struct {
        const char* given;
        std::string stored;
    } cases[] = {
        {"adapter", work_.File("adapter")},
        {"./adapter", work_.File("adapter")},
        {"./././adapter", work_.File("adapter")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.given);
        const Run run = RunCli({"--map", std::string("COM7=") + c.given});
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_EQ(LinkOf("COM7"), c.stored);
    }
    // Holding a terminal does not make it less of one: the link is made, with a note.
    const int holder = open(device_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
    const Run held = RunCli({"--map", "COM8=" + work_.File("adapter")});
    close(holder);
    EXPECT_EQ(held.exitCode, 0) << held.err;
    EXPECT_EQ(LinkOf("COM8"), work_.File("adapter"));
    // Root opens a terminal held this way, and is told it is held all the same.
    EXPECT_TRUE(Contains(held.err, "held by another program")) << held.err;
}

TEST_F(PortMapTest, DeviceThatIsNoTerminalIsRefusedAndNothingChanges) {
    work_.Write("plain", "not a device");
    fs::create_directory(work_.File("folder"));
    ASSERT_EQ(mkfifo(work_.File("fifo").c_str(), 0600), 0);  // opening it must not hang
    fs::create_symlink("/nonexistent/ttyUSB9", work_.File("dangling"));
    const std::string notTerminal = "it is not a terminal. A serial port is a device such as";
    const std::string missing = "it does not exist; is the adapter plugged in?";
    struct Case {
        std::string what;
        std::string device;  // as given
        std::string shown;   // as the message names it
        std::string why;
    };
    std::vector<Case> cases = {
        {"regular file", work_.File("plain"), work_.File("plain"), notTerminal},
        {"folder", work_.File("folder"), work_.File("folder"), notTerminal},
        {"character device that is no terminal", "/dev/null", "/dev/null", notTerminal},
        {"FIFO", "fifo", work_.File("fifo"), notTerminal},
        {"missing device", "/nonexistent/ttyUSB9", "/nonexistent/ttyUSB9", missing},
        {"relative name of nothing", "ttyUSB0", work_.File("ttyUSB0"), missing},
        {"dangling link", work_.File("dangling"), work_.File("dangling"), missing},
        {"the link itself", Alias("COM1"), Alias("COM1"), "that is the link itself."},
    };
    // Root opens anything, so a terminal it may not open can only be shown to another user.
    PtyPeer forbidden;
    if (geteuid() != 0) {
        ASSERT_TRUE(forbidden.Ok());
        ASSERT_EQ(chmod(forbidden.SlavePath().c_str(), 0), 0);
        cases.push_back({"terminal without permission", forbidden.SlavePath(),
                         forbidden.SlavePath(),
                         "no permission to open it. Serial ports belong to the dialout group"});
    }
    const std::set<std::string> configBefore = Listing(config_.Path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Run run = RunCli({"--map", "COM1=" + c.device});
        EXPECT_EQ(run.exitCode, kExitDeviceRefused);
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(
            run.err.starts_with("quorvane-cli: cannot map COM1 to " + c.shown + ": " + c.why))
            << run.err;
        EXPECT_EQ(LinkOf("COM1"), device_.SlavePath());
        EXPECT_EQ(Listing(config_.Path()), configBefore);
    }
    EXPECT_EQ(device_.ReadFor(0), "");
}

// A name that would lead back to itself, however the path is spelt or through another name, is
// refused after the fact: the link is made, found to loop, and what was there before is put back.
TEST_F(PortMapTest, LinkThatLeadsBackToItselfIsRefusedAndTheOldOneKept) {
    const std::string realPorts = fs::canonical(Ports()).string();
    fs::create_symlink(config_.Path(), work_.File("config-link"));
    const struct {
        const char* what;
        std::string configHome;  // empty: the fixture's
        std::string runIn;       // empty: the fixture's
        std::string device;
    } cases[] = {
        {"the link's own path through ..", "", "", Ports() + "/../ports/COM1"},
        {"./COM1 from inside the folder, reached through a link", work_.File("config-link"),
         realPorts, "./COM1"},
        {"a chain back through COM2", "", "", Alias("COM2")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        configHome_.clear();
        runIn_.clear();
        // COM2 leads on to COM1, which leads to the device.
        fs::remove(Alias("COM1"));
        fs::create_symlink(device_.SlavePath(), Alias("COM1"));
        ASSERT_EQ(RunCli({"--map", "COM2=" + Alias("COM1")}).exitCode, 0);
        const std::set<std::string> before = Listing(config_.Path());
        configHome_ = c.configHome;
        runIn_ = c.runIn;
        const Run run = RunCli({"--map", "COM1=" + c.device});
        EXPECT_EQ(run.exitCode, kExitDeviceRefused) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(Contains(run.err, "leads back to COM1")) << run.err;
        EXPECT_TRUE(Contains(run.err, "COM1 is left as it was")) << run.err;
        EXPECT_EQ(LinkOf("COM1"), device_.SlavePath());
        EXPECT_EQ(LinkOf("COM2"), Alias("COM1"));
        EXPECT_EQ(Listing(config_.Path()), before);
    }
    // COM1 still opens the device: a job's first ESC arrives there.
    configHome_.clear();
    runIn_.clear();
    Child child;
    ASSERT_TRUE(Start(&child, {"--port", "COM1", "image.img"}));
    EXPECT_TRUE(Contains(device_.ReadUntil("\x1b", kRunTimeoutMs), "\x1b"));
    ASSERT_TRUE(child.Signal(SIGINT));
    EXPECT_EQ(child.Wait(kRunTimeoutMs), 1);
}

// The config folder is the user's: what is not a link there is never replaced or removed.
TEST_F(PortMapTest, SomethingOtherThanALinkIsLeftAsItIs) {
    const std::string file = Alias("COM3");
    std::ofstream(file) << "my notes";
    fs::create_directory(Alias("COM4"));
    std::ofstream(Alias("COM4") + "/inside") << "kept";
    const std::set<std::string> before = Listing(config_.Path());
    const struct {
        std::vector<std::string> args;
        const char* why;
    } cases[] = {
        {{"--map", "COM3=" + device_.SlavePath()}, " is a regular file, not a link"},
        {{"--unmap", "COM3"}, " is a regular file, not a link"},
        {{"--map", "COM4=" + device_.SlavePath()}, " is a folder, not a link"},
        {{"--unmap", "COM4"}, " is a folder, not a link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        const Run run = RunCli(c.args);
        EXPECT_EQ(run.exitCode, kExitAliasFailed);
        EXPECT_EQ(run.out, "");
        const std::string alias = Alias(c.args[1].substr(0, 4));
        EXPECT_TRUE(Contains(run.err, alias + c.why + "; it is left as it is.\n")) << run.err;
        EXPECT_EQ(Listing(config_.Path()), before);
    }
    EXPECT_EQ(ReadWholeFile(file), "my notes");
    EXPECT_EQ(ReadWholeFile(Alias("COM4") + "/inside"), "kept");

    // A file where the folder of links should be: the folder cannot be made.
    fs::remove_all(config_.Path() + "/quorvane");
    std::ofstream(config_.Path() + "/quorvane") << "in the way";
    const Run run = RunCli({"--map", "COM3=" + device_.SlavePath()});
    EXPECT_EQ(run.exitCode, kExitAliasFailed);
    EXPECT_TRUE(Contains(run.err, "cannot make the folder " + Ports())) << run.err;
    EXPECT_EQ(ReadWholeFile(config_.Path() + "/quorvane"), "in the way");
}

// Below the twelve names, the devices present: by-id names first, then the kernel's names by
// number, so a person can map one in a single command. A pseudo-terminal has no UART to ask
// about, so a ttyS name that the driver calls unknown is not built here; ttyS names that do not
// open as terminals stand in for ports without hardware.
TEST_F(PortMapTest, ListPortsShowsTheSerialDevicesPresentByIdFirst) {
    PtyPeer usb0, usb2, usb10, acm0, serial0;
    for (const PtyPeer* pty : {&usb0, &usb2, &usb10, &acm0, &serial0})
        ASSERT_TRUE(pty->Ok());
    const std::string dev = devices_.Path();
    fs::create_directories(dev + "/serial/by-id");
    const std::string ftdi = dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K1LQ2-if00-port0";
    const std::string arduino = dev + "/serial/by-id/usb-Arduino_Uno_75630313-if00";
    fs::create_symlink("../../ttyUSB0", ftdi);
    fs::create_symlink("../../ttyACM0", arduino);
    fs::create_symlink(usb0.SlavePath(), dev + "/ttyUSB0");
    fs::create_symlink(usb2.SlavePath(), dev + "/ttyUSB2");
    fs::create_symlink(usb10.SlavePath(), dev + "/ttyUSB10");
    fs::create_symlink(acm0.SlavePath(), dev + "/ttyACM0");
    fs::create_symlink(serial0.SlavePath(), dev + "/ttyS0");
    devices_.Write("ttyS1", "no UART here");
    fs::create_symlink("/nonexistent/ttyS2", dev + "/ttyS2");
    // Names that are not serial ports, or not only digits after the stem, are not looked at.
    fs::create_symlink(usb0.SlavePath(), dev + "/tty5");
    fs::create_symlink(usb0.SlavePath(), dev + "/ttyUSB0x");
    devices_.Write("console", "");
    const int holder = open(usb2.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);

    const Run plain = RunCli({"--list-ports"});
    const Run json = RunCli({"--list-ports", "--json"});
    close(holder);
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.err, "");
    EXPECT_EQ(json.exitCode, 0);
    for (PtyPeer* pty : {&usb0, &usb2, &usb10, &acm0, &serial0})
        EXPECT_EQ(pty->ReadFor(0), "");

    const std::string acmReal = fs::canonical(acm0.SlavePath()).string();
    const std::string usbReal = fs::canonical(usb0.SlavePath()).string();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {arduino + " -> " + acmReal, "usable"},
        {ftdi + " -> " + usbReal, "usable"},
        {dev + "/ttyUSB0", "usable"},
        {dev + "/ttyUSB2", "held by another program"},
        {dev + "/ttyUSB10", "usable"},
        {dev + "/ttyACM0", "usable"},
        {dev + "/ttyS0", "usable"},
    };
    const std::vector<std::string> lines = Lines(plain.out);
    ASSERT_EQ(lines.size(), 13 + 2 + expected.size() + 2) << plain.out;
    EXPECT_EQ(lines[13], "");
    EXPECT_TRUE(lines[14].starts_with("serial devices present ")) << lines[14];
    const size_t stateColumn = lines[14].find("  state") + 2;
    for (size_t i = 0; i < expected.size(); ++i) {
        const std::string& line = lines[15 + i];
        SCOPED_TRACE(line);
        EXPECT_TRUE(line.starts_with(expected[i].first + " "));
        EXPECT_EQ(line.substr(stateColumn), expected[i].second);
    }
    EXPECT_EQ(lines[15 + expected.size()], "");
    const std::string& hint = lines.back();
    EXPECT_TRUE(hint.starts_with("Give one a port name: quorvane-cli --map COM")) << hint;
    EXPECT_TRUE(hint.ends_with("=" + arduino)) << hint;

    const JsonLines parsed = ParseJsonLines(json.out, output_.Path());
    ASSERT_TRUE(parsed.ok) << parsed.error << json.out;
    ASSERT_EQ(parsed.canonical.size(), 12 + expected.size() + 1) << json.out;
    EXPECT_EQ(parsed.canonical[12], R"({"event":"device","path":")" + arduino +
                                        R"(","state":"usable","target":")" + acmReal +
                                        R"(","text":"usable"})");
    EXPECT_EQ(parsed.canonical[15],
              R"({"event":"device","path":")" + dev +
                  R"(/ttyUSB2","state":"busy","text":"held by another program"})");
    EXPECT_EQ(parsed.canonical.back(),
              R"({"event":"devices","folder":")" + dev + R"(","found":7,"unchecked":0})");
}

// A user outside the dialout group sees the adapters they may not open, and a count of the
// ttyS names that could not be looked at, rather than a list of them.
TEST_F(PortMapTest, ListPortsNamesDevicesThatMayNotBeOpened) {
    if (geteuid() == 0) GTEST_SKIP() << "root opens every device";
    PtyPeer usb, serial;
    ASSERT_TRUE(usb.Ok() && serial.Ok());
    ASSERT_EQ(chmod(usb.SlavePath().c_str(), 0), 0);
    ASSERT_EQ(chmod(serial.SlavePath().c_str(), 0), 0);
    fs::create_symlink(usb.SlavePath(), devices_.File("ttyUSB0"));
    fs::create_symlink(serial.SlavePath(), devices_.File("ttyS0"));
    const Run run = RunCli({"--list-ports"});
    EXPECT_EQ(run.exitCode, 0);
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_GE(lines.size(), 17u) << run.out;
    EXPECT_TRUE(lines[15].starts_with(devices_.File("ttyUSB0") + " ")) << lines[15];
    EXPECT_TRUE(lines[15].ends_with("  permission denied (dialout group)")) << lines[15];
    EXPECT_EQ(lines[16], "1 ttyS ports could not be checked: permission denied (dialout group).");
}

}  // namespace
