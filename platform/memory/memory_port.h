// Controls for the in-memory serial port that fuzz builds link in place of real devices.
// Every port name opens the same port; what the "device" says comes from one buffer, and what
// the host writes is counted and kept in part.
#pragma once

#include <cstddef>
#include <cstdint>

// The bytes the device sends, read in order; past their end the line is silent. The buffer must
// stay valid while the port is used.
void MemoryPortLoad(const uint8_t* data, size_t size);

// Called on every read that finds the line silent; a harness counts them and cancels the job
// after a budget, so no input can keep a job waiting for ever.
void MemoryPortOnSilence(void (*callback)(void* context), void* context);

// How many bytes the host has written since the last load, and the first of them.
size_t MemoryPortWrittenCount();
const uint8_t* MemoryPortWritten(size_t* kept);
