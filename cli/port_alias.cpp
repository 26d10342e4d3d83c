#include "cli/port_alias.h"

#include <cstring>

#include "cli/printable.h"
#include "platform/platform.h"
#include "platform/port_alias.h"
#include "platform/port_names.h"
#include "platform/serial_devices.h"
#include "res/port_advice.h"

namespace {

constexpr char kPrefix[] = "quorvane-cli: ";

AliasOutcome Refused(int code, const std::string& text) {
    AliasOutcome outcome;
    outcome.exitCode = code;
    outcome.err = kPrefix + text + "\n";
    return outcome;
}

// What `name` opens without its alias.
std::string FallbackDevice(const char* name) {
    char device[64];
    if (!ResolvePortName(name, device, sizeof device)) return name;
    return device;
}

std::string KindOf(AliasKind kind) {
    if (kind == AliasKind::Folder) return "a folder";
    if (kind == AliasKind::File) return "a regular file";
    return "not a link";
}

// Empty when `device` may be mapped; else the refusal. `note` gets a remark for a held device.
std::string CheckDevice(const std::string& device, std::string* note) {
    bool held = false;
    const int error = LookAtTerminal(device.c_str(), &held);
    if (error == 0) {
        if (held) *note = Printable(device) + " is held by another program right now.";
        return "";
    }
    const PortState state = StateOfError(error);
    switch (state) {
        case PortState::Missing:
            return "it " + StateText(state, error) + "; " + StateAdvice(state) +
                   " 'quorvane-cli --list-ports' shows the serial devices present.";
        case PortState::NotATerminal:
            return "it is " + StateText(state, error) + ". " + StateAdvice(state);
        case PortState::PermissionDenied:
            return "no permission to open it. " + StateAdvice(state);
        default:
            return std::strerror(error);
    }
}

std::string AliasPathOf(const char* name, bool* fits) {
    char path[4096];
    *fits = PortAliasPath(name, path, sizeof path);
    return *fits ? path : "";
}

std::string TooLong(const char* name) {
    return "the path of the link for " + std::string(name) +
           " is too long; check $XDG_CONFIG_HOME and $HOME.";
}

}  // namespace

AliasOutcome MapPort(const char* name, const char* device, const std::string& workingDirectory) {
    if (const char* why = PortAliasesUnavailable()) return Refused(kExitAliasUnavailable, why);
    std::string target = device;
    if (!target.starts_with('/') && workingDirectory.empty()) {
        return Refused(kExitDeviceRefused, "cannot tell the current folder; give " +
                                               Printable(target) + " as an absolute path.");
    }
    if (!target.starts_with('/')) {
        while (target.starts_with("./"))
            target.erase(0, 2);
        target = workingDirectory + (workingDirectory.ends_with('/') ? "" : "/") + target;
    }
    bool fits = false;
    const std::string alias = AliasPathOf(name, &fits);
    if (!fits) return Refused(kExitAliasFailed, TooLong(name));
    const std::string shownAlias = Printable(alias);
    const std::string cannot =
        "cannot map " + std::string(name) + " to " + Printable(target) + ": ";
    if (target == alias) {
        return Refused(kExitDeviceRefused, cannot + "that is the link itself.");
    }
    std::string note;
    if (const std::string refusal = CheckDevice(target, &note); !refusal.empty()) {
        return Refused(kExitDeviceRefused, cannot + refusal);
    }

    PortAlias existing;
    int error = 0;
    if (!ReadPortAlias(alias, &existing, &error)) {
        return Refused(kExitAliasFailed, cannot + shownAlias + ": " + std::strerror(error));
    }
    if (existing.kind != AliasKind::None && existing.kind != AliasKind::Link) {
        return Refused(kExitAliasFailed, cannot + shownAlias + " is " + KindOf(existing.kind) +
                                             ", not a link; it is left as it is.");
    }
    const std::string& previous = existing.target;

    AliasStep stopped{};
    if (!CreatePortAlias(alias, target, previous, &stopped, &error)) {
        const std::string folder = Printable(alias.substr(0, alias.rfind('/')));
        const std::string why = std::strerror(error);
        switch (stopped) {
            case AliasStep::Folder:
                return Refused(kExitAliasFailed,
                               cannot + "cannot make the folder " + folder + ": " + why);
            case AliasStep::Link:
                return Refused(kExitAliasFailed,
                               cannot + "cannot make a link in " + folder + ": " + why);
            case AliasStep::Replace:
                return Refused(kExitAliasFailed, cannot + shownAlias + ": " + why);
            case AliasStep::LeadsBack:
                return Refused(kExitDeviceRefused, cannot + "it leads back to " + name +
                                                       " through links. " + name +
                                                       " is left as it was.");
            case AliasStep::PutBack:
                return Refused(kExitAliasFailed,
                               cannot + "it leads back to " + name + " through links. The link " +
                                   shownAlias + " could not be put back (" + why +
                                   "); remove it with quorvane-cli --unmap " + name + ".");
        }
    }

    AliasOutcome outcome;
    outcome.out = std::string(name) + " -> " + Printable(target) + "  (link " + shownAlias + ")\n";
    if (!previous.empty() && previous != target) {
        outcome.out += "it led to " + Printable(previous) + " before\n";
    }
    if (!note.empty()) outcome.err = kPrefix + note + "\n";
    return outcome;
}

AliasOutcome UnmapPort(const char* name) {
    if (const char* why = PortAliasesUnavailable()) return Refused(kExitAliasUnavailable, why);
    bool fits = false;
    const std::string alias = AliasPathOf(name, &fits);
    if (!fits) return Refused(kExitAliasFailed, TooLong(name));
    const std::string shownAlias = Printable(alias);
    const std::string cannot = "cannot unmap " + std::string(name) + ": " + shownAlias;
    PortAlias existing;
    int error = 0;
    if (!ReadPortAlias(alias, &existing, &error)) {
        return Refused(kExitAliasFailed, cannot + ": " + std::strerror(error));
    }
    AliasOutcome outcome;
    if (existing.kind == AliasKind::None) {
        outcome.out = std::string(name) + " has no link; it opens " + FallbackDevice(name) + "\n";
        return outcome;
    }
    if (existing.kind != AliasKind::Link) {
        return Refused(kExitAliasFailed, cannot + " is " + KindOf(existing.kind) +
                                             ", not a link; it is left as it is.");
    }
    if (!RemovePortAlias(alias, &error)) {
        return Refused(kExitAliasFailed, cannot + ": " + std::strerror(error));
    }
    outcome.out = std::string(name) + " no longer leads to " + Printable(existing.target) +
                  "; it opens " + FallbackDevice(name) + "\n";
    return outcome;
}
