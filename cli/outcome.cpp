#include "cli/outcome.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cli/printable.h"
#include "platform/platform.h"
#include "platform/port_alias.h"
#include "res/port_advice.h"

namespace {

std::string Line(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Line(const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return std::string("quorvane-cli: ") + text + "\n";
}

// Every name below comes from the person or from their links and may hold any byte: shown
// through Printable(), so that an escape sequence in it cannot drive the terminal.
std::string ImageRemedy(const JobDescription& job, const JobEnd& end) {
    const std::string shown = Printable(job.image != nullptr ? job.image : "");
    const char* image = shown.c_str();
    switch (end.systemError) {
        case 0:
            if (end.stage == StageCheckImage && end.recordResult == ResultImageInvalid &&
                job.identity != nullptr) {
                const std::string identity =
                    Printable(std::string(reinterpret_cast<const char*>(job.identity), 8));
                return Line("%s does not begin with the identity \"%s\".", image, identity.c_str());
            }
            if (end.stage == StageCheckImage && end.recordResult == ResultImageIoError) {
                return Line("could not read the first 8 bytes of %s; an image has at least 8.",
                            image);
            }
            return "";
        case ENOENT:
            return Line("%s does not exist.", image);
        case EACCES:
        case EPERM:
            return Line("no permission to read %s.", image);
        case EISDIR:
            return Line("%s is a directory, not an image file.", image);
        case EINVAL:
            return Line("%s is not a regular file.", image);
        case EFBIG:
            return Line("%s is 4 GiB or larger; an image must be smaller.", image);
        case EWOULDBLOCK:
            return Line(
                "%s is locked by another program that may be writing it; close that "
                "program and try again.",
                image);
        default:
            return Line("%s: %s.", image, std::strerror(end.systemError));
    }
}

std::string PortRemedy(const JobDescription& job, int error, bool gone) {
    if (error == 0 && !gone) return "";
    char device[512] = "";
    if (job.portDevice != nullptr) {
        std::snprintf(device, sizeof device, "%s", job.portDevice);
    } else if (job.resolvedDevice != nullptr && job.resolvedDevice[0] != '\0') {
        std::snprintf(device, sizeof device, "%s", job.resolvedDevice);
    } else if (!ResolvePortName(job.portName, device, sizeof device)) {
        std::snprintf(device, sizeof device, "%s", job.portName);
    }
    // "COM3 (/dev/ttyS2)" tells a person both what they asked for and what was opened.
    const std::string portName = Printable(job.portName);
    std::string port = Printable(device);
    if (job.portDevice == nullptr) port = portName + " (" + port + ")";

    if (gone) {
        return Line(
            "the device or its adapter on %s is gone (%s); check the cable and that the adapter "
            "is plugged in, then start the update again.",
            port.c_str(), std::strerror(error));
    }

    const PortState state = StateOfError(error);
    const std::string advice = StateAdvice(state);
    switch (state) {
        case PortState::PermissionDenied:
            return Line("no permission to open %s. %s", port.c_str(), advice.c_str());
        case PortState::Busy: {
            const std::string held = port + " is " + StateText(state, error);
            char lockFile[512] = "";
            const long owner = SerialPortLockOwner(device, lockFile, sizeof lockFile);
            if (owner != 0) {
                return Line("%s (process %ld, lock file %s); %s", held.c_str(), owner,
                            Printable(lockFile).c_str(), advice.c_str());
            }
            return Line("%s; %s", held.c_str(), advice.c_str());
        }
        case PortState::Missing: {
            // The devices present and the one command that names one: what a person needs
            // when the adapter is elsewhere than they thought.
            const std::string look =
                "  quorvane-cli --list-ports shows the serial devices present\n";
            const std::string missing = StateText(state, error);
            if (job.portDevice != nullptr) {
                return Line("%s %s; %s", Printable(device).c_str(), missing.c_str(),
                            advice.c_str()) +
                       look;
            }
            char alias[512] = "";
            if (!PortAliasPath(job.portName, alias, sizeof alias)) {
                return Line("%s %s.", port.c_str(), missing.c_str()) + look;
            }
            PortAlias link;
            int aliasError = 0;
            if (ReadPortAlias(alias, &link, &aliasError) && !link.target.empty()) {
                return Line("%s is linked by %s to %s, which %s; %s", portName.c_str(),
                            Printable(alias).c_str(), Printable(link.target).c_str(),
                            missing.c_str(), advice.c_str()) +
                       look;
            }
            return Line("%s %s. Find your serial device with", port.c_str(), missing.c_str()) +
                   "  quorvane-cli --list-ports\n" + "and give " + portName +
                   " that device once:\n" + "  quorvane-cli --map " + portName +
                   "=/dev/serial/by-id/...\n" + "or pass the device itself: --port /dev/ttyUSB0\n";
        }
        case PortState::NotATerminal:
            return Line("%s is not a serial port.", port.c_str());
        default:
            return Line("%s: %s.", port.c_str(), std::strerror(error));
    }
}

}  // namespace

std::string Remedy(const JobDescription& job, const JobEnd& end) {
    switch (end.exitCode) {
        case ResultPortIoError:
            return PortRemedy(job, end.systemError, end.portGone);
        case ResultImageInvalid:
        case ResultImageIoError:
            return ImageRemedy(job, end);
        default:
            return "";
    }
}
