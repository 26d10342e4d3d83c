// The POSIX platform's port aliases and serial devices, on real links in a temporary folder and
// real pseudo-terminals standing in for adapters.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "platform/port_alias.h"
#include "platform/serial_devices.h"
#include "tests/support/pty.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

TEST(PortAlias, ReadSaysWhatStandsThere) {
    TempDir dir;
    fs::create_symlink("/nonexistent/ttyUSB9", dir.File("link"));
    fs::create_directory(dir.File("folder"));
    dir.Write("file", "x");
    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
    const struct {
        std::string path;
        AliasKind kind;
        std::string target;
    } cases[] = {
        {dir.File("none"), AliasKind::None, ""},
        {dir.File("no-folder/COM3"), AliasKind::None, ""},
        {dir.File("file/COM3"), AliasKind::None, ""},  // something else where the folder would be
        {dir.File("link"), AliasKind::Link, "/nonexistent/ttyUSB9"},
        {dir.File("folder"), AliasKind::Folder, ""},
        {dir.File("file"), AliasKind::File, ""},
        {dir.File("fifo"), AliasKind::Other, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        PortAlias alias;
        alias.target = "stale";
        int error = 0;
        ASSERT_TRUE(ReadPortAlias(c.path, &alias, &error)) << strerror(error);
        EXPECT_EQ(alias.kind, c.kind);
        EXPECT_EQ(alias.target, c.target);
    }
}

// Made with its folders, replaced in one step, removed; no temporary name is left behind.
TEST(PortAlias, CreateReplaceAndRemove) {
    TempDir dir;
    const std::string folder = dir.File("config/quorvane/ports");
    const std::string com3 = folder + "/COM3";
    AliasStep stopped{};
    int error = 0;
    ASSERT_TRUE(CreatePortAlias(com3, "/dev/ttyUSB0", "", &stopped, &error)) << strerror(error);
    EXPECT_EQ(fs::read_symlink(com3).string(), "/dev/ttyUSB0");
    ASSERT_TRUE(CreatePortAlias(com3, "/dev/ttyACM1", "/dev/ttyUSB0", &stopped, &error));
    EXPECT_EQ(fs::read_symlink(com3).string(), "/dev/ttyACM1");
    EXPECT_EQ(Names(folder), std::set<std::string>{"COM3"});

    ASSERT_TRUE(RemovePortAlias(com3, &error)) << strerror(error);
    EXPECT_FALSE(fs::exists(fs::symlink_status(com3)));
    EXPECT_FALSE(RemovePortAlias(com3, &error));
    EXPECT_EQ(error, ENOENT);
}

// A device path that leads back to the alias through another link: refused with ELOOP, and what
// stood there before (a link, or nothing) is put back.
TEST(PortAlias, LinkLeadingBackToItselfIsTakenBackAndTheOldOnePutBack) {
    for (const std::string previous : {"/dev/ttyUSB0", ""}) {
        SCOPED_TRACE("previous \"" + previous + "\"");
        TempDir dir;
        const std::string com3 = dir.File("COM3");
        if (!previous.empty()) fs::create_symlink(previous, com3);
        fs::create_symlink(com3, dir.File("COM4"));  // COM4 leads to COM3
        AliasStep stopped{};
        int error = 0;
        EXPECT_FALSE(CreatePortAlias(com3, dir.File("COM4"), previous, &stopped, &error));
        EXPECT_EQ(stopped, AliasStep::LeadsBack);
        EXPECT_EQ(error, ELOOP);
        PortAlias now;
        ASSERT_TRUE(ReadPortAlias(com3, &now, &error));
        EXPECT_EQ(now.kind, previous.empty() ? AliasKind::None : AliasKind::Link);
        EXPECT_EQ(now.target, previous);
        EXPECT_EQ(Names(dir.Path()), (previous.empty() ? std::set<std::string>{"COM4"}
                                                       : std::set<std::string>{"COM3", "COM4"}));
    }
}

TEST(PortAlias, FolderThatCannotBeMadeStopsBeforeAnyLink) {
    TempDir dir;
    dir.Write("config", "a file where the folder would go");
    AliasStep stopped{};
    int error = 0;
    EXPECT_FALSE(
        CreatePortAlias(dir.File("config/ports/COM3"), "/dev/ttyUSB0", "", &stopped, &error));
    EXPECT_EQ(stopped, AliasStep::Folder);
    EXPECT_NE(error, 0);
    EXPECT_EQ(Names(dir.Path()), std::set<std::string>{"config"});
}

// What --map checks a device with: a terminal (held or not), something else, nothing.
TEST(SerialDevices, LookAtTerminalTellsATerminalAndWhetherItIsHeld) {
    PtyPeer adapter;
    ASSERT_TRUE(adapter.Ok());
    TempDir dir;
    dir.Write("plain", "x");
    bool held = true;
    EXPECT_EQ(LookAtTerminal(adapter.SlavePath().c_str(), &held), 0);
    EXPECT_FALSE(held);
    EXPECT_EQ(LookAtTerminal(dir.File("plain").c_str(), &held), ENOTTY);
    EXPECT_EQ(LookAtTerminal(dir.File("missing").c_str(), &held), ENOENT);

    const int holder = open(adapter.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
    EXPECT_EQ(LookAtTerminal(adapter.SlavePath().c_str(), &held), 0);
    EXPECT_TRUE(held);
    int flag = 0;
    ASSERT_EQ(ioctl(holder, TIOCGEXCL, &flag), 0);
    EXPECT_EQ(flag, 1) << "looking cleared the other program's flag";
    ioctl(holder, TIOCNXCL);
    close(holder);
}

// A folder standing in for /dev: by-id names first, then ttyUSB, ttyACM and ttyS by number; a
// device met twice is opened once; built-in names without a terminal behind them are left out.
TEST(SerialDevices, ScanListsWhatAnUpdateCouldOpen) {
    PtyPeer usb0;
    PtyPeer acm2;
    PtyPeer serial1;
    ASSERT_TRUE(usb0.Ok() && acm2.Ok() && serial1.Ok());
    TempDir dev;
    fs::create_directories(dev.File("serial/by-id"));
    fs::create_symlink(dev.File("ttyUSB0"), dev.File("serial/by-id/usb-FTDI_x-port0"));
    fs::create_symlink(usb0.SlavePath(), dev.File("ttyUSB0"));
    fs::create_symlink("/nonexistent/ttyUSB10", dev.File("ttyUSB10"));
    fs::create_symlink(acm2.SlavePath(), dev.File("ttyACM2"));
    fs::create_symlink(serial1.SlavePath(), dev.File("ttyS1"));
    dev.Write("ttyS0", "no UART here");
    dev.Write("ttyUSBx", "not a number");

    const SerialDeviceScan scan = ScanSerialDevices(dev.Path());
    ASSERT_EQ(scan.devices.size(), 5u);
    const struct {
        std::string path;
        std::string target;
        int error;
    } expected[] = {
        {dev.File("serial/by-id/usb-FTDI_x-port0"), fs::canonical(usb0.SlavePath()).string(), 0},
        {dev.File("ttyUSB0"), "", 0},
        {dev.File("ttyUSB10"), "", ENOENT},
        {dev.File("ttyACM2"), "", 0},
        {dev.File("ttyS1"), "", 0},
    };
    for (size_t i = 0; i < scan.devices.size(); ++i) {
        EXPECT_EQ(scan.devices[i].path, expected[i].path) << i;
        EXPECT_EQ(scan.devices[i].target, expected[i].target) << i;
        EXPECT_EQ(scan.devices[i].error, expected[i].error) << i;
    }
    EXPECT_EQ(scan.uncheckedBuiltIn, 0);
    EXPECT_EQ(usb0.ReadFor(0), "") << "opening sent the device something";
}

}  // namespace
