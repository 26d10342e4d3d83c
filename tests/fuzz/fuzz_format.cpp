// Arbitrary format strings and arguments into a buffer of arbitrary size.
#include <cstdlib>
#include <cstring>
#include <string>

#include "res/format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 + 4 * 4) return 0;
    const size_t bufferSize = data[0];
    uint32_t args[4];
    memcpy(args, data + 1, sizeof args);
    const size_t count = data[0] % 5;  // 0 to 4 arguments, so markers past the end occur
    const std::string format(reinterpret_cast<const char*>(data) + 17, size - 17);
    char out[256];
    memset(out, 0x55, sizeof out);
    const size_t length = FormatMessage(out, bufferSize, format.c_str(), args, count);
    if (bufferSize == 0) {
        if (out[0] != 0x55) abort();  // nothing written into a zero-sized buffer
        return 0;
    }
    if (length >= bufferSize || out[length] != '\0' || strlen(out) != length) abort();
    if (bufferSize < sizeof out && out[bufferSize] != 0x55) abort();  // nothing past the end
    return 0;
}
