// What a person can do about a job that failed: the remedy lines printed under the result text.
#pragma once

#include <cstdint>
#include <string>

#include "engine/update_job.h"

struct JobDescription {
    const char* image = nullptr;
    const char* portName = "COM1";      // as given: "COM3" or a device path
    const char* portDevice = nullptr;   // set when a device path was given
    const uint8_t* identity = nullptr;  // the 8 bytes the job checked for, when it checked
    // What the port name led to when the job started (a link may be gone by its end); when
    // null, the name is resolved again.
    const char* resolvedDevice = nullptr;
};

// The record as it stands after the worker has ended: its stage, result and errno.
struct JobEnd {
    uint32_t exitCode;
    UpdateStage stage;
    UpdateResult recordResult;
    int systemError;
    bool portGone = false;  // the port's device went away while the job held it
};

// Lines (each ending in '\n', each starting "quorvane-cli: ") that explain `end` beyond its
// result text; empty when there is nothing to add.
std::string Remedy(const JobDescription& job, const JobEnd& end);
