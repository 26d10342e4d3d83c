// XMODEM packets as a receiver expects them, built here from the block's data for comparing
// with what the engine sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The packet the engine must send for block `number` holding `data` (padded with SUB). Its CRC is
// ReferenceCrc16's and its sum is added up here, so a packet the engine gets wrong cannot match it
// by sharing the mistake.
std::string Packet(uint8_t number, const std::string& data, bool crcMode);

// CRC-16/XMODEM the slow way, one bit at a time, as a reference for the engine's sliced one.
uint16_t ReferenceCrc16(const uint8_t* data, size_t count);
