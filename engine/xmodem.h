// The XMODEM sender: 1024-byte blocks with CRC-16 when the receiver asks with "C", 128-byte
// blocks with an 8-bit sum when it asks with NAK. No retry limit and no timeout of its own: it
// runs until the receiver acknowledges the end, cancels, or the job is cancelled.
#pragma once

#include <cstdint>

namespace xmodem {
constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t CRC_REQUEST = 'C';
constexpr uint8_t SUB = 0x1A;
constexpr uint32_t kMaxPacket = 3 + 1024 + 2;
}  // namespace xmodem

// Sends the whole image. Stores ResultCancelled, ResultImageIoError, ResultPortIoError or
// ResultTransferFail on failure.
bool SendImage();

// Fills the packet buffer with the next block of the image, or with EOT once all imageSize bytes
// have gone into blocks. Stores ResultImageIoError when a read fails or the image ends early.
bool BuildPacket(uint32_t blockSize, bool crcMode);

// The packet BuildPacket filled last (for tests of the framing).
const uint8_t* PacketBuffer();

// Starts a new transfer's numbering at block 1 (SendImage does this itself).
void ResetBlockNumber();

// CRC-16/XMODEM: polynomial 0x1021, initial 0, most significant bit first, no final XOR.
uint16_t Crc16Xmodem(const uint8_t* data, uint32_t count);

// Sum of the bytes modulo 256.
uint8_t Checksum8(const uint8_t* data, uint32_t count);
