#include "engine/serial_link.h"

#include <cstdio>

#include "engine/update_job.h"
#include "platform/platform.h"

namespace {
int port = -1;
char portName[16];
char portDevicePath[4096];

// A device that reads as gone this long, without a byte or a silent read between, has gone.
constexpr uint32_t kGoneForMs = 1000;
bool goneSeen = false;
uint32_t goneSinceMs = 0;
bool gone = false;
}  // namespace

bool OpenPort(int32_t portIndex) {
    const char* device = updateJob.portDevice;
    if (device == nullptr) {
        snprintf(portName, sizeof portName, "COM%ld", long(portIndex) + 1);
        if (!ResolvePortName(portName, portDevicePath, sizeof portDevicePath)) {
            updateJob.systemError = 0;
            return false;
        }
        device = portDevicePath;
    }
    goneSeen = gone = false;
    port = OpenSerialPort(device, &updateJob.systemError);
    if (port < 0) return false;
    if (!ConfigurePort() || !SetPortTimeouts(kPortTimeoutMs)) {
        ClosePort();
        return false;
    }
    return true;
}

bool ConfigurePort() {
    return ConfigureSerialPort(port, &updateJob.systemError) && SetPortTimeouts(kPortTimeoutMs);
}

bool SetPortTimeouts(uint32_t totalConstantMs) {
    return SetSerialTimeouts(port, totalConstantMs, 1, totalConstantMs);
}

bool SendByte(uint8_t value) {
    for (;;) {
        const int32_t written = WriteSerialPort(port, &value, 1);
        if (written < 0) return false;
        if (written == 1) return true;
        if (CancelRequested()) return false;
    }
}

int32_t SendBytes(const void* buffer, uint32_t count) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        const int32_t written = WriteSerialPort(port, bytes + done, count - done);
        if (written < 0) return -1;
        done += uint32_t(written);
        if (done < count && CancelRequested()) break;
    }
    return int32_t(done);
}

bool ReceiveByte(uint8_t* value) {
    int error = 0;
    const int got = ReadSerialPort(port, value, &error);
    if (got >= 0) {
        goneSeen = false;
        return got == 1;
    }
    const uint32_t now = TickMs();
    if (!goneSeen) {
        goneSeen = true;
        goneSinceMs = now;
    } else if (!gone && now - goneSinceMs >= kGoneForMs) {
        gone = true;
        updateJob.result = ResultPortIoError;
        updateJob.systemError = error;
        updateJob.portGone = true;
    }
    return false;
}

bool PortGone() {
    return gone;
}

bool ClosePort() {
    const int open = port;
    port = -1;
    return open >= 0 && CloseSerialPort(open);
}
