// --list-ports: COM1..COM12, what each name opens and whether an update could use it now, then
// the serial devices present that a name could be mapped to.
#pragma once

#include <string>

#include "cli/output.h"
#include "res/port_advice.h"

struct PortReport {
    std::string name;         // "COM3"
    std::string device;       // what the name resolves to: the alias or /dev/ttyS<n-1>
    bool viaAlias = false;    // device is the user's alias of the name
    std::string aliasTarget;  // where that alias points, when it is a link
    PortState state = PortState::Failed;
    int error = 0;  // errno behind a state other than Usable
};

// Resolves `name` and tries to open it the way an update would (and closes it at once).
// Opening a real port may pulse its DTR line, as any program that opens it does.
PortReport ProbePort(const char* name);

// A table of all twelve ports and one of the devices found in `deviceFolder` (see
// ScanSerialDevices), or one JSON object per port and per device.
void WritePortList(TextOutput& out, bool json, const std::string& deviceFolder);
