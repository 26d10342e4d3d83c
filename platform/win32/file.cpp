#include <errno.h>
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/handles.h"

namespace {

// What a person is told when the open itself fails. A directory cannot be opened as a file and
// reads as "access denied"; its attributes tell it from a file without the right to read.
int OpenError(const char* path, DWORD code) {
    if (code == ERROR_ACCESS_DENIED) {
        const DWORD attributes = GetFileAttributesA(path);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return EISDIR;
        return EACCES;
    }
    // A sharing violation (another program has the file open) reads as EWOULDBLOCK, as a lock
    // held elsewhere does on Linux.
    return ErrnoFromWindowsError(code);
}

// A file on a disk smaller than 4 GiB, or why not: a device such as NUL or COM1, a pipe or a
// console is no image.
int CheckOpenedFile(HANDLE file) {
    if (GetFileType(file) != FILE_TYPE_DISK) return EINVAL;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) return ErrnoFromWindowsError(GetLastError());
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EISDIR;
    if (info.nFileSizeHigh != 0) return EFBIG;
    return 0;
}

}  // namespace

int OpenImageFile(const char* path, int* error) {
    // Share mode 0: no other program can open the file, and so none can change it, while the job
    // holds it; a file another program has open is refused.
    const HANDLE file =
        CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = OpenError(path, GetLastError());
        return -1;
    }
    int failure = CheckOpenedFile(file);
    int handle = -1;
    if (failure == 0) {
        handle = AddHandle(file, HandleKind::ImageFile);
        if (handle < 0) failure = EMFILE;
    }
    if (failure != 0) {
        CloseHandle(file);
        *error = failure;
        return -1;
    }
    return handle;
}

bool GetImageFileSize(int file, uint64_t* size, int* error) {
    const HANDLE handle = FindHandle(file, HandleKind::ImageFile);
    LARGE_INTEGER bytes{};
    if (handle == INVALID_HANDLE_VALUE) {
        *error = EBADF;
        return false;
    }
    if (!GetFileSizeEx(handle, &bytes)) {
        *error = ErrnoFromWindowsError(GetLastError());
        return false;
    }
    *size = uint64_t(bytes.QuadPart);
    return true;
}

int32_t ReadImageFile(int file, void* buffer, uint32_t count, int* error) {
    const HANDLE handle = FindHandle(file, HandleKind::ImageFile);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = EBADF;
        return -1;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    uint32_t done = 0;
    while (done < count) {
        DWORD got = 0;
        if (!ReadFile(handle, out + done, count - done, &got, nullptr)) {
            *error = ErrnoFromWindowsError(GetLastError());
            return -1;
        }
        if (got == 0) break;  // end of file
        done += got;
    }
    return int32_t(done);
}

bool RewindImageFile(int file, int* error) {
    const HANDLE handle = FindHandle(file, HandleKind::ImageFile);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = EBADF;
        return false;
    }
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) {
        *error = ErrnoFromWindowsError(GetLastError());
        return false;
    }
    return true;
}

bool CloseImageFile(int file) {
    const HANDLE handle = RemoveHandle(file, HandleKind::ImageFile);
    return handle != INVALID_HANDLE_VALUE && CloseHandle(handle);
}
