#include "res/port_advice.h"

#include <cerrno>
#include <cstring>
#include <iterator>

#include "platform/serial_devices.h"

namespace {

struct Row {
    PortState state;
    int errors[3];     // the errno values that mean this state (0 pads)
    const char* text;  // null: the errno's own text
    const char* word;
    const char* advice;  // null: the system's own (see StateAdvice)
};

constexpr Row kRows[] = {
    {PortState::Usable, {0, 0, 0}, "usable", "usable", ""},
    {PortState::Missing,
     {ENOENT, ENODEV, ENXIO},
     "does not exist",
     "missing",
     "is the adapter plugged in?"},
    {PortState::NotATerminal, {ENOTTY, 0, 0}, "not a terminal", "not-a-terminal", nullptr},
    {PortState::Busy,
     {EBUSY, EWOULDBLOCK, 0},
     "held by another program",
     "busy",
     "close that program and try again."},
    {PortState::PermissionDenied,
     {EACCES, EPERM, 0},
     "permission denied",
     "permission-denied",
     nullptr},
    {PortState::Failed, {0, 0, 0}, nullptr, "failed", ""},
};

const Row& RowOf(PortState state) {
    for (const Row& row : kRows) {
        if (row.state == state) return row;
    }
    return kRows[std::size(kRows) - 1];
}

}  // namespace

PortState StateOfError(int error) {
    if (error == 0) return PortState::Usable;
    for (const Row& row : kRows) {
        for (const int listed : row.errors) {
            if (listed != 0 && listed == error) return row.state;
        }
    }
    return PortState::Failed;
}

std::string StateText(PortState state, int error) {
    const Row& row = RowOf(state);
    if (row.text == nullptr) return std::strerror(error);
    std::string text = row.text;
    const char* group = PortPermissionHelp().group;
    if (state == PortState::PermissionDenied && group[0] != '\0') {
        text += std::string(" (") + group + ")";
    }
    return text;
}

const char* StateWord(PortState state) {
    return RowOf(state).word;
}

std::string StateAdvice(PortState state) {
    const Row& row = RowOf(state);
    if (row.advice != nullptr) return row.advice;
    if (state == PortState::NotATerminal) {
        return std::string("A serial port is a device such as ") + SerialDeviceExamples();
    }
    const PortPermission& help = PortPermissionHelp();
    if (help.reason[0] == '\0') return "";
    return std::string(help.reason) + ": " + help.command + ".";
}
