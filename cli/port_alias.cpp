#include "cli/port_alias.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "cli/port_list.h"
#include "platform/platform.h"

namespace {

constexpr char kPrefix[] = "quorvane-cli: ";

AliasOutcome Refused(int code, const std::string& text) {
    AliasOutcome outcome;
    outcome.exitCode = code;
    outcome.err = kPrefix + text + "\n";
    return outcome;
}

// The link's current target, or "" when `path` is no link.
std::string LinkTarget(const std::string& path) {
    char target[4096];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, size_t(length)) : std::string();
}

// What `name` opens without its alias.
std::string FallbackDevice(const char* name) {
    return "/dev/ttyS" + std::to_string(std::atoi(name + 3) - 1);
}

std::string KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISREG(mode)) return "a regular file";
    return "not a link";
}

// Empty when `device` may be mapped; else the refusal. `note` gets a remark for a held device.
std::string CheckDevice(const std::string& device, std::string* note) {
    const int fd = open(device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        const bool terminal = isatty(fd) == 1;
        // Root opens a terminal past another program's exclusive flag; it is held all the same.
        int exclusive = 0;
        const bool flagged = terminal && ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
        close(fd);
        char lockFile[512];
        if (terminal &&
            (flagged || SerialPortLockOwner(device.c_str(), lockFile, sizeof lockFile) != 0)) {
            *note = Printable(device) + " is held by another program right now.";
        }
        if (terminal) return "";
        return "it is not a terminal. A serial port is a device such as /dev/ttyUSB0, "
               "/dev/ttyACM0 or /dev/serial/by-id/...";
    }
    const int error = errno;
    struct stat info {};
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return "it does not exist; is the adapter plugged in? 'quorvane-cli --list-ports' "
                   "shows the serial devices present.";
        case EBUSY:
            // Only a terminal refuses a second opener with EBUSY (TIOCEXCL).
            if (stat(device.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
                *note = Printable(device) + " is held by another program right now.";
                return "";
            }
            break;
        case EACCES:
        case EPERM:
            return "no permission to open it. Serial ports belong to the dialout group: sudo "
                   "usermod -aG dialout $USER, then log in again.";
        default:
            break;
    }
    return std::strerror(error);
}

// Puts `alias` back as it was: a link to `previous`, or nothing when it was no link. False with
// errno when that fails.
bool PutBack(const std::string& alias, const std::string& fresh, const std::string& previous) {
    if (previous.empty()) return unlink(alias.c_str()) == 0;
    unlink(fresh.c_str());
    if (symlink(previous.c_str(), fresh.c_str()) != 0) return false;
    if (rename(fresh.c_str(), alias.c_str()) == 0) return true;
    const int error = errno;
    unlink(fresh.c_str());
    errno = error;
    return false;
}

}  // namespace

AliasOutcome MapPort(const char* name, const char* device, const std::string& workingDirectory) {
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
    char aliasBuffer[4096];
    if (!PortAliasPath(name, aliasBuffer, sizeof aliasBuffer)) {
        return Refused(kExitAliasFailed, "the path of the link for " + std::string(name) +
                                             " is too long; check $XDG_CONFIG_HOME and $HOME.");
    }
    const std::string alias = aliasBuffer;
    const std::string cannot =
        "cannot map " + std::string(name) + " to " + Printable(target) + ": ";
    if (target == alias) {
        return Refused(kExitDeviceRefused, cannot + "that is the link itself.");
    }
    std::string note;
    if (const std::string refusal = CheckDevice(target, &note); !refusal.empty()) {
        return Refused(kExitDeviceRefused, cannot + refusal);
    }

    struct stat existing {};
    std::string previous;
    if (lstat(alias.c_str(), &existing) == 0) {
        if (!S_ISLNK(existing.st_mode)) {
            return Refused(kExitAliasFailed, cannot + alias + " is " + KindOf(existing.st_mode) +
                                                 ", not a link; it is left as it is.");
        }
        previous = LinkTarget(alias);
    } else if (errno != ENOENT && errno != ENOTDIR) {  // ENOTDIR: the folder is made below
        return Refused(kExitAliasFailed, cannot + alias + ": " + std::strerror(errno));
    }

    const std::string folder = alias.substr(0, alias.rfind('/'));
    std::error_code failure;
    std::filesystem::create_directories(folder, failure);
    if (failure) {
        return Refused(kExitAliasFailed,
                       cannot + "cannot make the folder " + folder + ": " + failure.message());
    }
    // A new link beside the old one, renamed over it: the name never goes missing, and a
    // failure leaves the old link as it was.
    const std::string fresh = folder + "/." + name + ".new." + std::to_string(getpid());
    int made = symlink(target.c_str(), fresh.c_str());
    if (made != 0 && errno == EEXIST) {
        unlink(fresh.c_str());  // left by a run of ours that died here
        made = symlink(target.c_str(), fresh.c_str());
    }
    if (made != 0) {
        return Refused(kExitAliasFailed,
                       cannot + "cannot make a link in " + folder + ": " + std::strerror(errno));
    }
    if (rename(fresh.c_str(), alias.c_str()) != 0) {
        const int error = errno;
        unlink(fresh.c_str());
        return Refused(kExitAliasFailed, cannot + alias + ": " + std::strerror(error));
    }
    // The device was opened through the old link, so a path that comes back to this name (spelt
    // another way, or through another name's link) passed that check; only the new link, resolved,
    // shows the loop. What was there before goes back.
    struct stat resolved {};
    if (stat(alias.c_str(), &resolved) != 0 && errno == ELOOP) {
        const std::string why = cannot + "it leads back to " + name + " through links. ";
        if (PutBack(alias, fresh, previous)) {
            return Refused(kExitDeviceRefused, why + name + " is left as it was.");
        }
        return Refused(kExitAliasFailed, why + "The link " + alias + " could not be put back (" +
                                             std::strerror(errno) + "); remove it with " +
                                             "quorvane-cli --unmap " + name + ".");
    }

    AliasOutcome outcome;
    outcome.out = std::string(name) + " -> " + Printable(target) + "  (link " + alias + ")\n";
    if (!previous.empty() && previous != target) {
        outcome.out += "it led to " + Printable(previous) + " before\n";
    }
    if (!note.empty()) outcome.err = kPrefix + note + "\n";
    return outcome;
}

AliasOutcome UnmapPort(const char* name) {
    char aliasBuffer[4096];
    if (!PortAliasPath(name, aliasBuffer, sizeof aliasBuffer)) {
        return Refused(kExitAliasFailed, "the path of the link for " + std::string(name) +
                                             " is too long; check $XDG_CONFIG_HOME and $HOME.");
    }
    const std::string alias = aliasBuffer;
    AliasOutcome outcome;
    struct stat existing {};
    if (lstat(alias.c_str(), &existing) != 0) {
        if (errno != ENOENT) {
            return Refused(kExitAliasFailed, "cannot unmap " + std::string(name) + ": " + alias +
                                                 ": " + std::strerror(errno));
        }
        outcome.out = std::string(name) + " has no link; it opens " + FallbackDevice(name) + "\n";
        return outcome;
    }
    if (!S_ISLNK(existing.st_mode)) {
        return Refused(kExitAliasFailed, "cannot unmap " + std::string(name) + ": " + alias +
                                             " is " + KindOf(existing.st_mode) +
                                             ", not a link; it is left as it is.");
    }
    const std::string previous = LinkTarget(alias);
    if (unlink(alias.c_str()) != 0) {
        return Refused(kExitAliasFailed, "cannot unmap " + std::string(name) + ": " + alias + ": " +
                                             std::strerror(errno));
    }
    outcome.out = std::string(name) + " no longer leads to " + Printable(previous) + "; it opens " +
                  FallbackDevice(name) + "\n";
    return outcome;
}
