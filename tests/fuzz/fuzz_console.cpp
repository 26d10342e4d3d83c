// Arbitrary device bytes from the first byte on: wake-up, IDENT, VER, UPDATE, transfer, verdict.
#include "tests/fuzz/fuzz_job.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RunJobAgainst(data, size);
    return 0;
}
