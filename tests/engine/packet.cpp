#include "packet.h"

#include "xmodem.h"

std::string Packet(uint8_t number, const std::string& data, bool crcMode) {
    const size_t blockSize = crcMode ? 1024 : 128;
    std::string block = data;
    block.resize(blockSize, char(xmodem::SUB));
    std::string packet;
    packet += char(crcMode ? xmodem::STX : xmodem::SOH);
    packet += char(number);
    packet += char(255 - number);
    packet += block;
    const auto* bytes = reinterpret_cast<const uint8_t*>(block.data());
    if (crcMode) {
        const uint16_t crc = Crc16Xmodem(bytes, uint32_t(blockSize));
        packet += char(crc >> 8);
        packet += char(crc & 0xFF);
    } else {
        packet += char(Checksum8(bytes, uint32_t(blockSize)));
    }
    return packet;
}
