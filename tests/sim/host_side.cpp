#include "tests/sim/host_side.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>

#include "sim/xmodem_check.h"
#include "tests/support/xmodem_bytes.h"

namespace simtest {

std::vector<uint8_t> Packet(bool crc, uint8_t number, std::span<const uint8_t> data, uint8_t pad) {
    return Packet(crc ? 1024 : 128, crc, number, data, pad);
}

std::vector<uint8_t> Packet(size_t size, bool crc, uint8_t number, std::span<const uint8_t> data,
                            uint8_t pad) {
    std::vector<uint8_t> packet(3 + size + (crc ? 2 : 1), pad);
    packet[0] = uint8_t(size == 1024 ? wire::kStx : wire::kSoh);
    packet[1] = number;
    packet[2] = uint8_t(255 - number);
    std::copy_n(data.begin(), std::min(size, data.size()), packet.begin() + 3);
    const std::span<const uint8_t> block(packet.data() + 3, size);
    if (crc) {
        const uint16_t check = sim::Crc16Xmodem(block);
        packet[3 + size] = uint8_t(check >> 8);
        packet[4 + size] = uint8_t(check);
    } else {
        packet[3 + size] = sim::Sum8(block);
    }
    return packet;
}

std::string AsString(std::span<const uint8_t> bytes) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::string MakeTemporaryFolder(const std::string& stem) {
    std::error_code error;
    std::string pattern =
        (std::filesystem::temp_directory_path(error) / (stem + "-XXXXXX")).string();
    if (error || mkdtemp(pattern.data()) == nullptr) return {};
    return pattern;
}

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = uint8_t(i * 7 + (i >> 8) * 13);
    return bytes;
}

}  // namespace simtest
