#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string.h>

#include "platform/platform.h"

namespace {

// Read-ahead per open image: the sender asks for 128 or 1024 bytes at a time, and one system
// call per block is most of what reading costs.
struct ReadAhead {
    int fd = -1;
    uint32_t start = 0;
    uint32_t count = 0;
    unsigned char bytes[16384];
};

ReadAhead readAhead[4];

ReadAhead* FindReadAhead(int fd) {
    for (ReadAhead& slot : readAhead) {
        if (slot.fd == fd) return &slot;
    }
    return nullptr;
}

// Reads from the file itself, retrying interrupted and partial reads; short only at end of file.
int32_t ReadFully(int file, unsigned char* out, uint32_t count, int* error) {
    uint32_t done = 0;
    while (done < count) {
        const ssize_t n = read(file, out + done, count - done);
        if (n > 0) {
            done += uint32_t(n);
        } else if (n == 0) {
            break;  // end of file
        } else if (errno != EINTR) {
            *error = errno;
            return -1;
        }
    }
    return int32_t(done);
}

// A shared lock: a program that writes the file and holds it exclusively refuses the job, and
// two jobs may read one image at once (each still sends no more than the size it announced, and
// fails on a short read). Shared, because on NFS an exclusive lock needs a descriptor open for
// writing. A file system that has no locks to give (ENOLCK, EOPNOTSUPP) is no reason to refuse
// the image: there is then nothing to hold.
bool HoldShared(int fd, int* error) {
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) return true;
    if (errno == ENOLCK || errno == EOPNOTSUPP) return true;
    *error = errno;
    return false;
}

}  // namespace

int OpenImageFile(const char* path, int* error) {
    // O_NONBLOCK: a FIFO or a device named as the image must not hang the job in open().
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat info {};
    int failure = 0;
    if (fstat(fd, &info) != 0) {
        failure = errno;
    } else if (S_ISDIR(info.st_mode)) {
        failure = EISDIR;
    } else if (!S_ISREG(info.st_mode)) {
        failure = EINVAL;
    } else if (uint64_t(info.st_size) > 0xFFFFFFFFu) {
        failure = EFBIG;
    } else if (!HoldShared(fd, &failure)) {
        // failure set
    } else {
        // A regular file never blocks; clearing the flag keeps reads plain.
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) failure = errno;
    }
    if (failure != 0) {
        close(fd);
        *error = failure;
        return -1;
    }
    if (ReadAhead* slot = FindReadAhead(-1)) {
        slot->fd = fd;
        slot->start = slot->count = 0;
    }
    return fd;
}

bool GetImageFileSize(int file, uint64_t* size, int* error) {
    struct stat info {};
    if (fstat(file, &info) != 0) {
        *error = errno;
        return false;
    }
    *size = uint64_t(info.st_size);
    return true;
}

int32_t ReadImageFile(int file, void* buffer, uint32_t count, int* error) {
    auto* out = static_cast<unsigned char*>(buffer);
    ReadAhead* ahead = FindReadAhead(file);
    if (ahead == nullptr) return ReadFully(file, out, count, error);
    uint32_t done = 0;
    while (done < count) {
        if (ahead->count == 0) {
            const int32_t got = ReadFully(file, ahead->bytes, sizeof ahead->bytes, error);
            if (got < 0) return -1;
            if (got == 0) break;  // end of file
            ahead->start = 0;
            ahead->count = uint32_t(got);
        }
        const uint32_t take = count - done < ahead->count ? count - done : ahead->count;
        memcpy(out + done, ahead->bytes + ahead->start, take);
        ahead->start += take;
        ahead->count -= take;
        done += take;
    }
    return int32_t(done);
}

bool RewindImageFile(int file, int* error) {
    if (ReadAhead* ahead = FindReadAhead(file)) ahead->start = ahead->count = 0;
    if (lseek(file, 0, SEEK_SET) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

bool CloseImageFile(int file) {
    if (ReadAhead* ahead = FindReadAhead(file)) ahead->fd = -1;
    // The lock goes with the descriptor. EINTR still releases it on Linux; do not retry.
    return close(file) == 0;
}
