// Check values of XMODEM blocks, for the simulated device and for tests that build packets by hand.
#pragma once

#include <cstdint>
#include <span>

namespace sim {

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, most significant bit first, no reflection,
// no final XOR. "123456789" gives 0x31C3.
constexpr uint16_t Crc16Xmodem(std::span<const uint8_t> data) {
    uint16_t crc = 0;
    for (const uint8_t byte : data) {
        crc = uint16_t(crc ^ (uint16_t(byte) << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
        }
    }
    return crc;
}

// The classic 8-bit check: the sum of the bytes modulo 256.
constexpr uint8_t Sum8(std::span<const uint8_t> data) {
    uint8_t sum = 0;
    for (const uint8_t byte : data)
        sum = uint8_t(sum + byte);
    return sum;
}

}  // namespace sim
