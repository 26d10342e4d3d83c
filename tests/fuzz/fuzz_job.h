// Runs whole update jobs against the in-memory serial port: the fuzzer's bytes are everything
// the device says. A job that outlives its input is cancelled after a budget of silent reads, so
// every input ends, and ends with one of the results a front end knows.
#pragma once

#include <cstddef>
#include <cstdint>

// The canned console side of a device that accepts the image (identity, version, UPDATE), for
// targets that start at the transfer.
extern const char kAcceptingConsole[];

// Runs one job on this thread with `deviceBytes` as the device's side of the line; aborts (a
// finding) when the outcome breaks one of the engine's promises.
void RunJobAgainst(const uint8_t* deviceBytes, size_t size);
