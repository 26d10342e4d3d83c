// The port naming rules, one table of names for every rule: what a person may type, what each
// system opens for it, and where the aliases live. Plain string work: this suite runs on Windows
// too.
#include "platform/port_names.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

struct NameCase {
    const char* name;
    int number;          // ComPortNumber: as the tool reads a name a person gives
    int numberAnyCase;   // ComPortNumberAnyCase: as Windows reads it
    const char* posix;   // what POSIX opens when the name has no alias
    const char* device;  // what Windows opens
};

const NameCase kNames[] = {
    {"COM1", 1, 1, "/dev/ttyS0", "\\\\.\\COM1"},
    {"COM9", 9, 9, "/dev/ttyS8", "\\\\.\\COM9"},
    {"COM10", 10, 10, "/dev/ttyS9", "\\\\.\\COM10"},
    {"COM12", 12, 12, "/dev/ttyS11", "\\\\.\\COM12"},
    {"COM15", 15, 15, "/dev/ttyS14", "\\\\.\\COM15"},
    {"COM100", 100, 100, "/dev/ttyS99", "\\\\.\\COM100"},
    {"COM255", 255, 255, "/dev/ttyS254", "\\\\.\\COM255"},
    // Not port names: each is taken as the device's own name.
    {"COM256", 0, 0, "COM256", "COM256"},
    {"COM1000", 0, 0, "COM1000", "COM1000"},
    {"COM0", 0, 0, "COM0", "COM0"},
    {"COM03", 0, 0, "COM03", "COM03"},
    {"COM", 0, 0, "COM", "COM"},
    {"COM1x", 0, 0, "COM1x", "COM1x"},
    {"COM 1", 0, 0, "COM 1", "COM 1"},
    {"COM-1", 0, 0, "COM-1", "COM-1"},
    {"XCOM1", 0, 0, "XCOM1", "XCOM1"},
    {"", 0, 0, "", ""},
    {"/dev/ttyUSB0", 0, 0, "/dev/ttyUSB0", "/dev/ttyUSB0"},
    {"\\\\.\\COM7", 0, 0, "\\\\.\\COM7", "\\\\.\\COM7"},
    // Windows reads device names in any case; the tool's own names are in capitals.
    {"com3", 0, 3, "com3", "\\\\.\\COM3"},
    {"Com12", 0, 12, "Com12", "\\\\.\\COM12"},
    {"cOm255", 0, 255, "cOm255", "\\\\.\\COM255"},
};

bool NoAlias(const char*) {
    return false;
}

bool EveryAlias(const char*) {
    return true;
}

std::string AliasFile(const char* name) {
    char path[4096];
    return PortAliasFileOf(name, path, sizeof path) ? path : "(too long)";
}

TEST(PortNames, EveryRuleOverOneTableOfNames) {
    for (const NameCase& c : kNames) {
        SCOPED_TRACE(std::string("name \"") + c.name + "\"");
        EXPECT_EQ(ComPortNumber(c.name), c.number);
        EXPECT_EQ(ComPortNumberAnyCase(c.name), c.numberAnyCase);

        char device[256];
        ASSERT_TRUE(ResolvePortNameByAlias(c.name, NoAlias, device, sizeof device));
        EXPECT_STREQ(device, c.posix);
        // An alias, even a broken one, stands in for a port name and for nothing else.
        ASSERT_TRUE(ResolvePortNameByAlias(c.name, EveryAlias, device, sizeof device));
        EXPECT_EQ(std::string(device), c.number != 0 ? AliasFile(c.name) : std::string(c.name));

        ASSERT_TRUE(ResolvePortNameInDeviceNamespace(c.name, device, sizeof device));
        EXPECT_STREQ(device, c.device);
    }
}

TEST(PortNames, EveryNumberHasItsNameAndBack) {
    for (int number = 1; number <= kMaxComPort; ++number) {
        const char* name = ComPortName(number);
        ASSERT_NE(name, nullptr) << number;
        EXPECT_EQ(std::string(name), "COM" + std::to_string(number));
        EXPECT_EQ(ComPortNumber(name), number);
    }
    for (const int number : {-1, 0, kMaxComPort + 1}) {
        EXPECT_EQ(ComPortName(number), nullptr) << number;
    }
}

// A device name one byte too long for the caller's buffer is refused, not cut short.
TEST(PortNames, ResolvedNamesThatDoNotFitAreRefused) {
    const struct {
        const char* name;
        bool byAlias;
        const char* device;
    } cases[] = {
        {"/dev/ttyUSB0", true, "/dev/ttyUSB0"},
        {"COM12", false, "\\\\.\\COM12"},
        {"/dev/ttyACM0", false, "/dev/ttyACM0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char device[64];
        const size_t fits = std::string(c.device).size() + 1;
        for (const size_t size : {fits, fits - 1}) {
            const bool resolved = c.byAlias
                                      ? ResolvePortNameByAlias(c.name, NoAlias, device, size)
                                      : ResolvePortNameInDeviceNamespace(c.name, device, size);
            EXPECT_EQ(resolved, size == fits) << size;
            if (resolved) {
                EXPECT_STREQ(device, c.device);
            }
        }
    }
    // A port name's alias is looked for first, so its path must fit as well.
    char device[12];
    EXPECT_FALSE(ResolvePortNameByAlias("COM12", NoAlias, device, sizeof device));
}

struct FolderCase {
    const char* what;
    const char* xdgConfigHome;  // null: unset
    const char* home;           // null: unset
    const char* folder;
};

TEST(PortAliasFolder, FromXdgConfigHomeElseHome) {
    const FolderCase cases[] = {
        {"XDG set", "/x/config", "/home/u", "/x/config/quorvane/ports"},
        {"XDG with a trailing slash", "/x/config/", "/home/u", "/x/config/quorvane/ports"},
        {"XDG at the root", "/", "/home/u", "/quorvane/ports"},
        {"XDG relative: ignored", "config", "/home/u", "/home/u/.config/quorvane/ports"},
        {"XDG empty: ignored", "", "/home/u", "/home/u/.config/quorvane/ports"},
        {"XDG unset", nullptr, "/home/u", "/home/u/.config/quorvane/ports"},
        {"HOME with a trailing slash", nullptr, "/home/u/", "/home/u/.config/quorvane/ports"},
        {"HOME with two", nullptr, "/home/u//", "/home/u/.config/quorvane/ports"},
        {"HOME at the root", nullptr, "/", "/.config/quorvane/ports"},
        {"HOME empty", nullptr, "", "/.config/quorvane/ports"},
        {"HOME unset", nullptr, nullptr, "/.config/quorvane/ports"},
        {"HOME relative: kept", nullptr, "u", "u/.config/quorvane/ports"},
    };
    for (const FolderCase& c : cases) {
        SCOPED_TRACE(c.what);
        char folder[256];
        ASSERT_TRUE(PortAliasFolderFrom(c.xdgConfigHome, c.home, folder, sizeof folder));
        EXPECT_STREQ(folder, c.folder);
    }
    char small[16];
    EXPECT_FALSE(PortAliasFolderFrom("/x/config", "/home/u", small, sizeof small));
    EXPECT_FALSE(PortAliasFolderFrom(nullptr, "/home/u", small, sizeof small));
}

// A name's alias is that folder, from the environment as it is, and the name.
TEST(PortAliasFolder, AliasFileIsInTheFolderOfTheEnvironment) {
    char folder[4096];
    ASSERT_TRUE(PortAliasFolderFrom(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"), folder,
                                    sizeof folder));
    EXPECT_EQ(AliasFile("COM3"), std::string(folder) + "/COM3");
    EXPECT_EQ(AliasFile("COM255"), std::string(folder) + "/COM255");
    char small[8];
    EXPECT_FALSE(PortAliasFileOf("COM3", small, sizeof small));
}

}  // namespace
