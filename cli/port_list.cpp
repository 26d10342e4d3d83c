#include "port_list.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "json.h"
#include "platform.h"
#include "res/strings.h"

namespace {

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

// A link target may hold any byte; on a terminal a control character would do more than show.
std::string Printable(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return text;
}

}  // namespace

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
    switch (report.state) {
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
    return std::strerror(report.error);
}

void WritePortList(TextOutput& out, bool json) {
    std::vector<PortReport> reports;
    for (const char* name : kPortNames) {
        reports.push_back(ProbePort(name));
    }
    if (json) {
        for (const PortReport& report : reports) {
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
            line += "}\n";
            out.Write(line);
        }
        return;
    }
    std::vector<std::string> opens;
    const std::string heading = "resolves to";
    size_t width = heading.size();
    for (const PortReport& report : reports) {
        std::string text = report.device;
        if (!report.aliasTarget.empty()) text += " -> " + report.aliasTarget;
        text = Printable(std::move(text));
        width = std::max(width, text.size());
        opens.push_back(std::move(text));
    }
    std::string table =
        "port   " + heading + std::string(width - heading.size(), ' ') + "  state\n";
    for (size_t i = 0; i < reports.size(); ++i) {
        std::string row = reports[i].name;
        row.resize(7, ' ');
        row += opens[i];
        row.append(width - opens[i].size(), ' ');
        row += "  " + StateText(reports[i]) + "\n";
        table += row;
    }
    out.Write(table);
}
