#include "cli/port_patterns.h"

#include <map>

#include "platform/platform.h"
#include "platform/port_names.h"
#include "platform/process.h"

namespace {

bool IsPattern(const std::string& name) {
    return name.find_first_of("*?[") != std::string::npos;
}

// "COM3-COM8": 3 and 8; false when `name` is no range.
bool ComRange(const std::string& name, int* first, int* last) {
    const size_t dash = name.find('-');
    if (dash == std::string::npos || name.find('/') != std::string::npos) return false;
    *first = ComPortNumber(name.substr(0, dash).c_str());
    *last = ComPortNumber(name.substr(dash + 1).c_str());
    return true;
}

}  // namespace

bool ExpandPorts(const std::vector<std::string>& given, std::vector<std::string>* ports,
                 std::string* error) {
    ports->clear();
    for (const std::string& name : given) {
        int first = 0;
        int last = 0;
        if (ComRange(name, &first, &last)) {
            if (first == 0 || last == 0 || first > last) {
                *error = "a range of ports runs from COMa to COMb with a <= b, not '" + name + "'";
                return false;
            }
            for (int n = first; n <= last; ++n)
                ports->push_back(ComPortName(n));
        } else if (IsPattern(name)) {
            const std::vector<std::string> found = MatchDeviceNames(name.c_str());
            if (found.empty()) {
                *error = "no device matches '" + name + "'";
                return false;
            }
            ports->insert(ports->end(), found.begin(), found.end());
        } else {
            ports->push_back(name);
        }
    }
    // Two jobs on one device would fight over it; say which names meet before anything starts.
    std::map<std::string, std::string> seen;
    for (const std::string& port : *ports) {
        char device[4096];
        if (!ResolvePortName(port.c_str(), device, sizeof device)) {
            *error = "the port name is too long: '" + port + "'";
            return false;
        }
        std::string key = DeviceKey(device);
        if (key.empty()) key = std::string("name:") + device;
        const auto [at, added] = seen.emplace(key, port);
        if (!added) {
            *error = at->second == port ? "port '" + port + "' is named twice"
                                        : "'" + at->second + "' and '" + port +
                                              "' are the same device (" + device + ")";
            return false;
        }
    }
    return true;
}
