// The host's end of the simulated device's line, driven with plain POSIX calls, and XMODEM
// packets built by hand.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace simtest {

constexpr char kEsc = 0x1B;
constexpr char kAck = 0x06;
constexpr char kNak = 0x15;
constexpr char kCan = 0x18;
constexpr char kEot = 0x04;

// Opens a terminal the way the host does (non-blocking, raw, 115200).
class HostPort {
  public:
    explicit HostPort(const std::string& path);
    ~HostPort();
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    const std::string& Error() const { return error_; }

    // Writes every byte (waiting with poll while the line is full); false on failure.
    bool Write(std::string_view bytes);
    bool Write(std::span<const uint8_t> bytes);

    // Reads until `count` bytes have arrived or `timeoutMs` has passed; returns what came.
    std::string Read(size_t count, int timeoutMs = 3000);

    // Reads up to and including the first `stop`, or what came before the deadline.
    std::string ReadThrough(char stop, int timeoutMs = 3000);

    void Close();

  private:
    int fd_ = -1;
    std::string error_;
};

// One XMODEM packet: SOH (128-byte block, sum) or STX (1024-byte block, CRC-16 high byte first),
// the data cut or padded with `pad` to the block size.
std::vector<uint8_t> Packet(bool crc, uint8_t number, std::span<const uint8_t> data,
                            uint8_t pad = 0x1A);
// The same with the block size (128: SOH, 1024: STX) and the check chosen apart, as an
// XMODEM-1K sender mixes them.
std::vector<uint8_t> Packet(size_t blockSize, bool crc, uint8_t number,
                            std::span<const uint8_t> data, uint8_t pad = 0x1A);

std::string AsString(std::span<const uint8_t> bytes);

// A new empty folder under the system's temporary folder; empty when it could not be made.
std::string MakeTemporaryFolder(const std::string& stem);

// Bytes 0, 1, 2, ... with a twist so that equal blocks do not look alike.
std::vector<uint8_t> Pattern(size_t size);

}  // namespace simtest
