#include "platform/port_alias.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace {

// The link's target, or "" when `path` is no link.
std::string LinkTarget(const std::string& path) {
    char target[4096];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, size_t(length)) : std::string();
}

// Puts `path` back as it was: a link to `previous`, or nothing when it was no link. False with
// errno when that fails.
bool PutBack(const std::string& path, const std::string& fresh, const std::string& previous) {
    if (previous.empty()) return unlink(path.c_str()) == 0;
    unlink(fresh.c_str());
    if (symlink(previous.c_str(), fresh.c_str()) != 0) return false;
    if (rename(fresh.c_str(), path.c_str()) == 0) return true;
    const int error = errno;
    unlink(fresh.c_str());
    errno = error;
    return false;
}

bool Stop(AliasStep step, int error, AliasStep* stopped, int* errorOut) {
    *stopped = step;
    *errorOut = error;
    return false;
}

}  // namespace

const char* PortAliasesUnavailable() {
    return nullptr;
}

bool ReadPortAlias(const std::string& path, PortAlias* alias, int* error) {
    *alias = PortAlias{};
    struct stat existing {};
    if (lstat(path.c_str(), &existing) != 0) {
        // ENOTDIR: something that is no folder stands where the folder would be; it is not ours
        // either, but no alias stands there.
        if (errno == ENOENT || errno == ENOTDIR) return true;
        *error = errno;
        return false;
    }
    if (S_ISLNK(existing.st_mode)) {
        alias->kind = AliasKind::Link;
        alias->target = LinkTarget(path);
    } else if (S_ISDIR(existing.st_mode)) {
        alias->kind = AliasKind::Folder;
    } else if (S_ISREG(existing.st_mode)) {
        alias->kind = AliasKind::File;
    } else {
        alias->kind = AliasKind::Other;
    }
    return true;
}

bool CreatePortAlias(const std::string& path, const std::string& device,
                     const std::string& previous, AliasStep* stopped, int* error) {
    const std::string folder = path.substr(0, path.rfind('/'));
    std::error_code failure;
    std::filesystem::create_directories(folder, failure);
    if (failure) return Stop(AliasStep::Folder, failure.value(), stopped, error);
    // A new link beside the old one, renamed over it: the name never goes missing, and a
    // failure leaves the old link as it was.
    const std::string name = path.substr(path.rfind('/') + 1);
    const std::string fresh = folder + "/." + name + ".new." + std::to_string(getpid());
    int made = symlink(device.c_str(), fresh.c_str());
    if (made != 0 && errno == EEXIST) {
        unlink(fresh.c_str());  // left by a run of ours that died here
        made = symlink(device.c_str(), fresh.c_str());
    }
    if (made != 0) return Stop(AliasStep::Link, errno, stopped, error);
    if (rename(fresh.c_str(), path.c_str()) != 0) {
        const int renameError = errno;
        unlink(fresh.c_str());
        return Stop(AliasStep::Replace, renameError, stopped, error);
    }
    // A device path that comes back to this name (spelt another way, or through another name's
    // link) opened through the old link; only the new link, resolved, shows the loop.
    struct stat resolved {};
    if (stat(path.c_str(), &resolved) != 0 && errno == ELOOP) {
        if (PutBack(path, fresh, previous))
            return Stop(AliasStep::LeadsBack, ELOOP, stopped, error);
        return Stop(AliasStep::PutBack, errno, stopped, error);
    }
    return true;
}

bool RemovePortAlias(const std::string& path, int* error) {
    if (unlink(path.c_str()) == 0) return true;
    *error = errno;
    return false;
}

std::string WorkingFolder() {
    char path[4096];
    return getcwd(path, sizeof path) != nullptr ? path : "";
}
