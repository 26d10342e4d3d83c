#include "platform/win32/handles.h"

#include <errno.h>

namespace {

struct Entry {
    HANDLE handle = INVALID_HANDLE_VALUE;
    HandleKind kind = HandleKind::Free;
};

Entry entries[kMaxHandles];
SRWLOCK lock = SRWLOCK_INIT;

class Locked {
  public:
    Locked() { AcquireSRWLockExclusive(&lock); }
    ~Locked() { ReleaseSRWLockExclusive(&lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

}  // namespace

int AddHandle(HANDLE handle, HandleKind kind) {
    Locked locked;
    for (int i = 0; i < kMaxHandles; ++i) {
        if (entries[i].kind == HandleKind::Free) {
            entries[i] = Entry{handle, kind};
            return i;
        }
    }
    return -1;
}

HANDLE FindHandle(int handle, HandleKind kind) {
    if (handle < 0 || handle >= kMaxHandles) return INVALID_HANDLE_VALUE;
    Locked locked;
    return entries[handle].kind == kind ? entries[handle].handle : INVALID_HANDLE_VALUE;
}

HANDLE RemoveHandle(int handle, HandleKind kind) {
    if (handle < 0 || handle >= kMaxHandles) return INVALID_HANDLE_VALUE;
    Locked locked;
    if (entries[handle].kind != kind) return INVALID_HANDLE_VALUE;
    const HANDLE removed = entries[handle].handle;
    entries[handle] = Entry{};
    return removed;
}

int ErrnoFromWindowsError(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_FILENAME_EXCED_RANGE:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_PRIVILEGE_NOT_HELD:
            return EACCES;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EWOULDBLOCK;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_NOT_READY:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
            return ENODEV;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        default:
            return EIO;
    }
}
