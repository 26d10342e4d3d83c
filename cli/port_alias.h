// --map and --unmap: the user's links $XDG_CONFIG_HOME/quorvane/ports/COMn that give port names
// a device each (platform/port_alias.h keeps them).
#pragma once

#include <string>

// A DEVICE that does not exist, cannot be opened or is not a terminal: nothing was changed.
constexpr int kExitDeviceRefused = 66;
// The link could not be made or removed (something other than a link is in its place, or the
// folder cannot be made): nothing was changed.
constexpr int kExitAliasFailed = 73;
// The system names its ports itself (Windows): there are no aliases.
constexpr int kExitAliasUnavailable = 69;

struct AliasOutcome {
    int exitCode = 0;
    std::string out;  // what was done, for stdout
    std::string err;  // why nothing was done, or a note, for stderr
};

// Points the alias of `name` (one of COM1..COM255) at `device`. A relative device path is taken
// from `workingDirectory` (refused when that is empty), since a link's target is read from the
// link's own folder. The device is opened read-only (no controlling terminal, no wait for carrier)
// and must be a terminal; a terminal another program holds exclusively is accepted. An existing
// link is replaced in one step; anything else in its place is left alone and refused. A link
// that would lead back to itself is refused and the old one put back.
AliasOutcome MapPort(const char* name, const char* device, const std::string& workingDirectory);

// Removes the alias of `name` when it is a link; a missing one is no error.
AliasOutcome UnmapPort(const char* name);
