// XMODEM packets as a receiver expects them, built here from the block's data for comparing
// with what the engine sends.
#pragma once

#include <cstdint>
#include <string>

// The packet the engine must send for block `number` holding `data` (padded with SUB).
std::string Packet(uint8_t number, const std::string& data, bool crcMode);
