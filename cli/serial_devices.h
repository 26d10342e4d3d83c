// The serial devices present on this machine, for --list-ports: what a person can map a COMn to.
#pragma once

#include <string>
#include <vector>

#include "cli/port_list.h"

struct DeviceReport {
    std::string path;    // "/dev/serial/by-id/usb-FTDI_..." or "/dev/ttyUSB0"
    std::string target;  // for a by-id name: the device it leads to now; else ""
    PortState state = PortState::Failed;
    int error = 0;  // errno behind a state other than Usable
};

struct DeviceSurvey {
    std::vector<DeviceReport> devices;
    int uncheckedSerial = 0;  // ttyS ports that could not be opened to see if hardware is there
};

// Where the kernel's device names live: $QUORVANE_DEVICE_DIR when it is an absolute path (for
// trials with pseudo-terminals), else /dev.
std::string DeviceFolder();

// Looks in `folder` for serial/by-id/* (sorted by name), then ttyUSB*, ttyACM* and ttyS* (each
// sorted by number). A ttyUSB or ttyACM name is listed whatever opening it says; a ttyS name only
// when it answers like a port with hardware behind it (it opens, takes tcgetattr, and the driver
// does not call its UART unknown), since the kernel makes ttyS names whether or not a UART is
// there. Each device is opened and closed at once, which may pulse its DTR line.
DeviceSurvey SurveySerialDevices(const std::string& folder);
