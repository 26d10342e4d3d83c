// Reads and the port's descriptors, over a real pty: a read waits for its byte up to the read
// timeout and no longer, hands out a burst in order, and nothing stays open after a close or a
// refused open.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

#include "engine/update_job.h"
#include "platform/platform.h"
#include "tests/support/job_runner.h"
#include "tests/support/pty.h"
#include "tests/support/temp_dir.h"

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

// A person's terminal settings, as `stty 9600 cs7 parenb icanon echo` and the like leave them,
// set on the port by a program of their own that keeps it open.
class PersonsSettings : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.Ok());
        own_ = open(peer_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(own_, 0);
        termios mode{};
        ASSERT_EQ(tcgetattr(own_, &mode), 0);
        mode.c_iflag = ICRNL | IXON | IXOFF;
        mode.c_oflag = OPOST | ONLCR;
        mode.c_cflag = (mode.c_cflag & ~(CSIZE | CSTOPB)) | CS7 | PARENB | CREAD | HUPCL;
        mode.c_lflag = ICANON | ECHO | ECHOE | ISIG;
        mode.c_cc[VMIN] = 1;
        mode.c_cc[VTIME] = 0;
        ASSERT_EQ(cfsetspeed(&mode, B9600), 0);
        ASSERT_EQ(tcsetattr(own_, TCSANOW, &mode), 0);
        // What the terminal holds now: the settings to find again.
        ASSERT_EQ(tcgetattr(own_, &before_), 0);
    }
    void TearDown() override {
        if (own_ >= 0) close(own_);
    }
    // Whether the terminal holds `before_` again, and how it differs when it does not.
    testing::AssertionResult SettingsAsBefore() const {
        termios now{};
        if (tcgetattr(own_, &now) != 0) return testing::AssertionFailure() << "tcgetattr";
        if (now.c_iflag != before_.c_iflag || now.c_oflag != before_.c_oflag ||
            now.c_cflag != before_.c_cflag || now.c_lflag != before_.c_lflag ||
            memcmp(now.c_cc, before_.c_cc, sizeof now.c_cc) != 0 ||
            cfgetispeed(&now) != cfgetispeed(&before_) ||
            cfgetospeed(&now) != cfgetospeed(&before_)) {
            return testing::AssertionFailure()
                   << std::hex << "cflag " << now.c_cflag << " (was " << before_.c_cflag
                   << "), lflag " << now.c_lflag << " (was " << before_.c_lflag << "), VTIME "
                   << int(now.c_cc[VTIME]) << " (was " << int(before_.c_cc[VTIME]) << ")";
        }
        return testing::AssertionSuccess();
    }

    PtyPeer peer_;
    int own_ = -1;
    termios before_{};
};

// Raw 115200 and a read timer for the job; the person's settings once it has closed the port.
TEST_F(PersonsSettings, ComeBackWhenThePortCloses) {
    int error = 0;
    const int port = OpenSerialPort(peer_.SlavePath().c_str(), &error);
    ASSERT_GE(port, 0) << strerror(error);
    ASSERT_TRUE(ConfigureSerialPort(port, &error)) << strerror(error);
    ASSERT_TRUE(SetSerialTimeouts(port, 250, 1, 100));
    EXPECT_FALSE(SettingsAsBefore()) << "the port was never configured";
    EXPECT_EQ(WriteSerialPort(port, "\x18\x18", 2), 2);
    ASSERT_TRUE(CloseSerialPort(port));
    EXPECT_TRUE(SettingsAsBefore());
    EXPECT_EQ(peer_.ReadFor(50), "\x18\x18") << "the last bytes went out as the job sent them";
}

// A program that quits while its worker still holds the port gives them back too, at once; the
// close that may follow changes nothing more.
TEST_F(PersonsSettings, ComeBackWhenTheHoldsAreReleased) {
    int error = 0;
    const int port = OpenSerialPort(peer_.SlavePath().c_str(), &error);
    ASSERT_GE(port, 0) << strerror(error);
    ASSERT_TRUE(ConfigureSerialPort(port, &error)) << strerror(error);
    ReleaseSerialPortHolds();
    EXPECT_TRUE(SettingsAsBefore());
    ASSERT_TRUE(CloseSerialPort(port));
    EXPECT_TRUE(SettingsAsBefore());
}

// A whole job, cancelled while it wakes the device, leaves the terminal as the person set it.
TEST_F(PersonsSettings, SurviveAJob) {
    TempDir dir;
    JobRunner job(dir.Write("image.img", PatternBytes(3000)), peer_.SlavePath());
    ASSERT_TRUE(job.Start());
    EXPECT_EQ(peer_.ReadUntil("\x1b\r\n", 2000), "\x1b\r\n");
    EXPECT_FALSE(SettingsAsBefore()) << "the job runs on the person's settings";
    job.Cancel();
    EXPECT_EQ(job.Wait(2000), ResultCancelled);
    EXPECT_TRUE(SettingsAsBefore());
}

}  // namespace
