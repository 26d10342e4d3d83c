// The platform's handles on Windows: small integers over one table of Windows HANDLEs, each
// entry marked with what it is, so an image handle given to a serial call (or one already
// closed) is refused instead of reaching the wrong object.
#pragma once

#include <windows.h>

#include <cstdint>

enum class HandleKind : uint8_t { Free, ImageFile, SerialPort };

// Handles run from 0 to kMaxHandles - 1. A job holds one image and one port; the rest is room
// for tests and a second front end.
constexpr int kMaxHandles = 16;

// Adds an open HANDLE; its number, or -1 when the table is full (the caller closes the HANDLE).
int AddHandle(HANDLE handle, HandleKind kind);

// The HANDLE behind `handle`, or INVALID_HANDLE_VALUE when it is not an open one of `kind`.
HANDLE FindHandle(int handle, HandleKind kind);

// Takes the entry out of the table and gives its HANDLE for closing (INVALID_HANDLE_VALUE as
// for FindHandle).
HANDLE RemoveHandle(int handle, HandleKind kind);

// The errno value that says the same as a GetLastError() code where no call has a more precise
// reading of its own; EIO for anything unexpected.
int ErrnoFromWindowsError(DWORD code);
