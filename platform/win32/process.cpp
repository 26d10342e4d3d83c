// Processes and records on Windows: the files are real; starting children for a many-board run
// is still to come (a run with one port needs none).
#include <windows.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/win32/handles.h"

std::string OwnExecutablePath() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return "";
    return std::string(path, n);
}

bool StartChildProcess(const std::vector<std::string>&, ChildProcess*, int* error) {
    *error = ENOSYS;
    return false;
}

int ReadChildOutput(ChildProcess*, char*, size_t) {
    return -1;
}

bool WriteChildInput(ChildProcess*, const char*, size_t) {
    return false;
}

void WaitForChildren(ChildProcess* const*, size_t, uint32_t ms) {
    Sleep(ms);
}

bool ReapChildProcess(ChildProcess* child, uint32_t) {
    return child->ended;
}

void KillChildProcess(ChildProcess*) {}

void CloseChildProcess(ChildProcess*) {}

bool CountInputLinesAsInterrupts(int* error) {
    *error = ENOSYS;
    return false;
}

std::vector<std::string> MatchDeviceNames(const char*) {
    return {};
}

std::string DeviceKey(const char* device) {
    // Windows names each port once: "COM3" and "\\.\COM3" are one port.
    std::string key = device;
    if (key.rfind("\\\\.\\", 0) == 0) key.erase(0, 4);
    for (char& c : key)
        c = char(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return key;
}

std::string StableDeviceName(const char*) {
    return "";
}

namespace {

bool WriteAllTo(HANDLE file, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        DWORD written = 0;
        if (!WriteFile(file, text.data() + done, DWORD(text.size() - done), &written, nullptr)) {
            return false;
        }
        done += written;
    }
    return true;
}

}  // namespace

bool AppendDurably(const char* path, const std::string& text, int* error) {
    const HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = ErrnoFromWindowsError(GetLastError());
        return false;
    }
    const bool ok = WriteAllTo(file, text) && FlushFileBuffers(file);
    if (!ok) *error = ErrnoFromWindowsError(GetLastError());
    CloseHandle(file);
    return ok;
}

bool ReplaceFileAtomically(const char* path, const std::string& text, int* error) {
    const std::string temporary = std::string(path) + ".new";
    const HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = ErrnoFromWindowsError(GetLastError());
        return false;
    }
    bool ok = WriteAllTo(file, text) && FlushFileBuffers(file);
    if (!ok) *error = ErrnoFromWindowsError(GetLastError());
    CloseHandle(file);
    if (ok &&
        !MoveFileExA(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = ErrnoFromWindowsError(GetLastError());
        ok = false;
    }
    if (!ok) DeleteFileA(temporary.c_str());
    return ok;
}

bool ReadWholeFileInto(const char* path, std::string* bytes, int* error) {
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = ErrnoFromWindowsError(GetLastError());
        return false;
    }
    bytes->clear();
    char buffer[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr)) && got > 0) {
        bytes->append(buffer, got);
    }
    if (!ok) *error = ErrnoFromWindowsError(GetLastError());
    CloseHandle(file);
    return ok;
}

bool IsFolder(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
