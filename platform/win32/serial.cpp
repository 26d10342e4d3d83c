#include <errno.h>
#include <windows.h>

#include "platform/platform.h"
#include "platform/port_names.h"
#include "platform/win32/handles.h"

namespace {

// The driver's queues: a whole 1029-byte XMODEM packet fits the output queue.
constexpr DWORD kInputQueue = 64;
constexpr DWORD kOutputQueue = 1200;

// Every read asks for one byte, so the interval between bytes never decides anything; the read's
// total timeout is the one that counts.
constexpr DWORD kReadIntervalMs = 10;
constexpr DWORD kReadMsPerByte = 1;

// The read timeout in force on each open port, by handle: a failed read waits it out.
uint32_t portReadTotalMs[kMaxHandles];

// What a person is told when the port does not open.
int OpenError(DWORD code) {
    switch (code) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            // Windows gives a port to one program at a time and says "access denied" to the next.
            return EBUSY;
        default:
            return ErrnoFromWindowsError(code);
    }
}

}  // namespace

bool PortAliasPath(const char*, char*, size_t) {
    return false;  // Windows names its ports itself: there are no aliases to keep
}

bool ResolvePortName(const char* name, char* device, size_t size) {
    // "COM10" and above reach nothing by their plain name; the device namespace reaches every
    // port, so every COMn goes through it alike.
    return ResolvePortNameInDeviceNamespace(name, device, size);
}

int OpenSerialPort(const char* device, int* error) {
    // Share mode 0: a port another program holds fails to open, and none can open ours. No flags:
    // plain synchronous reads and writes, bounded by the timeouts below.
    const HANDLE port =
        CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        *error = OpenError(GetLastError());
        return -1;
    }
    // A file, a pipe or a device that is no serial port is refused before anything is written.
    DCB state{};
    state.DCBlength = sizeof state;
    int failure = 0;
    int handle = -1;
    if (GetFileType(port) != FILE_TYPE_CHAR || !GetCommState(port, &state)) {
        failure = ENOTTY;
    } else {
        handle = AddHandle(port, HandleKind::SerialPort);
        if (handle < 0) failure = EMFILE;
    }
    if (handle >= 0) portReadTotalMs[handle] = 100;
    if (failure != 0) {
        CloseHandle(port);
        *error = failure;
        return -1;
    }
    return handle;
}

bool ConfigureSerialPort(int port, int* error) {
    const HANDLE handle = FindHandle(port, HandleKind::SerialPort);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = EBADF;
        return false;
    }
    DCB state{};
    state.DCBlength = sizeof state;
    if (!GetCommState(handle, &state)) {
        *error = ErrnoFromWindowsError(GetLastError());
        return false;
    }
    // 115200 8N1, binary, no flow control of any kind, DTR and RTS held on. The XON/XOFF limits
    // and characters and the error, end-of-file and event characters keep the driver's values.
    state.BaudRate = CBR_115200;
    state.ByteSize = 8;
    state.Parity = NOPARITY;
    state.StopBits = ONESTOPBIT;
    state.fBinary = TRUE;
    state.fParity = FALSE;
    state.fOutxCtsFlow = FALSE;
    state.fOutxDsrFlow = FALSE;
    state.fDtrControl = DTR_CONTROL_ENABLE;
    state.fDsrSensitivity = FALSE;
    state.fTXContinueOnXoff = FALSE;
    state.fOutX = FALSE;
    state.fInX = FALSE;
    state.fErrorChar = FALSE;
    state.fNull = FALSE;
    state.fRtsControl = RTS_CONTROL_ENABLE;
    state.fAbortOnError = FALSE;
    if (!SetCommState(handle, &state) || !SetupComm(handle, kInputQueue, kOutputQueue)) {
        *error = ErrnoFromWindowsError(GetLastError());
        return false;
    }
    return true;
}

bool SetSerialTimeouts(int port, uint32_t readTotalMs, uint32_t writeMsPerByte,
                       uint32_t writeTotalMs) {
    const HANDLE handle = FindHandle(port, HandleKind::SerialPort);
    if (handle == INVALID_HANDLE_VALUE) return false;
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = kReadIntervalMs;
    timeouts.ReadTotalTimeoutMultiplier = kReadMsPerByte;
    timeouts.ReadTotalTimeoutConstant = readTotalMs;
    timeouts.WriteTotalTimeoutMultiplier = writeMsPerByte;
    timeouts.WriteTotalTimeoutConstant = writeTotalMs;
    if (!SetCommTimeouts(handle, &timeouts)) return false;
    portReadTotalMs[port] = readTotalMs;
    return true;
}

int32_t WriteSerialPort(int port, const void* data, uint32_t count) {
    const HANDLE handle = FindHandle(port, HandleKind::SerialPort);
    if (handle == INVALID_HANDLE_VALUE) return -1;
    // One call: the driver ends it when the write timeout expires, short if need be.
    DWORD written = 0;
    if (!WriteFile(handle, data, count, &written, nullptr)) return -1;
    return int32_t(written);
}

// Read failures that mean the adapter has gone (unplugged USB adapters fail every read with one
// of these at once) rather than a line that is merely quiet.
static bool DeviceGone(DWORD code) {
    switch (code) {
        case ERROR_DEVICE_REMOVED:
        case ERROR_BAD_COMMAND:
        case ERROR_ACCESS_DENIED:
        case ERROR_OPERATION_ABORTED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_GEN_FAILURE:
            return true;
        default:
            return false;
    }
}

int ReadSerialPort(int port, uint8_t* value, int* error) {
    const HANDLE handle = FindHandle(port, HandleKind::SerialPort);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = EBADF;
        return -1;
    }
    const Deadline deadline = Deadline::After(portReadTotalMs[port]);
    DWORD got = 0;
    if (ReadFile(handle, value, 1, &got, nullptr)) return got == 1 ? 1 : 0;
    const DWORD code = GetLastError();
    // Gone or not, the answer comes only once the whole timeout has passed, so that no caller's
    // loop can spin on a port that fails at once.
    WaitUntil(deadline);
    if (!DeviceGone(code)) return 0;
    *error = ENODEV;
    return -1;
}

long SerialPortLockOwner(const char*, char*, size_t) {
    return 0;  // Windows keeps no lock files: share mode 0 is the only hold
}

void ReleaseSerialPortHolds() {}

bool CloseSerialPort(int port) {
    const HANDLE handle = RemoveHandle(port, HandleKind::SerialPort);
    return handle != INVALID_HANDLE_VALUE && CloseHandle(handle);
}
