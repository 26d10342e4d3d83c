// The ports a many-board run names: each --port as given, a range such as COM3-COM8, or a glob
// over device names such as '/dev/serial/by-id/usb-FTDI_*'.
#pragma once

#include <string>
#include <vector>

// Expands every name in `given`, in order, into *ports. False with *error (one line, no newline)
// for a range that is not COMa-COMb with a <= b, a pattern that matches nothing, or one device
// reached twice (a by-id link and its ttyUSB, or a name given twice): nothing has been opened.
bool ExpandPorts(const std::vector<std::string>& given, std::vector<std::string>* ports,
                 std::string* error);
