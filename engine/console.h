// The device's console: wake it with ESC, check who and what is listening, announce the image,
// and read the verdict after the transfer. Every exchange sends its command first and then waits,
// without a time limit, until the device answers or the job is cancelled (ResultCancelled).
#pragma once

#include <cstdint>

// Re-applies the port configuration, wakes the console and runs IDENT and VER.
bool ConnectTarget();
bool QueryIdent();
bool QueryVersion();

// Sends "UPDATE <size in upper-case hex>"; true once the device's reply line has no "?".
bool RequestUpdate();

// True when the last line before the device's next prompt is exactly "Done".
bool AwaitUpdateResult();

// The reader behind the IDENT, VER and verdict replies: LF ends a line, CR is ignored, and ">"
// as the first byte of a line is the prompt. Only the first 32 bytes of a line are kept, but its
// full length is counted; the buffer is not cleared between lines.
struct ConsoleLine {
    uint8_t buffer[32];
    uint32_t column;
    uint32_t previousLength;  // length of the last complete line, 0 before the first LF

    void Reset();
    // Takes one received byte; true when it was the prompt.
    bool Take(uint8_t byte);
};
