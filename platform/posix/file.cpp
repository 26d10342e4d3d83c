#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"

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
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        failure = errno;
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

bool RewindImageFile(int file, int* error) {
    if (lseek(file, 0, SEEK_SET) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

bool CloseImageFile(int file) {
    // The lock goes with the descriptor. EINTR still releases it on Linux; do not retry.
    return close(file) == 0;
}
