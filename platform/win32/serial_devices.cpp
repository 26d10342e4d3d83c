// The serial devices of a Windows machine: no scan yet, and no group to join to open a port.
#include "platform/serial_devices.h"

#include <errno.h>

std::string SerialDeviceFolder() {
    return "";
}

SerialDeviceScan ScanSerialDevices(const std::string&) {
    return {};
}

int LookAtTerminal(const char*, bool* held) {
    *held = false;
    return ENOTSUP;
}

const PortPermission& PortPermissionHelp() {
    static const PortPermission help = {"", "", ""};
    return help;
}

const char* SerialDeviceExamples() {
    return "COM3";
}
