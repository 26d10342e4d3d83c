// XMODEM packets built by hand, for driving the simulated device from the host's end of its line.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tests/support/xmodem_bytes.h"

namespace simtest {

// One XMODEM packet: SOH (128-byte block, sum) or STX (1024-byte block, CRC-16 high byte first),
// the data cut or padded with `pad` to the block size.
std::vector<uint8_t> Packet(bool crc, uint8_t number, std::span<const uint8_t> data,
                            uint8_t pad = wire::kSub);
// The same with the block size (128: SOH, 1024: STX) and the check chosen apart, as an
// XMODEM-1K sender mixes them.
std::vector<uint8_t> Packet(size_t blockSize, bool crc, uint8_t number,
                            std::span<const uint8_t> data, uint8_t pad = wire::kSub);

std::string AsString(std::span<const uint8_t> bytes);

// A new empty folder under the system's temporary folder; empty when it could not be made.
std::string MakeTemporaryFolder(const std::string& stem);

// Bytes 0, 1, 2, ... with a twist so that equal blocks do not look alike.
std::vector<uint8_t> Pattern(size_t size);

}  // namespace simtest
