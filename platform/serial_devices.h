// The serial devices of this machine as a person meets them: which are present, what a device
// named for an alias is, and what this system asks of a person before they may open one.
#pragma once

#include <string>
#include <vector>

struct SerialDevice {
    std::string path;    // "/dev/serial/by-id/usb-FTDI_..." or "/dev/ttyUSB0"
    std::string target;  // for a stable name (by-id): the device it leads to now; else ""
    int error = 0;       // errno from opening it as an update would; 0 when it opened
};

struct SerialDeviceScan {
    std::vector<SerialDevice> devices;
    int uncheckedBuiltIn = 0;  // built-in ports that could not be opened to see if they are there
};

// Where the scan looks: POSIX, $QUORVANE_DEVICE_DIR when it is an absolute path (for trials with
// pseudo-terminals), else /dev.
std::string SerialDeviceFolder();

// The serial devices in `folder`, each opened as an update would and closed at once (which may
// pulse its DTR line). POSIX: serial/by-id/* (sorted by name), then ttyUSB*, ttyACM* and ttyS*
// (each sorted by number). A ttyUSB or ttyACM name is listed whatever opening it says; a ttyS name
// only when it answers like a port with hardware behind it (it opens, or another program holds it,
// and the driver does not call its UART unknown): the kernel makes ttyS names for every UART it
// might have. A by-id name and the device it leads to are opened once.
SerialDeviceScan ScanSerialDevices(const std::string& folder);

// Looks at `device` read-only, without becoming its controlling terminal, waiting for carrier or
// holding it: 0 for a terminal (*held when another program holds it now, by its exclusive flag, a
// live lock file or refusing a second opener), ENOTTY for something else that opens, else why it
// did not open.
int LookAtTerminal(const char* device, bool* held);

// How a person gets permission to open serial ports on this system; every field "" where there
// is nothing to do.
struct PortPermission {
    const char* group;    // the few words a port list has room for: "dialout group"
    const char* reason;   // "Serial ports belong to the dialout group"
    const char* command;  // "sudo usermod -aG dialout $USER, then log in again"
};
const PortPermission& PortPermissionHelp();

// A few names of serial devices here, for a person who named something else ("/dev/ttyUSB0,
// /dev/ttyACM0 or /dev/serial/by-id/...").
const char* SerialDeviceExamples();
