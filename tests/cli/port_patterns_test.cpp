// The ports a many-board run expands its names into: ranges, globs over device names, and one
// device reached by two names refused before anything starts.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/port_patterns.h"
#include "tests/support/pty.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

TEST(PortPatterns, RangesGlobsAndRefusals) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    PtyPeer a;
    PtyPeer b;
    ASSERT_TRUE(a.Ok() && b.Ok());
    const std::string byId = dir.Path() + "/by-id";
    fs::create_directories(byId);
    fs::create_symlink(a.SlavePath(), byId + "/usb-FTDI_A-port0");
    fs::create_symlink(b.SlavePath(), byId + "/usb-FTDI_B-port0");
    fs::create_symlink(b.SlavePath(), byId + "/usb-Other_C-port0");

    const struct {
        const char* what;
        std::vector<std::string> given;
        std::vector<std::string> ports;  // empty: refused
        std::string error;               // a part of the refusal
    } cases[] = {
        {"a range", {"COM3-COM5"}, {"COM3", "COM4", "COM5"}, ""},
        {"a range of one", {"COM7-COM7"}, {"COM7"}, ""},
        {"a range backwards", {"COM8-COM3"}, {}, "COMa to COMb"},
        {"a range past COM255", {"COM250-COM256"}, {}, "COMa to COMb"},
        {"a glob",
         {byId + "/usb-FTDI_*"},
         {byId + "/usb-FTDI_A-port0", byId + "/usb-FTDI_B-port0"},
         ""},
        {"a glob that matches nothing", {byId + "/usb-None*"}, {}, "no device matches"},
        {"one device by two names",
         {byId + "/usb-FTDI_B-port0", b.SlavePath()},
         {},
         "are the same device"},
        {"two links to one device through a glob", {byId + "/usb-*"}, {}, "are the same device"},
        {"a name given twice", {"COM3", "COM3-COM4"}, {}, "named twice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> ports;
        std::string error;
        const bool ok = ExpandPorts(c.given, &ports, &error);
        EXPECT_EQ(ok, !c.ports.empty()) << error;
        if (ok) {
            EXPECT_EQ(ports, c.ports);
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

}  // namespace
