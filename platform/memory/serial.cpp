#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "platform/memory/memory_port.h"
#include "platform/platform.h"

namespace {

constexpr int kPort = 3;
const uint8_t* input = nullptr;
size_t inputSize = 0;
size_t inputAt = 0;
void (*onSilence)(void*) = nullptr;
void* silenceContext = nullptr;
uint8_t written[4096];
size_t writtenCount = 0;
bool open = false;

}  // namespace

void MemoryPortLoad(const uint8_t* data, size_t size) {
    input = data;
    inputSize = size;
    inputAt = 0;
    writtenCount = 0;
}

void MemoryPortOnSilence(void (*callback)(void*), void* context) {
    onSilence = callback;
    silenceContext = context;
}

size_t MemoryPortWrittenCount() {
    return writtenCount;
}

const uint8_t* MemoryPortWritten(size_t* kept) {
    *kept = writtenCount < sizeof written ? writtenCount : sizeof written;
    return written;
}

bool PortAliasPath(const char* name, char* path, size_t size) {
    const int n = snprintf(path, size, "memory:%s", name);
    return n >= 0 && size_t(n) < size;
}

bool ResolvePortName(const char* name, char* device, size_t size) {
    return PortAliasPath(name, device, size);
}

int OpenSerialPort(const char* /*device*/, int* error) {
    if (open) {
        *error = EBUSY;
        return -1;
    }
    open = true;
    return kPort;
}

long SerialPortLockOwner(const char*, char*, size_t) {
    return 0;
}

void ReleaseSerialPortHolds() {}

bool ConfigureSerialPort(int port, int* error) {
    if (port != kPort || !open) {
        *error = EBADF;
        return false;
    }
    return true;
}

bool SetSerialTimeouts(int port, uint32_t, uint32_t, uint32_t) {
    return port == kPort && open;
}

int32_t WriteSerialPort(int port, const void* data, uint32_t count) {
    if (port != kPort || !open) return -1;
    for (uint32_t i = 0; i < count; ++i, ++writtenCount) {
        if (writtenCount < sizeof written)
            written[writtenCount] = static_cast<const uint8_t*>(data)[i];
    }
    return int32_t(count);
}

int ReadSerialPort(int port, uint8_t* value, int* error) {
    if (port != kPort || !open) {
        *error = EBADF;
        return -1;
    }
    if (inputAt < inputSize) {
        *value = input[inputAt++];
        return 1;
    }
    if (onSilence != nullptr) onSilence(silenceContext);
    return 0;
}

bool CloseSerialPort(int port) {
    if (port != kPort || !open) return false;
    open = false;
    return true;
}
