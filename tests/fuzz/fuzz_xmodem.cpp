// Arbitrary receiver bytes after a console that accepted the image.
#include <cstring>
#include <vector>

#include "tests/fuzz/fuzz_job.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<uint8_t> line;
    const size_t head = strlen(kAcceptingConsole);
    line.assign(kAcceptingConsole, kAcceptingConsole + head);
    line.insert(line.end(), data, data + size);
    RunJobAgainst(line.data(), line.size());
    return 0;
}
