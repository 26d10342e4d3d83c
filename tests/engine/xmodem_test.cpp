// The XMODEM sender on the wire, with the test as the receiver over a real pty.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "dialogue.h"
#include "xmodem.h"

namespace {

const std::string kAck(1, char(xmodem::ACK));
const std::string kNak(1, char(xmodem::NAK));
const std::string kCan(1, char(xmodem::CAN));
const std::string kEot(1, char(xmodem::EOT));

uint16_t Crc(const std::string& bytes) {
    return Crc16Xmodem(reinterpret_cast<const uint8_t*>(bytes.data()), uint32_t(bytes.size()));
}
uint8_t Sum(const std::string& bytes) {
    return Checksum8(reinterpret_cast<const uint8_t*>(bytes.data()), uint32_t(bytes.size()));
}

TEST(CheckValues, KnownVectors) {
    EXPECT_EQ(Crc("123456789"), 0x31C3);
    EXPECT_EQ(Crc("abc"), 0x9DD6);
    EXPECT_EQ(Sum("abc"), 0x26);
    const std::string pad(128, char(xmodem::SUB));
    EXPECT_EQ(Crc(pad), 0xF8B0);
    EXPECT_EQ(Sum(pad), 0x00);
    EXPECT_EQ(Crc(""), 0x0000);
}

// The table-driven CRC folds eight bytes at a time and the rest one by one: every length up to a
// whole block, from every start offset within eight bytes, must give the bit-by-bit result.
TEST(CheckValues, CrcEqualsBitwiseReferenceForEveryLength) {
    std::mt19937 random(20240611);
    std::vector<uint8_t> bytes(1024 + 8);
    for (uint8_t& byte : bytes)
        byte = uint8_t(random());
    for (const uint8_t fill : {0x00, 0xFF, 0x1A}) {
        std::vector<uint8_t> same(1024, fill);
        EXPECT_EQ(Crc16Xmodem(same.data(), 1024), ReferenceCrc16(same.data(), 1024))
            << "1024 bytes of " << int(fill);
    }
    for (uint32_t offset = 0; offset < 8; ++offset) {
        for (uint32_t length = 0; length <= 1024; ++length) {
            const uint8_t* data = bytes.data() + offset;
            ASSERT_EQ(Crc16Xmodem(data, length), ReferenceCrc16(data, length))
                << "length " << length << " at offset " << offset;
        }
    }
}

TEST(CheckValues, PacketCarriesCrcHighByteFirst) {
    const std::string packet = Packet(1, "abc", true);
    const uint16_t crc = Crc("abc" + std::string(1021, char(xmodem::SUB)));
    EXPECT_EQ(uint8_t(packet[1027]), crc >> 8);
    EXPECT_EQ(uint8_t(packet[1028]), crc & 0xFF);
}

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
        EXPECT_EQ(host.back(),
                  atEot ? char(xmodem::EOT) : char(Packet(1, "QRV-0001", false).back()));
    }
}

}  // namespace
