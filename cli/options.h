// The command line of quorvane-cli: what it asks for, checked before anything is opened.
#pragma once

#include <cstdint>
#include <string>

extern const char kSynopsis[];

// The whole of --help: the synopsis, every option and exit status, and how to get permission to
// open a port on this system.
std::string UsageText();

struct Options {
    const char* image = nullptr;
    const char* portName = "COM1";  // "COM1".."COM255", or the device path given
    int32_t portIndex = 0;          // the number of COMn less one
    const char* portDevice = nullptr;
    const char* identity = nullptr;  // --expect-identity, 8 characters
    bool json = false;
    bool check = false;  // --check: identify the device only, no image
    bool listPorts = false;
    const char* mapName = nullptr;    // --map COMn=DEVICE or --unmap COMn
    const char* mapDevice = nullptr;  // null for --unmap
};

// What the command line asks for; Bad has already been explained on stderr.
enum class Parsed { Run, ListPorts, Map, Unmap, Help, Version, Bad };

// Fills `options` from the arguments. Touches no file or port; on Bad, stderr says why.
Parsed ParseArguments(int argc, char** argv, Options* options);
