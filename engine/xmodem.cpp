#include "engine/xmodem.h"

#include <cstring>

#include "engine/image_file.h"
#include "engine/serial_link.h"
#include "engine/update_job.h"

using namespace xmodem;

namespace {

uint8_t packet[kMaxPacket];
uint8_t blockNumber = 1;

void SendCancel() {
    SendByte(CAN);
    SendByte(CAN);
}

bool Fail(UpdateResult result) {
    updateJob.result = result;
    return false;
}

}  // namespace

namespace {
// Slicing by eight: entry[k][b] is the CRC of byte b followed by k zero bytes, so eight data bytes
// fold into the CRC with eight independent lookups instead of a chain of eight dependent ones.
// The check is the largest part of the sender's own work per block.
struct CrcTables {
    uint16_t entry[8][256];
};

constexpr CrcTables kCrc = [] {
    CrcTables tables{};
    for (int byte = 0; byte < 256; ++byte) {
        uint16_t crc = uint16_t(byte << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
        }
        tables.entry[0][byte] = crc;
    }
    for (int k = 1; k < 8; ++k) {
        for (int byte = 0; byte < 256; ++byte) {
            const uint16_t before = tables.entry[k - 1][byte];
            tables.entry[k][byte] = uint16_t((before << 8) ^ tables.entry[0][before >> 8]);
        }
    }
    return tables;
}();
}  // namespace

uint16_t Crc16Xmodem(const uint8_t* data, uint32_t count) {
    const auto& t = kCrc.entry;
    uint32_t crc = 0;
    for (; count >= 8; count -= 8, data += 8) {
        crc = t[7][(crc >> 8) ^ data[0]] ^ t[6][(crc & 0xFF) ^ data[1]] ^ t[5][data[2]] ^
              t[4][data[3]] ^ t[3][data[4]] ^ t[2][data[5]] ^ t[1][data[6]] ^ t[0][data[7]];
    }
    for (; count > 0; --count, ++data) {
        crc = ((crc << 8) ^ t[0][(crc >> 8) ^ *data]) & 0xFFFF;
    }
    return uint16_t(crc);
}

uint8_t Checksum8(const uint8_t* data, uint32_t count) {
    uint8_t sum = 0;
    for (uint32_t i = 0; i < count; ++i)
        sum = uint8_t(sum + data[i]);
    return sum;
}

const uint8_t* PacketBuffer() {
    return packet;
}

void ResetBlockNumber() {
    blockNumber = 1;
}

bool BuildPacket(uint32_t blockSize, bool crcMode) {
    // Never more than the announced size: the device was told imageSize bytes, and a file that
    // grew under the job must not make the transfer longer.
    const uint32_t size = updateJob.imageSize.load(std::memory_order_relaxed);
    const uint32_t sent = updateJob.bytesSent.load(std::memory_order_relaxed);
    const uint32_t left = size - sent;
    const uint32_t want = left < blockSize ? left : blockSize;
    if (want == 0) {
        packet[0] = EOT;
        return true;
    }
    uint8_t* data = packet + 3;
    const int32_t got = ReadImage(data, want);
    // A short read means the file shrank under the job; sending padding in place of the missing
    // bytes would corrupt the device, so it fails like a read error.
    if (got != int32_t(want)) return Fail(ResultImageIoError);

    packet[0] = blockSize == 128 ? SOH : STX;
    packet[1] = blockNumber;
    packet[2] = uint8_t(255 - blockNumber);
    if (want < blockSize) memset(data + want, SUB, blockSize - want);
    if (crcMode) {
        const uint16_t crc = Crc16Xmodem(data, blockSize);
        data[blockSize] = uint8_t(crc >> 8);
        data[blockSize + 1] = uint8_t(crc);
    } else {
        data[blockSize] = Checksum8(data, blockSize);
    }
    updateJob.bytesSent.store(sent + want, std::memory_order_relaxed);
    ++blockNumber;
    return true;
}

bool SendImage() {
    ResetBlockNumber();
    if (!SetPortTimeouts(kPortTimeoutMs)) return Fail(ResultPortIoError);

    bool crcMode = false;
    for (uint8_t byte = 0;;) {
        if (CancelRequested()) return Fail(ResultCancelled);
        if (!ReceiveByte(&byte)) {
            if (PortGone()) return false;
            continue;
        }
        if (byte == CRC_REQUEST || byte == NAK) {
            crcMode = byte == CRC_REQUEST;
            break;
        }
    }
    const uint32_t blockSize = crcMode ? 1024 : 128;
    const uint32_t packetLength = 3 + blockSize + (crcMode ? 2 : 1);

    if (!BuildPacket(blockSize, crcMode)) {
        SendCancel();
        return false;
    }
    while (packet[0] != EOT) {
        SendBytes(packet, packetLength);
        for (uint8_t reply = 0;;) {
            if (CancelRequested()) {
                SendCancel();
                return Fail(ResultCancelled);
            }
            if (!ReceiveByte(&reply)) {
                if (PortGone()) return false;  // nobody left to hear a CAN
                continue;
            }
            if (reply == NAK) break;  // the same packet again
            if (reply == CAN) return Fail(ResultTransferFail);
            if (reply == ACK) {
                if (!BuildPacket(blockSize, crcMode)) {
                    SendCancel();
                    return false;
                }
                break;
            }
        }
    }

    SendByte(EOT);
    for (uint8_t reply = 0;;) {
        if (CancelRequested()) {
            SendCancel();
            return Fail(ResultCancelled);
        }
        if (!ReceiveByte(&reply)) {
            if (PortGone()) return false;
            continue;
        }
        if (reply == ACK) return true;
        if (reply == NAK) SendByte(EOT);
        if (reply == CAN) return Fail(ResultTransferFail);
    }
}
