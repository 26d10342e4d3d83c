#include "cli/port_list.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "cli/json.h"
#include "cli/printable.h"
#include "platform/platform.h"
#include "platform/port_alias.h"
#include "platform/serial_devices.h"
#include "res/strings.h"

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
    PortAlias link;
    int aliasError = 0;
    if (PortAliasPath(name, alias, sizeof alias) && report.device == alias &&
        ReadPortAlias(alias, &link, &aliasError) && link.kind != AliasKind::None) {
        report.viaAlias = true;
        report.aliasTarget = link.target;
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
    AppendJsonString(&line, StateText(report.state, report.error));
    return line + "}\n";
}

std::string DeviceJson(const SerialDevice& device) {
    const PortState state = StateOfError(device.error);
    std::string line = "{\"event\":\"device\",\"path\":";
    AppendJsonString(&line, device.path);
    if (!device.target.empty()) {
        line += ",\"target\":";
        AppendJsonString(&line, device.target);
    }
    line += ",\"state\":\"";
    line += StateWord(state);
    line += "\",\"text\":";
    AppendJsonString(&line, StateText(state, device.error));
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
    const SerialDeviceScan survey = ScanSerialDevices(deviceFolder);
    if (json) {
        std::string lines;
        for (const PortReport& report : reports)
            lines += PortJson(report);
        for (const SerialDevice& device : survey.devices)
            lines += DeviceJson(device);
        lines += "{\"event\":\"devices\",\"folder\":";
        AppendJsonString(&lines, deviceFolder);
        lines += ",\"found\":" + std::to_string(survey.devices.size()) +
                 ",\"unchecked\":" + std::to_string(survey.uncheckedBuiltIn) + "}\n";
        out.Write(lines);
        return;
    }

    std::vector<std::pair<std::string, std::string>> portRows;
    for (const PortReport& report : reports) {
        std::string opens = report.device;
        if (!report.aliasTarget.empty()) opens += " -> " + report.aliasTarget;
        std::string name = report.name;
        name.resize(7, ' ');
        portRows.emplace_back(name + Printable(std::move(opens)),
                              StateText(report.state, report.error));
    }
    std::string text = Table("port   resolves to", portRows);
    text += "\n";
    if (survey.devices.empty()) {
        text += "No serial devices found in " + Printable(deviceFolder) +
                ". A USB adapter shows up as ttyUSB* or ttyACM* once it is plugged in.\n";
    } else {
        std::vector<std::pair<std::string, std::string>> deviceRows;
        for (const SerialDevice& device : survey.devices) {
            std::string shown = device.path;
            if (!device.target.empty()) shown += " -> " + device.target;
            deviceRows.emplace_back(Printable(std::move(shown)),
                                    StateText(StateOfError(device.error), device.error));
        }
        text += Table("serial devices present", deviceRows);
    }
    if (survey.uncheckedBuiltIn > 0) {
        text += std::to_string(survey.uncheckedBuiltIn) +
                " ttyS ports could not be checked: " + StateText(PortState::PermissionDenied, 0) +
                ".\n";
    }
    // Where the system names its ports itself there is nothing to map.
    if (!survey.devices.empty() && PortAliasesUnavailable() == nullptr) {
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
