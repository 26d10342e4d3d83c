#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/port_names.h"

namespace {

// What the engine's timeout profile says about one open port, plus the bytes that one read call
// brought in beyond the byte asked for. Reading a chunk and handing it out byte by byte keeps the
// byte order and the "unread input stays queued" behaviour while saving a system call per byte.
//
// Reads go first to a second, blocking descriptor of the same terminal, with VMIN 0 and VTIME set
// from the read timeout: one read then waits for the reply and takes it, where the non-blocking
// descriptor needs a poll and then a read, so each byte waited for costs one system call less.
// Writes stay on the non-blocking descriptor, whose deadline a blocking write could not keep.
struct PortState {
    int fd = -1;
    int readFd = -1;
    uint8_t readDeciseconds = 0;  // the VTIME in force; 0 while none is, and reads only poll
    uint32_t readTotalMs = 100;
    uint32_t writeMsPerByte = 1;
    uint32_t writeTotalMs = 100;
    uint8_t pending[64] = {};
    uint32_t pendingStart = 0;
    uint32_t pendingCount = 0;
};

constexpr int kMaxPorts = 8;
PortState ports[kMaxPorts];

// What each open port holds beyond its descriptor: the terminal's exclusive flag and, when one
// could be written, a lock file; and what it changed, the terminal's settings. Published once the
// port is open, taken back by whoever releases it first: CloseSerialPort on the worker, or
// ReleaseSerialPortHolds on a thread about to _exit.
struct Hold {
    std::atomic<int> fd{-1};
    char lockFile[512] = {};  // "" when none; written before fd is published
    termios found{};          // the terminal's settings as the port was opened; likewise
};
Hold holds[kMaxPorts];

PortState* FindPort(int fd) {
    if (fd < 0) return nullptr;
    for (PortState& port : ports) {
        if (port.fd == fd) return &port;
    }
    return nullptr;
}

bool Fits(int written, size_t size) {
    return written >= 0 && size_t(written) < size;
}

// ---- UUCP lock files --------------------------------------------------------------------------

const char* LockFolder() {
    const char* folder = getenv("QUORVANE_LOCK_DIR");
    return folder != nullptr && folder[0] == '/' ? folder : "/run/lock";
}

// <folder>/LCK..<name>: the device's real path below /dev with '/' as '_', else its file name.
bool LockFilePath(const char* device, char* path, size_t size) {
    char real[PATH_MAX];
    const char* name = realpath(device, real) != nullptr ? real : device;
    if (strncmp(name, "/dev/", 5) == 0) {
        name += 5;
    } else if (const char* slash = strrchr(name, '/')) {
        name = slash + 1;
    }
    if (*name == '\0') return false;
    if (!Fits(snprintf(path, size, "%s/LCK..%s", LockFolder(), name), size)) return false;
    for (char* c = path + strlen(path) - strlen(name); *c != '\0'; ++c) {
        if (*c == '/') *c = '_';
    }
    return true;
}

// The PID a lock file names, or 0 when there is none to read. The PID is ASCII (HDB: ten
// characters right-aligned and a newline); programs of old wrote it as a 4-byte binary integer.
long LockOwner(const char* path) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32] = {};
    struct stat info {};
    ssize_t n = -1;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) return 0;
    ssize_t at = 0;
    while (at < n && text[at] == ' ')
        ++at;
    long pid = 0;
    const ssize_t digits = at;
    for (; at < n && text[at] >= '0' && text[at] <= '9' && pid < 100000000; ++at)
        pid = pid * 10 + (text[at] - '0');
    if (at > digits) return pid;
    if (n == 4) {
        int32_t binary = 0;
        memcpy(&binary, text, sizeof binary);
        return binary > 0 ? binary : 0;
    }
    return 0;
}

bool Alive(long pid) {
    return pid > 0 && (kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

// Writes our PID beside `path` and links it into place, so that no reader ever finds the file
// without its PID. False (with errno) when the folder does not let us, or the name is taken.
bool CreateLockFile(const char* path, int slot) {
    char temporary[sizeof Hold::lockFile + 32];
    if (!Fits(snprintf(temporary, sizeof temporary, "%s/LTMP.%ld.%d", LockFolder(), long(getpid()),
                       slot),
              sizeof temporary)) {
        errno = ENAMETOOLONG;
        return false;
    }
    unlink(temporary);  // left by a run of this PID that died here
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    char text[16];
    const int length = snprintf(text, sizeof text, "%10ld\n", long(getpid()));
    // Readable by every user whatever the umask: other programs check the PID before they open.
    const bool written = fchmod(fd, 0644) == 0 && write(fd, text, size_t(length)) == length;
    const bool closed = close(fd) == 0;
    const int linked = written && closed ? link(temporary, path) : -1;
    const int failure = written && closed ? errno : EIO;
    unlink(temporary);
    errno = failure;
    return linked == 0;
}

// EBUSY when a live process other than this one holds the device's lock file. Otherwise 0, with
// our own lock file in `taken` when the folder lets us write one ("" when not): a stale one
// (its process gone) is replaced.
int TakeLockFile(const char* device, int slot, char* taken, size_t size) {
    taken[0] = '\0';
    char path[sizeof Hold::lockFile];
    if (!LockFilePath(device, path, sizeof path)) return 0;
    const long self = long(getpid());
    for (int attempt = 0; attempt < 3; ++attempt) {
        const long owner = LockOwner(path);
        if (owner != self && Alive(owner)) return EBUSY;
        if (owner != 0) unlink(path);  // stale, or left by an earlier process with our PID
        if (CreateLockFile(path, slot)) {
            snprintf(taken, size, "%s", path);
            return 0;
        }
        if (errno != EEXIST) return 0;  // a folder we may not write in: checking is all we can do
        // Another program took the name meanwhile: look at its PID.
    }
    return Alive(LockOwner(path)) ? EBUSY : 0;
}

// Gives back what an open port holds, and the terminal's settings as they were found: a person's
// stty settings, or another program's, are theirs. `drain`: the bytes still queued go out at our
// speed first (a closing job's last CAN CAN, say), where a program about to quit does not wait.
// Only the first caller for a slot does so.
void ReleaseHold(int slot, bool drain) {
    Hold& hold = holds[slot];
    const int fd = hold.fd.exchange(-1, std::memory_order_acq_rel);
    if (fd < 0) return;
    (void)tcsetattr(fd, drain ? TCSADRAIN : TCSANOW, &hold.found);
    // The flag belongs to the terminal, not to the descriptor, and outlives the close while
    // anyone else keeps the terminal open (the other end of a pseudo-terminal, for one). It was
    // not set when the port was opened, so it is ours to clear.
    (void)ioctl(fd, TIOCNXCL);
    if (hold.lockFile[0] != '\0' && LockOwner(hold.lockFile) == long(getpid())) {
        unlink(hold.lockFile);
    }
}

// A blocking descriptor for reads of the terminal `fd` has open, or -1 with errno set. Opened
// without waiting for carrier, then made blocking; it must be the same device, in case the path
// (an alias, say) was pointed elsewhere between the two opens.
int OpenReadDescriptor(const char* device, int fd) {
    const int reader = open(device, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (reader < 0) return -1;
    struct stat opened {};
    struct stat again {};
    const int flags = fcntl(reader, F_GETFL);
    if (fstat(fd, &opened) != 0 || fstat(reader, &again) != 0 || flags < 0 ||
        fcntl(reader, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int failure = errno;
        close(reader);
        errno = failure;
        return -1;
    }
    if (opened.st_rdev != again.st_rdev || !S_ISCHR(again.st_mode)) {
        close(reader);
        errno = ENXIO;
        return -1;
    }
    return reader;
}

// The longest VTIME that ends no later than the read timeout; the poll after an empty read waits
// out the rest.
uint8_t Deciseconds(uint32_t ms) {
    return uint8_t(ms / 100 < 255 ? ms / 100 : 255);
}

// Applies a changed read timeout to the terminal's VTIME. Reads use the blocking descriptor only
// while a VTIME of ours is in force (readDeciseconds): under the terminal's own settings, before
// ConfigureSerialPort or after a failed change, a read there could wait for ever.
bool ApplyReadTimeout(PortState* state) {
    termios mode{};
    if (tcgetattr(state->fd, &mode) != 0) return false;
    const uint8_t deciseconds = Deciseconds(state->readTotalMs);
    mode.c_cc[VMIN] = 0;
    mode.c_cc[VTIME] = deciseconds;
    state->readDeciseconds = 0;
    if (tcsetattr(state->fd, TCSANOW, &mode) != 0) return false;
    state->readDeciseconds = deciseconds;
    return true;
}

// Whether anything stands at an alias's path, a broken link included.
bool AliasExists(const char* path) {
    struct stat link {};
    return lstat(path, &link) == 0;
}

// Hands out the first of `n` bytes just read into the pending buffer and keeps the rest.
int TakeFirst(PortState* state, ssize_t n, uint8_t* value) {
    *value = state->pending[0];
    state->pendingStart = 1;
    state->pendingCount = uint32_t(n) - 1;
    return 1;
}

}  // namespace

bool PortAliasPath(const char* name, char* path, size_t size) {
    return PortAliasFileOf(name, path, size);
}

bool ResolvePortName(const char* name, char* device, size_t size) {
    return ResolvePortNameByAlias(name, AliasExists, device, size);
}

int OpenSerialPort(const char* device, int* error) {
    int index = 0;
    while (index < kMaxPorts && (ports[index].fd >= 0 || holds[index].fd.load() >= 0))
        ++index;
    if (index == kMaxPorts) {
        *error = EMFILE;
        return -1;
    }
    // O_NONBLOCK: never wait for carrier; every wait below goes through poll with a deadline.
    const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    int failure = 0;
    int exclusive = 0;
    int reader = -1;
    char lockFile[sizeof Hold::lockFile] = "";
    termios found{};
    if (!isatty(fd) || tcgetattr(fd, &found) != 0) {
        failure = ENOTTY;
    } else if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        // Root opens a terminal past another program's exclusive flag; it is held all the same.
        failure = EBUSY;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        failure = errno == EWOULDBLOCK ? EBUSY : errno;
    } else if ((failure = TakeLockFile(device, index, lockFile, sizeof lockFile)) != 0) {
        // held by a terminal program's lock file
    } else if ((reader = OpenReadDescriptor(device, fd)) < 0) {
        failure = errno;
    } else if (ioctl(fd, TIOCEXCL) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        if (lockFile[0] != '\0') unlink(lockFile);
        if (reader >= 0) close(reader);
        close(fd);
        *error = failure;
        return -1;
    }
    ports[index] = PortState{};
    ports[index].fd = fd;
    ports[index].readFd = reader;
    memcpy(holds[index].lockFile, lockFile, sizeof lockFile);
    holds[index].found = found;
    holds[index].fd.store(fd, std::memory_order_release);
    return fd;
}

long SerialPortLockOwner(const char* device, char* lockFile, size_t size) {
    char path[sizeof Hold::lockFile];
    if (!LockFilePath(device, path, sizeof path)) return 0;
    const long owner = LockOwner(path);
    if (owner == long(getpid()) || !Alive(owner)) return 0;
    snprintf(lockFile, size, "%s", path);
    return owner;
}

void ReleaseSerialPortHolds() {
    for (int slot = 0; slot < kMaxPorts; ++slot)
        ReleaseHold(slot, false);
}

bool ConfigureSerialPort(int port, int* error) {
    PortState* state = FindPort(port);
    if (state == nullptr) {
        *error = EBADF;
        return false;
    }
    termios mode{};
    if (tcgetattr(port, &mode) != 0) {
        *error = errno;
        return false;
    }
    cfmakeraw(&mode);
    mode.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    mode.c_cflag |= CS8 | CLOCAL | CREAD;
    mode.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    const uint8_t deciseconds = Deciseconds(state->readTotalMs);
    mode.c_cc[VMIN] = 0;
    mode.c_cc[VTIME] = deciseconds;
    state->readDeciseconds = 0;
    if (cfsetispeed(&mode, B115200) != 0 || cfsetospeed(&mode, B115200) != 0 ||
        tcsetattr(port, TCSANOW, &mode) != 0) {
        *error = errno;
        return false;
    }
    state->readDeciseconds = deciseconds;
    // A pseudo-terminal has no modem lines; only a real port answers this.
    int lines = TIOCM_DTR | TIOCM_RTS;
    (void)ioctl(port, TIOCMBIS, &lines);
    return true;
}

bool SetSerialTimeouts(int port, uint32_t readTotalMs, uint32_t writeMsPerByte,
                       uint32_t writeTotalMs) {
    PortState* state = FindPort(port);
    if (state == nullptr) return false;
    const bool changed = Deciseconds(readTotalMs) != Deciseconds(state->readTotalMs);
    state->readTotalMs = readTotalMs;
    state->writeMsPerByte = writeMsPerByte;
    state->writeTotalMs = writeTotalMs;
    // Before the port is configured there is no VTIME to keep up to date.
    if (changed && state->readDeciseconds != 0) return ApplyReadTimeout(state);
    return true;
}

int32_t WriteSerialPort(int port, const void* data, uint32_t count) {
    PortState* state = FindPort(port);
    if (state == nullptr) return -1;
    const Deadline deadline = Deadline::After(count * state->writeMsPerByte + state->writeTotalMs);
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = write(port, bytes + done, count - done);
        if (n > 0) {
            done += uint32_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return -1;
        const uint32_t left = deadline.RemainingMs();
        if (left == 0) break;
        pollfd wait{port, POLLOUT, 0};
        if (poll(&wait, 1, int(left)) < 0 && errno != EINTR) return -1;
    }
    return int32_t(done);
}

int ReadSerialPort(int port, uint8_t* value, int* error) {
    PortState* state = FindPort(port);
    if (state == nullptr) {
        *error = EBADF;
        return -1;
    }
    if (state->pendingCount > 0) {
        *value = state->pending[state->pendingStart++];
        --state->pendingCount;
        return 1;
    }
    const Deadline deadline = Deadline::After(state->readTotalMs);
    // Read first, where the read itself can wait; nothing read (silence, a signal, a gone device)
    // goes on to poll below, which alone tells silence from a hang-up.
    if (state->readDeciseconds != 0) {
        const ssize_t n = read(state->readFd, state->pending, sizeof state->pending);
        if (n > 0) return TakeFirst(state, n, value);
    }
    for (;;) {
        // Then poll: in raw mode without a minimum count a read of an idle line returns 0, the
        // same as a hung-up one, so only poll can tell silence from a gone device.
        pollfd wait{port, POLLIN, 0};
        const int ready = poll(&wait, 1, int(deadline.RemainingMs()));
        if (ready == 0) return 0;
        if (ready < 0 && errno == EINTR) continue;
        // A hung-up terminal (a USB adapter pulled out) reads as end of file, without an errno.
        int gone = ready < 0 ? errno : EIO;
        const bool hangUp = ready > 0 && (wait.revents & (POLLHUP | POLLERR)) != 0;
        if (ready > 0 && (wait.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            // Bytes that arrived before the device went are still delivered.
            const ssize_t n = read(port, state->pending, sizeof state->pending);
            if (n > 0) return TakeFirst(state, n, value);
            if (n < 0 && (errno == EINTR || errno == EAGAIN) && !hangUp) continue;
            if (n < 0) gone = errno;
        } else if (ready > 0 && (wait.revents & POLLNVAL) != 0) {
            gone = EBADF;
        }
        // Said only once the whole timeout has passed, so that no caller's loop can spin on it.
        WaitUntil(deadline);
        *error = gone;
        return -1;
    }
}

bool CloseSerialPort(int port) {
    PortState* state = FindPort(port);
    if (state == nullptr) return false;
    ReleaseHold(int(state - ports), true);
    state->fd = -1;
    state->readDeciseconds = 0;
    close(state->readFd);
    state->readFd = -1;
    return close(port) == 0;
}
