#include "platform/serial_devices.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>

#include "platform/platform.h"

namespace {

// Names in `folder`, or none when it cannot be read (a machine without /dev/serial is normal).
std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
}

// The number after `prefix` when the name is the prefix and digits only; -1 otherwise.
long NumberAfter(const std::string& name, const std::string& prefix) {
    if (!name.starts_with(prefix) || name.size() == prefix.size()) return -1;
    if (name.size() - prefix.size() > 6) return -1;
    long number = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') return -1;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

bool Held(int error) {
    return error == EBUSY || error == EWOULDBLOCK;
}

// Opens the device as an update would (so a port another program holds, by any of the means the
// platform honours, reads as held), asks a built-in port whether a UART is behind it, and closes.
// The errno that says why it cannot be used, 0 when it can.
int ProbeDevice(const std::string& path, bool builtIn) {
    int error = 0;
    const int port = OpenSerialPort(path.c_str(), &error);
    if (port < 0) return error;
    // The handle is the descriptor here. Only ttyS names are asked: USB drivers that answer the
    // request (cdc-acm) leave the type unknown, and pseudo-terminals fail it.
    serial_struct serial{};
    if (builtIn && ioctl(port, TIOCGSERIAL, &serial) == 0 && serial.type == PORT_UNKNOWN) {
        error = ENODEV;
    }
    CloseSerialPort(port);
    return error;
}

}  // namespace

std::string SerialDeviceFolder() {
    const char* folder = std::getenv("QUORVANE_DEVICE_DIR");
    if (folder != nullptr && folder[0] == '/') return folder;
    return "/dev";
}

SerialDeviceScan ScanSerialDevices(const std::string& folder) {
    SerialDeviceScan scan;
    // A by-id name and the kernel name it leads to are one device: it is opened once.
    std::map<std::string, int> probed;
    auto probeOnce = [&probed](const std::string& path) {
        char real[PATH_MAX];
        const std::string key = realpath(path.c_str(), real) != nullptr ? real : path;
        auto found = probed.find(key);
        if (found == probed.end()) {
            const bool builtIn = key.substr(key.rfind('/') + 1).starts_with("ttyS");
            found = probed.emplace(key, ProbeDevice(path, builtIn)).first;
        }
        return found->second;
    };

    const std::string byId = folder + "/serial/by-id";
    std::vector<std::string> ids = Entries(byId);
    std::sort(ids.begin(), ids.end());
    for (const std::string& name : ids) {
        SerialDevice device;
        device.path = byId + "/" + name;
        char real[PATH_MAX];
        if (realpath(device.path.c_str(), real) != nullptr) device.target = real;
        device.error = probeOnce(device.path);
        scan.devices.push_back(std::move(device));
    }

    const std::vector<std::string> names = Entries(folder);
    for (const std::string prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
        std::vector<std::pair<long, std::string>> numbered;
        for (const std::string& name : names) {
            const long number = NumberAfter(name, prefix);
            if (number >= 0) numbered.emplace_back(number, name);
        }
        std::sort(numbered.begin(), numbered.end());
        const bool builtIn = prefix == "ttyS";
        for (const auto& [number, name] : numbered) {
            SerialDevice device;
            device.path = folder + "/" + name;
            device.error = probeOnce(device.path);
            if (builtIn) {
                if (device.error == EACCES || device.error == EPERM) {
                    ++scan.uncheckedBuiltIn;
                    continue;
                }
                if (device.error != 0 && !Held(device.error)) continue;
            }
            scan.devices.push_back(std::move(device));
        }
    }
    return scan;
}

int LookAtTerminal(const char* device, bool* held) {
    *held = false;
    const int fd = open(device, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        // Only a terminal refuses a second opener with EBUSY (TIOCEXCL).
        struct stat info {};
        if (error == EBUSY && stat(device, &info) == 0 && S_ISCHR(info.st_mode)) {
            *held = true;
            return 0;
        }
        return error;
    }
    const bool terminal = isatty(fd) == 1;
    // Root opens a terminal past another program's exclusive flag; it is held all the same.
    int exclusive = 0;
    const bool flagged = terminal && ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
    close(fd);
    if (!terminal) return ENOTTY;
    char lockFile[512];
    *held = flagged || SerialPortLockOwner(device, lockFile, sizeof lockFile) != 0;
    return 0;
}

const PortPermission& PortPermissionHelp() {
    static const PortPermission help = {
        "dialout group",
        "Serial ports belong to the dialout group",
        "sudo usermod -aG dialout $USER, then log in again",
    };
    return help;
}

const char* SerialDeviceExamples() {
    return "/dev/ttyUSB0, /dev/ttyACM0 or /dev/serial/by-id/...";
}
