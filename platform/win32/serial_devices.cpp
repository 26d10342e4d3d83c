// The serial devices of a Windows machine: the ports the system lists under
// HARDWARE\DEVICEMAP\SERIALCOMM (wine fills it from its dosdevices links), each opened as an update
// would. Nobody joins a group to open a port here.
#include "platform/serial_devices.h"

#include <errno.h>
#include <windows.h>

#include <algorithm>

#include "platform/platform.h"
#include "platform/port_names.h"

namespace {

// The COM numbers named under SERIALCOMM, sorted, each once.
std::vector<int> ListedPorts() {
    std::vector<int> numbers;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return numbers;
    }
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        char value[64];
        DWORD valueSize = sizeof value - 1;
        DWORD type = 0;
        const LONG result = RegEnumValueA(key, index, name, &nameSize, nullptr, &type,
                                          reinterpret_cast<BYTE*>(value), &valueSize);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ) continue;
        value[valueSize] = '\0';
        const int number = ComPortNumberAnyCase(value);
        if (number > 0) numbers.push_back(number);
    }
    RegCloseKey(key);
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

}  // namespace

std::string SerialDeviceFolder() {
    return "";
}

SerialDeviceScan ScanSerialDevices(const std::string&) {
    SerialDeviceScan scan;
    for (const int number : ListedPorts()) {
        SerialDevice device;
        device.path = ComPortName(number);
        int error = 0;
        const int port = OpenSerialPort(device.path.c_str(), &error);
        if (port >= 0) CloseSerialPort(port);
        device.error = port >= 0 ? 0 : error;
        scan.devices.push_back(device);
    }
    return scan;
}

int LookAtTerminal(const char* device, bool* held) {
    *held = false;
    int error = 0;
    const int port = OpenSerialPort(device, &error);
    if (port >= 0) {
        CloseSerialPort(port);
        return 0;
    }
    // Windows gives a port to one program at a time.
    if (error == EBUSY) {
        *held = true;
        return 0;
    }
    return error;
}

const PortPermission& PortPermissionHelp() {
    static const PortPermission help = {"", "", ""};
    return help;
}

const char* SerialDeviceExamples() {
    return "COM3 or COM15";
}
