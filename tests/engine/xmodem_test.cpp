// The XMODEM sender on the wire, with the test as the receiver over a real pty.
#include <gtest/gtest.h>

#include "tests/engine/dialogue.h"
#include "tests/support/xmodem_bytes.h"

namespace {

const std::string kAck(1, wire::kAck);
const std::string kNak(1, wire::kNak);
const std::string kCan(1, wire::kCan);
const std::string kEot(1, wire::kEot);

struct FramingCase {
    const char* name;
    size_t imageSize;
    bool crcMode;
    size_t blocks;
};

class Framing : public testing::TestWithParam<FramingCase> {};

// Every block, byte for byte, then EOT: no block beyond the image, SUB only in the last one.
TEST_P(Framing, BlocksFollowTheImage) {
    const FramingCase& c = GetParam();
    const std::string image = PatternBytes(c.imageSize, 7);
    const size_t blockSize = c.crcMode ? 1024 : 128;
    Dialogue d(image);
    ASSERT_TRUE(d.Console());
    d.Send(c.crcMode ? "C" : kNak);
    for (size_t block = 0; block < c.blocks; ++block) {
        const std::string data = image.substr(block * blockSize, blockSize);
        ASSERT_EQ(d.Take(Packet(0, "", c.crcMode).size()),
                  Packet(uint8_t(block + 1), data, c.crcMode))
            << "block " << block + 1;
        d.Send(kAck);
    }
    EXPECT_EQ(d.Take(1), kEot);
    d.Send(kAck + "Done\r\n>");
    EXPECT_EQ(d.Result(), ResultSuccess);
    EXPECT_EQ(updateJob.bytesSent.load(), c.imageSize);
}

INSTANTIATE_TEST_SUITE_P(Sizes, Framing,
                         testing::Values(FramingCase{"Crc1000", 1000, true, 1},
                                         FramingCase{"Sum1000", 1000, false, 8},
                                         FramingCase{"CrcTwoFullBlocks", 2048, true, 2},
                                         FramingCase{"SumExactBlocks", 384, false, 3},
                                         FramingCase{"CrcOneOver", 1025, true, 2},
                                         FramingCase{"SumNumberWraps", 300 * 128 + 5, false, 301}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Sender, NakRepeatsTheSamePacketAndTheEot) {
    const std::string image = PatternBytes(2000, 3);
    Dialogue d(image);
    ASSERT_TRUE(d.Console());
    d.Send("C");
    const std::string first = d.Take(1029);
    d.Send("C");  // a late start request is not a NAK
    d.Send(kNak);
    EXPECT_EQ(d.Take(1029), first);
    EXPECT_EQ(updateJob.bytesSent.load(), 1024u);
    d.Send(kAck);
    EXPECT_EQ(d.Take(1029), Packet(2, image.substr(1024), true));
    d.Send(kAck);
    EXPECT_EQ(d.Take(1), kEot);
    d.Send(kNak);
    EXPECT_EQ(d.Take(1), kEot);
    d.Send(kAck + "Done\r\n>");
    EXPECT_EQ(d.Result(), ResultSuccess);
}

TEST(Sender, TextBeforeTheStartRequestIsIgnored) {
    Dialogue d("QRV-0001");
    ASSERT_TRUE(d.Console());
    d.Send("xx" + kCan + "waiting... C");  // a CAN before the mode is chosen means nothing
    EXPECT_EQ(d.Take(1029), Packet(1, "QRV-0001", true));
    d.Send(kAck);
    EXPECT_EQ(d.Take(1), kEot);
    d.Send(kAck + "Done\r\n>");
    EXPECT_EQ(d.Result(), ResultSuccess);
}

// The receiver's CAN ends the transfer; the sender adds nothing after it.
TEST(Sender, ReceiverCancelEndsTheTransfer) {
    for (const bool atEot : {false, true}) {
        Dialogue d("QRV-0001");
        ASSERT_TRUE(d.Console());
        d.Send(kNak);
        d.Take(132);
        if (atEot) {
            d.Send(kAck);
            EXPECT_EQ(d.Take(1), kEot);
        }
        d.Send(kCan);
        EXPECT_EQ(d.Result(), ResultTransferFail);
        EXPECT_EQ(updateJob.stage.load(), StageTransfer);
        const std::string& host = d.Host(30);
        EXPECT_EQ(host.back(), atEot ? wire::kEot : char(Packet(1, "QRV-0001", false).back()));
    }
}

}  // namespace
