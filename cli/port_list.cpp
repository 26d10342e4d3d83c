#include "cli/port_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "cli/json.h"
#include "cli/serial_devices.h"
#include "platform/platform.h"
#include "res/strings.h"

PortState StateOfError(int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return PortState::Missing;
        case ENOTTY:
            return PortState::NotATerminal;
        case EBUSY:
        case EWOULDBLOCK:
            return PortState::Busy;
        case EACCES:
        case EPERM:
            return PortState::PermissionDenied;
        default:
            return PortState::Failed;
    }
}

std::string Printable(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return text;
}

PortReport ProbePort(const char* name) {
    PortReport report;
    report.name = name;
    char device[4096];
    char alias[4096];
    if (!ResolvePortName(name, device, sizeof device)) {
        report.error = ENAMETOOLONG;
        return report;
    }
    report.device = device;
    struct stat link {};
    if (PortAliasPath(name, alias, sizeof alias) && report.device == alias &&
        lstat(alias, &link) == 0) {
        report.viaAlias = true;
        char target[4096];
        const ssize_t length = readlink(alias, target, sizeof target - 1);
        if (length > 0) report.aliasTarget.assign(target, size_t(length));
    }
    int error = 0;
    const int port = OpenSerialPort(device, &error);
    if (port >= 0) {
        CloseSerialPort(port);
        report.state = PortState::Usable;
        return report;
    }
    report.error = error;
    report.state = StateOfError(error);
    return report;
}

const char* StateWord(PortState state) {
    switch (state) {
        case PortState::Usable:
            return "usable";
        case PortState::Missing:
            return "missing";
        case PortState::NotATerminal:
            return "not-a-terminal";
        case PortState::Busy:
            return "busy";
        case PortState::PermissionDenied:
            return "permission-denied";
        case PortState::Failed:
            break;
    }
    return "failed";
}

std::string StateText(const PortReport& report) {
    return StateText(report.state, report.error);
}

std::string StateText(PortState state, int error) {
    switch (state) {
        case PortState::Usable:
            return "usable";
        case PortState::Missing:
            return "does not exist";
        case PortState::NotATerminal:
            return "not a terminal";
        case PortState::Busy:
            return "held by another program";
        case PortState::PermissionDenied:
            return "permission denied (dialout group)";
        case PortState::Failed:
            break;
    }
    return std::strerror(error);
}

namespace {

std::string PortJson(const PortReport& report) {
    std::string line = "{\"event\":\"port\",\"name\":";
    AppendJsonString(&line, report.name);
    line += ",\"device\":";
    AppendJsonString(&line, report.device);
    line += ",\"alias\":";
    line += report.viaAlias ? "true" : "false";
    if (!report.aliasTarget.empty()) {
        line += ",\"target\":";
        AppendJsonString(&line, report.aliasTarget);
    }
    line += ",\"state\":\"";
    line += StateWord(report.state);
    line += "\",\"text\":";
    AppendJsonString(&line, StateText(report));
    return line + "}\n";
}

std::string DeviceJson(const DeviceReport& device) {
    std::string line = "{\"event\":\"device\",\"path\":";
    AppendJsonString(&line, device.path);
    if (!device.target.empty()) {
        line += ",\"target\":";
        AppendJsonString(&line, device.target);
    }
    line += ",\"state\":\"";
    line += StateWord(device.state);
    line += "\",\"text\":";
    AppendJsonString(&line, StateText(device.state, device.error));
    return line + "}\n";
}

// Rows of a first column and a state, the states lined up after the widest first column.
std::string Table(const std::string& heading,
                  const std::vector<std::pair<std::string, std::string>>& rows) {
    size_t width = heading.size();
    for (const auto& row : rows)
        width = std::max(width, row.first.size());
    std::string table = heading + std::string(width - heading.size(), ' ') + "  state\n";
    for (const auto& [first, state] : rows) {
        table += first + std::string(width - first.size(), ' ') + "  " + state + "\n";
    }
    return table;
}

}  // namespace

void WritePortList(TextOutput& out, bool json, const std::string& deviceFolder) {
    std::vector<PortReport> reports;
    for (const char* name : kPortNames) {
        reports.push_back(ProbePort(name));
    }
    const DeviceSurvey survey = SurveySerialDevices(deviceFolder);
    if (json) {
        std::string lines;
        for (const PortReport& report : reports)
            lines += PortJson(report);
        for (const DeviceReport& device : survey.devices)
            lines += DeviceJson(device);
        lines += "{\"event\":\"devices\",\"folder\":";
        AppendJsonString(&lines, deviceFolder);
        lines += ",\"found\":" + std::to_string(survey.devices.size()) +
                 ",\"unchecked\":" + std::to_string(survey.uncheckedSerial) + "}\n";
        out.Write(lines);
        return;
    }

    std::vector<std::pair<std::string, std::string>> portRows;
    for (const PortReport& report : reports) {
        std::string opens = report.device;
        if (!report.aliasTarget.empty()) opens += " -> " + report.aliasTarget;
        std::string name = report.name;
        name.resize(7, ' ');
        portRows.emplace_back(name + Printable(std::move(opens)), StateText(report));
    }
    std::string text = Table("port   resolves to", portRows);
    text += "\n";
    if (survey.devices.empty()) {
        text += "No serial devices found in " + deviceFolder +
                ". A USB adapter shows up as ttyUSB* or ttyACM* once it is plugged in.\n";
    } else {
        std::vector<std::pair<std::string, std::string>> deviceRows;
        for (const DeviceReport& device : survey.devices) {
            std::string shown = device.path;
            if (!device.target.empty()) shown += " -> " + device.target;
            deviceRows.emplace_back(Printable(std::move(shown)),
                                    StateText(device.state, device.error));
        }
        text += Table("serial devices present", deviceRows);
    }
    if (survey.uncheckedSerial > 0) {
        text += std::to_string(survey.uncheckedSerial) +
                " ttyS ports could not be checked: permission denied (dialout group).\n";
    }
    if (!survey.devices.empty()) {
        // The first name that is neither mapped nor usable as it stands: mapping it gains one.
        const char* free = nullptr;
        for (size_t i = 0; i < reports.size() && free == nullptr; ++i) {
            if (!reports[i].viaAlias && reports[i].state != PortState::Usable) free = kPortNames[i];
        }
        if (free == nullptr) free = kPortNames[kPortCount - 1];
        text += "\nGive one a port name: quorvane-cli --map " + std::string(free) + "=" +
                Printable(survey.devices.front().path) + "\n";
    }
    out.Write(text);
}
