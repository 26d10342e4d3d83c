#include "tests/engine/packet.h"

#include "tests/support/xmodem_bytes.h"

uint16_t ReferenceCrc16(const uint8_t* data, size_t count) {
    uint16_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        crc = uint16_t(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
        }
    }
    return crc;
}

std::string Packet(uint8_t number, const std::string& data, bool crcMode) {
    const size_t blockSize = crcMode ? 1024 : 128;
    std::string block = data;
    block.resize(blockSize, wire::kSub);
    std::string packet;
    packet += crcMode ? wire::kStx : wire::kSoh;
    packet += char(number);
    packet += char(255 - number);
    packet += block;
    const auto* bytes = reinterpret_cast<const uint8_t*>(block.data());
    if (crcMode) {
        const uint16_t crc = ReferenceCrc16(bytes, blockSize);
        packet += char(crc >> 8);
        packet += char(crc & 0xFF);
    } else {
        uint8_t sum = 0;
        for (size_t i = 0; i < blockSize; ++i)
            sum = uint8_t(sum + bytes[i]);
        packet += char(sum);
    }
    return packet;
}
