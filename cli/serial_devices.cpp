#include "cli/serial_devices.h"

#include <dirent.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
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

struct Probe {
    PortState state = PortState::Failed;
    int error = 0;
};

// Opens the device as an update would (so a port another program holds, by any of the means the
// platform honours, reads as held), asks a built-in port whether a UART is behind it, and closes.
Probe ProbeDevice(const std::string& path, bool builtIn) {
    Probe probe;
    const int port = OpenSerialPort(path.c_str(), &probe.error);
    if (port < 0) {
        probe.state = StateOfError(probe.error);
        return probe;
    }
    // The handle is the descriptor here. Only ttyS names are asked: USB drivers that answer the
    // request (cdc-acm) leave the type unknown, and pseudo-terminals fail it.
    serial_struct serial{};
    if (builtIn && ioctl(port, TIOCGSERIAL, &serial) == 0 && serial.type == PORT_UNKNOWN) {
        probe.error = ENODEV;
        probe.state = PortState::Missing;
    } else {
        probe.state = PortState::Usable;
    }
    CloseSerialPort(port);
    return probe;
}

}  // namespace

std::string DeviceFolder() {
    const char* folder = std::getenv("QUORVANE_DEVICE_DIR");
    if (folder != nullptr && folder[0] == '/') return folder;
    return "/dev";
}

DeviceSurvey SurveySerialDevices(const std::string& folder) {
    DeviceSurvey survey;
    // A by-id name and the kernel name it leads to are one device: it is opened once.
    std::map<std::string, Probe> probed;
    auto probeOnce = [&probed](const std::string& path) -> const Probe& {
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
        DeviceReport report;
        report.path = byId + "/" + name;
        char real[PATH_MAX];
        if (realpath(report.path.c_str(), real) != nullptr) report.target = real;
        const Probe& probe = probeOnce(report.path);
        report.state = probe.state;
        report.error = probe.error;
        survey.devices.push_back(std::move(report));
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
            DeviceReport report;
            report.path = folder + "/" + name;
            const Probe& probe = probeOnce(report.path);
            if (builtIn) {
                if (probe.state == PortState::PermissionDenied) {
                    ++survey.uncheckedSerial;
                    continue;
                }
                if (probe.state != PortState::Usable && probe.state != PortState::Busy) continue;
            }
            report.state = probe.state;
            report.error = probe.error;
            survey.devices.push_back(std::move(report));
        }
    }
    return survey;
}
