// Reads and the port's descriptors, over a real pty: a read waits for its byte up to the read
// timeout and no longer, hands out a burst in order, and nothing stays open after a close or a
// refused open.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <thread>

#include "platform/platform.h"
#include "tests/support/pty.h"

namespace {

size_t OpenDescriptors() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return 0;
    while (readdir(dir) != nullptr)
        ++count;
    closedir(dir);
    return count;
}

class SerialRead : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.Ok());
        port_ = OpenSerialPort(peer_.SlavePath().c_str(), &error_);
        ASSERT_GE(port_, 0) << strerror(error_);
    }
    void TearDown() override {
        if (port_ >= 0) CloseSerialPort(port_);
    }
    // One read and how long it took.
    int Read(uint8_t* value, uint32_t* ms) {
        const Deadline start = Deadline::After(0);
        const int got = ReadSerialPort(port_, value, &error_);
        *ms = start.ElapsedMs();
        return got;
    }

    PtyPeer peer_;
    int port_ = -1;
    int error_ = 0;
};

// Whole tenths of a second, the rest of one, and less than one: each read of a silent line ends
// once its timeout has passed, not before and not long after.
TEST_F(SerialRead, SilenceEndsAtTheReadTimeout) {
    ASSERT_TRUE(ConfigureSerialPort(port_, &error_)) << strerror(error_);
    for (const uint32_t timeoutMs : {100u, 250u, 40u, 100u}) {
        ASSERT_TRUE(SetSerialTimeouts(port_, timeoutMs, 1, 100));
        uint8_t value = 0;
        uint32_t ms = 0;
        EXPECT_EQ(Read(&value, &ms), 0);
        EXPECT_GE(ms, timeoutMs) << "timeout " << timeoutMs;
        EXPECT_LT(ms, timeoutMs + 200) << "timeout " << timeoutMs;
    }
}

// A byte that comes while a read waits ends that read at once; the rest of a burst follows in
// order without waiting.
TEST_F(SerialRead, ByteEndsTheWaitAndABurstKeepsItsOrder) {
    ASSERT_TRUE(ConfigureSerialPort(port_, &error_)) << strerror(error_);
    ASSERT_TRUE(SetSerialTimeouts(port_, 2000, 1, 100));
    std::thread device([this] {
        WaitUntil(Deadline::After(50));
        peer_.Write("ab\x06");
    });
    uint8_t value = 0;
    uint32_t ms = 0;
    EXPECT_EQ(Read(&value, &ms), 1);
    device.join();
    EXPECT_EQ(value, 'a');
    EXPECT_LT(ms, 1000u);
    for (const uint8_t expected : {uint8_t('b'), uint8_t(0x06)}) {
        EXPECT_EQ(Read(&value, &ms), 1);
        EXPECT_EQ(value, expected);
        EXPECT_LT(ms, 1000u);
    }
    ASSERT_TRUE(SetSerialTimeouts(port_, 100, 1, 100));
    EXPECT_EQ(Read(&value, &ms), 0);
}

// Before the port is configured the terminal keeps its own settings (here one byte minimum, no
// timer), under which a plain blocking read would wait for ever; the read timeout still holds.
TEST_F(SerialRead, UnconfiguredPortStillTimesOut) {
    ASSERT_TRUE(SetSerialTimeouts(port_, 100, 1, 100));
    uint8_t value = 0;
    uint32_t ms = 0;
    EXPECT_EQ(Read(&value, &ms), 0);
    EXPECT_LT(ms, 1000u);
    peer_.Write("z");
    EXPECT_EQ(Read(&value, &ms), 1);
    EXPECT_EQ(value, 'z');
}

// A closed port, and a port refused because another program holds it, leave no descriptor open.
TEST(SerialPort, NoDescriptorOutlivesThePort) {
    PtyPeer peer;
    ASSERT_TRUE(peer.Ok());
    const size_t before = OpenDescriptors();
    int error = 0;
    const int port = OpenSerialPort(peer.SlavePath().c_str(), &error);
    ASSERT_GE(port, 0) << strerror(error);
    ASSERT_TRUE(ConfigureSerialPort(port, &error));
    EXPECT_TRUE(CloseSerialPort(port));
    EXPECT_EQ(OpenDescriptors(), before);

    const int holder = open(peer.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const size_t held = OpenDescriptors();
    EXPECT_LT(OpenSerialPort(peer.SlavePath().c_str(), &error), 0);
    EXPECT_EQ(error, EBUSY);
    EXPECT_EQ(OpenDescriptors(), held);
    close(holder);
}

}  // namespace
