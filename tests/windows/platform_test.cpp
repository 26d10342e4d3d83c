// The Windows platform layer against the system itself (under wine here): port names, the image
// file's refusals and exclusive hold, the serial calls' refusals, the tick and the worker thread.
#include <errno.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "tests/support/temp_dir.h"

namespace {

struct NameCase {
    const char* name;
    const char* device;
};

// Every COMn through the device namespace, the form that reaches two- and three-digit ports too;
// anything else is taken as the device's own name.
TEST(ResolvePortName, ComPortsGoThroughTheDeviceNamespace) {
    const NameCase cases[] = {
        {"COM1", "\\\\.\\COM1"},
        {"COM9", "\\\\.\\COM9"},
        {"COM10", "\\\\.\\COM10"},
        {"COM12", "\\\\.\\COM12"},
        {"COM15", "\\\\.\\COM15"},
        {"COM255", "\\\\.\\COM255"},
        {"com3", "\\\\.\\COM3"},
        {"COM256", "COM256"},
        {"COM0", "COM0"},
        {"COM01", "COM01"},
        {"COM1x", "COM1x"},
        {"\\\\.\\COM7", "\\\\.\\COM7"},
        {"COM", "COM"},
    };
    for (const NameCase& c : cases) {
        char device[64];
        ASSERT_TRUE(ResolvePortName(c.name, device, sizeof device)) << c.name;
        EXPECT_STREQ(device, c.device) << c.name;
    }
    char small[8];
    EXPECT_FALSE(ResolvePortName("COM12", small, sizeof small));
    char alias[64];
    EXPECT_FALSE(PortAliasPath("COM3", alias, sizeof alias));
}

// Whether another program could open the file now (shared as a reader or editor would).
bool OthersCanOpen(const std::string& path) {
    const HANDLE other = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (other == INVALID_HANDLE_VALUE) return false;
    CloseHandle(other);
    return true;
}

class ImageFile : public testing::Test {
  protected:
    TempDir dir_;
    int error_ = 0;
};

TEST_F(ImageFile, ReadsRewindsAndHoldsTheFileUnshared) {
    const std::string bytes = PatternBytes(3000, 4);
    const std::string path = dir_.Write("image.img", bytes);
    const int file = OpenImageFile(path.c_str(), &error_);
    ASSERT_GE(file, 0) << error_;
    EXPECT_FALSE(OthersCanOpen(path)) << "the job must hold the image alone";
    EXPECT_EQ(OpenImageFile(path.c_str(), &error_), -1) << "a second job must not get it";
    EXPECT_EQ(error_, EWOULDBLOCK);

    uint64_t size = 0;
    ASSERT_TRUE(GetImageFileSize(file, &size, &error_));
    EXPECT_EQ(size, bytes.size());
    std::string read(8, '\0');
    ASSERT_EQ(ReadImageFile(file, read.data(), 8, &error_), 8);
    EXPECT_EQ(read, bytes.substr(0, 8));
    ASSERT_TRUE(RewindImageFile(file, &error_));
    read.assign(4000, '\0');
    ASSERT_EQ(ReadImageFile(file, read.data(), 4000, &error_), 3000) << "short only at the end";
    EXPECT_EQ(read.substr(0, 3000), bytes);
    EXPECT_EQ(ReadImageFile(file, read.data(), 10, &error_), 0);

    ASSERT_TRUE(CloseImageFile(file));
    EXPECT_TRUE(OthersCanOpen(path)) << "closing lets go of the file";
    EXPECT_FALSE(CloseImageFile(file)) << "a closed handle is no handle";
}

struct RefusalCase {
    const char* name;
    std::string (*make)(const TempDir& dir);  // the path to give
    int error;
};

const RefusalCase kRefusals[] = {
    {"Missing", [](const TempDir& dir) { return dir.File("missing.img"); }, ENOENT},
    {"MissingFolder", [](const TempDir& dir) { return dir.File("no/such/image.img"); }, ENOENT},
    {"Directory",
     [](const TempDir& dir) {
         CreateDirectoryA(dir.File("folder").c_str(), nullptr);
         return dir.File("folder");
     },
     EISDIR},
    {"NulDevice", [](const TempDir&) { return std::string("NUL"); }, EINVAL},
    {"FourGiB",
     [](const TempDir& dir) {
         // Sparse where the file system allows it: only the size matters.
         const std::string path = dir.File("huge.img");
         const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
         LARGE_INTEGER size{};
         size.QuadPart = 0x100000000LL;
         SetFilePointerEx(file, size, nullptr, FILE_BEGIN);
         SetEndOfFile(file);
         CloseHandle(file);
         return path;
     },
     EFBIG},
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.name;
}

class ImageRefusal : public testing::TestWithParam<RefusalCase> {};

TEST_P(ImageRefusal, SaysWhyAndHoldsNothing) {
    TempDir dir;
    const std::string path = GetParam().make(dir);
    int error = 0;
    EXPECT_EQ(OpenImageFile(path.c_str(), &error), -1);
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Kinds, ImageRefusal, testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ImageFile, OpenInAnotherProgramIsRefusedAsHeld) {
    const std::string path = dir_.Write("image.img", "QRV-0001 and more");
    const HANDLE editor = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(editor, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenImageFile(path.c_str(), &error_), -1);
    EXPECT_EQ(error_, EWOULDBLOCK);
    CloseHandle(editor);
    const int file = OpenImageFile(path.c_str(), &error_);
    EXPECT_GE(file, 0) << "a refused open must leave nothing behind";
    CloseImageFile(file);
}

// Reading a file back whole, to show that a refused port open wrote nothing into it.
std::string Contents(const std::string& path) {
    std::string bytes(256, '\0');
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD got = 0;
    ReadFile(file, bytes.data(), DWORD(bytes.size()), &got, nullptr);
    CloseHandle(file);
    bytes.resize(got);
    return bytes;
}

TEST(SerialPort, WhatIsNoPortIsRefused) {
    TempDir dir;
    const std::string file = dir.Write("notes.txt", "keep me");
    struct Case {
        std::string device;
        int error;
    };
    const Case cases[] = {
        {"\\\\.\\COM200", ENOENT},  // no such port
        {"NUL", ENOTTY},            // a device, but no serial port
        {file, ENOTTY},             // a file: never written to
    };
    for (const Case& c : cases) {
        int error = 0;
        EXPECT_EQ(OpenSerialPort(c.device.c_str(), &error), -1) << c.device;
        EXPECT_EQ(error, c.error) << c.device;
    }
    EXPECT_EQ(Contents(file), "keep me");
}

// Handles are checked for what they are: an image handle is no port, a closed one is nothing.
TEST(Handles, OfTheWrongKindOrClosedAreRefused) {
    TempDir dir;
    int error = 0;
    const int file = OpenImageFile(dir.Write("image.img", "QRV-0001").c_str(), &error);
    ASSERT_GE(file, 0);
    uint8_t byte = 0;
    EXPECT_EQ(WriteSerialPort(file, "x", 1), -1);
    EXPECT_EQ(ReadSerialPort(file, &byte, &error), -1);
    EXPECT_EQ(error, EBADF);
    EXPECT_FALSE(ConfigureSerialPort(file, &error));
    EXPECT_EQ(error, EBADF);
    EXPECT_FALSE(CloseSerialPort(file));
    EXPECT_TRUE(CloseImageFile(file));
    uint64_t size = 0;
    EXPECT_FALSE(GetImageFileSize(file, &size, &error));
    EXPECT_EQ(error, EBADF);
    EXPECT_FALSE(CloseSerialPort(-1));
    EXPECT_FALSE(CloseImageFile(99));
}

TEST(Tick, CountsMillisecondsAndWaitsAtLeastTheSpan) {
    const uint32_t start = TickMs();
    WaitUntil(Deadline::After(120));
    const uint32_t elapsed = TickMs() - start;
    EXPECT_GE(elapsed, 120u);
    EXPECT_LT(elapsed, 2000u);

    SetTickOffsetForTesting(0u - 50u);  // 50 ms before the counter wraps
    const Deadline acrossWrap = Deadline::After(100);
    WaitUntil(acrossWrap);
    EXPECT_TRUE(acrossWrap.Expired());
    SetTickOffsetForTesting(0);
}

int32_t WaitForGate(void* gate) {
    WaitForSingleObject(HANDLE(gate), INFINITE);
    return 6;
}

TEST(WorkerThread, ExitCodeIsStillActiveUntilTheEntryReturns) {
    const HANDLE gate = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    WorkerThread worker;
    uint32_t code = 0;
    EXPECT_FALSE(worker.GetExitCode(&code)) << "no thread yet";
    ASSERT_TRUE(worker.Start(WaitForGate, gate));
    EXPECT_FALSE(worker.Start(WaitForGate, gate)) << "one worker at a time";
    ASSERT_TRUE(worker.GetExitCode(&code));
    EXPECT_EQ(code, kStillActive);
    SetEvent(gate);
    const Deadline deadline = Deadline::After(5000);
    while (worker.GetExitCode(&code) && code == kStillActive && !deadline.Expired()) {
        WaitUntil(Deadline::After(5));
    }
    EXPECT_EQ(code, 6u);
    worker.Close();
    EXPECT_FALSE(worker.IsOpen());
    EXPECT_FALSE(worker.GetExitCode(&code));
    ASSERT_TRUE(worker.Start(WaitForGate, gate)) << "a closed worker starts again";
    worker.Close();
    CloseHandle(gate);
}

}  // namespace
