// The bytes of the console and of XMODEM as the tests and benchmarks write and expect them.
// Spelled out here rather than taken from engine/xmodem.h, so that a wrong value in the engine
// cannot agree with the test that checks it.
#pragma once

#include <string>

namespace wire {

constexpr char kSoh = 0x01;    // starts a packet of a 128-byte block
constexpr char kStx = 0x02;    // starts a packet of a 1024-byte block
constexpr char kEot = 0x04;    // the sender's end of transmission
constexpr char kAck = 0x06;    // the receiver took the packet
constexpr char kNak = 0x15;    // send it again; as the first byte: checksum mode
constexpr char kCan = 0x18;    // ends the transfer (two in a row, from a sender)
constexpr char kSub = 0x1A;    // pads the last block
constexpr char kEsc = 0x1B;    // wakes the device's console
constexpr char kCrcAsk = 'C';  // the receiver's first byte in CRC mode

// `count` copies of `byte`, for building what goes over the line.
inline std::string Bytes(char byte, size_t count = 1) {
    return std::string(count, byte);
}

}  // namespace wire
