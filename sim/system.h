// Small descriptor helpers shared by the simulated device's units.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <system_error>

namespace sim {

// "what: <the errno's text>", for the error a device start or a link reports.
inline std::string SystemText(const char* what, int error) {
    return std::string(what) + ": " + std::error_code(error, std::generic_category()).message();
}

// Closes fd if it is open and marks it closed, so a second call is harmless.
inline void CloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

// Adds `flag` to the descriptor's flags read with getCommand and written with setCommand
// (F_GETFD/F_SETFD or F_GETFL/F_SETFL).
inline bool SetFlag(int fd, int getCommand, int setCommand, int flag) {
    const int flags = fcntl(fd, getCommand);
    return flags >= 0 && fcntl(fd, setCommand, flags | flag) == 0;
}

}  // namespace sim
