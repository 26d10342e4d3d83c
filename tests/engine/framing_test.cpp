// XMODEM framing without a line: the check values, and the packets the sender builds from an
// image file, one after another, as they would go on the wire. Runs wherever the engine builds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/image_file.h"
#include "engine/update_job.h"
#include "engine/xmodem.h"
#include "sim/random.h"
#include "tests/engine/packet.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xmodem_bytes.h"

namespace {

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
    const std::string pad(128, wire::kSub);
    EXPECT_EQ(Crc(pad), 0xF8B0);
    EXPECT_EQ(Sum(pad), 0x00);
    EXPECT_EQ(Crc(""), 0x0000);
}

// The sliced CRC folds eight bytes at a time and the rest one by one: every length up to a whole
// block, from every start offset within eight bytes, must give the bit-by-bit result.
TEST(CheckValues, CrcEqualsBitwiseReferenceForEveryLength) {
    sim::Random random(20240611);
    std::vector<uint8_t> bytes(1024 + 8);
    for (uint8_t& byte : bytes)
        byte = uint8_t(random.Next());
    for (const uint8_t fill : {0x00, 0xFF, int(wire::kSub)}) {
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
    const uint16_t crc = Crc("abc" + std::string(1021, wire::kSub));
    EXPECT_EQ(uint8_t(packet[1027]), crc >> 8);
    EXPECT_EQ(uint8_t(packet[1028]), crc & 0xFF);
}

struct PacketCase {
    const char* name;
    size_t imageSize;
    bool crcMode;
    size_t blocks;
};

class PacketsFromImage : public testing::TestWithParam<PacketCase> {
  protected:
    void SetUp() override {
        updateJob.identityCheck = false;
        updateJob.bytesSent.store(0);
        updateJob.result = ResultSuccess;
    }
    void TearDown() override { CloseImage(); }
};

// Every block in order, byte for byte; SUB only after the image's last byte; block numbers wrap
// from 255 to 0; then EOT, with every byte of the image counted once.
TEST_P(PacketsFromImage, FollowTheImageThenEot) {
    const PacketCase& c = GetParam();
    TempDir dir;
    const std::string image = PatternBytes(c.imageSize, 11);
    ASSERT_TRUE(OpenImage(dir.Write("image.img", image).c_str()));
    ASSERT_TRUE(CheckImageHeader());
    ResetBlockNumber();

    const size_t blockSize = c.crcMode ? 1024 : 128;
    const size_t packetLength = 3 + blockSize + (c.crcMode ? 2 : 1);
    for (size_t block = 0; block < c.blocks; ++block) {
        ASSERT_TRUE(BuildPacket(uint32_t(blockSize), c.crcMode)) << "block " << block + 1;
        const std::string built(reinterpret_cast<const char*>(PacketBuffer()), packetLength);
        ASSERT_EQ(built,
                  Packet(uint8_t(block + 1), image.substr(block * blockSize, blockSize), c.crcMode))
            << "block " << block + 1;
    }
    ASSERT_TRUE(BuildPacket(uint32_t(blockSize), c.crcMode));
    EXPECT_EQ(PacketBuffer()[0], wire::kEot);
    EXPECT_EQ(updateJob.bytesSent.load(), c.imageSize);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PacketsFromImage,
                         testing::Values(PacketCase{"Crc8", 8, true, 1},
                                         PacketCase{"Sum1000", 1000, false, 8},
                                         PacketCase{"CrcOneOver", 1025, true, 2},
                                         PacketCase{"SumExactBlocks", 384, false, 3},
                                         PacketCase{"SumNumberWraps", 300 * 128 + 5, false, 301}),
                         [](const auto& info) { return std::string(info.param.name); });

// A file that ends before the size announced to the device is a read error, never padding: the
// device would otherwise store SUB bytes as if they were the image.
TEST(ShortImage, EndingBeforeTheAnnouncedSizeFailsInsteadOfPadding) {
    TempDir dir;
    updateJob.identityCheck = false;
    updateJob.result = ResultSuccess;
    ASSERT_TRUE(OpenImage(dir.Write("image.img", PatternBytes(1000, 5)).c_str()));
    ASSERT_TRUE(CheckImageHeader());
    ResetBlockNumber();
    updateJob.bytesSent.store(0);
    updateJob.imageSize.store(1100);
    EXPECT_FALSE(BuildPacket(1024, true));
    EXPECT_EQ(updateJob.result, ResultImageIoError);
    EXPECT_EQ(updateJob.bytesSent.load(), 0u);
    CloseImage();
}

}  // namespace
