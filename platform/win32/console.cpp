// The console and its interrupts in one place: the control handler that counts Ctrl-C is the one
// that puts the console's cursor back before the system ends the program.
#include <errno.h>
#include <windows.h>

#include <atomic>

#include "platform/console.h"
#include "platform/interrupts.h"

namespace {

std::atomic<int> interrupts{0};
std::atomic<bool> cursorGuarded{false};
// Signalled by every interrupt, so that SleepUnlessInterrupted wakes at once.
HANDLE interruptEvent = nullptr;

constexpr char kShowCursor[] = "\033[?25h";

HANDLE StdOut() {
    return GetStdHandle(STD_OUTPUT_HANDLE);
}

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

void ShowCursorIfGuarded() {
    if (!cursorGuarded.exchange(false)) return;
    DWORD written = 0;
    WriteFile(StdOut(), kShowCursor, sizeof kShowCursor - 1, &written, nullptr);
}

// Runs on a thread of its own that the system starts. Ctrl-C, Ctrl-Break and the console's
// close button become Cancel; after a close, a logoff or a shutdown the system ends the program
// once this returns (or a few seconds later), so the cursor is put back first.
BOOL WINAPI OnControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            interrupts.fetch_add(1);
            if (interruptEvent != nullptr) SetEvent(interruptEvent);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            interrupts.fetch_add(1);
            if (interruptEvent != nullptr) SetEvent(interruptEvent);
            // Give the main loop a moment to cancel and close the port before the system ends us.
            Sleep(2000);
            ShowCursorIfGuarded();
            return TRUE;
        default:
            return FALSE;
    }
}

// Virtual-terminal output, asked for once: consoles from Windows 10 on offer it; older ones (and
// some emulators) refuse, and the view then logs plain lines.
bool EnableVirtualTerminal() {
    static const bool enabled = [] {
        const HANDLE out = StdOut();
        DWORD mode = 0;
        if (!IsConsole(out) || !GetConsoleMode(out, &mode)) return false;
        if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
        return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    }();
    return enabled;
}

}  // namespace

bool ConsoleIsTerminal() {
    return EnableVirtualTerminal();
}

unsigned ConsoleColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(StdOut(), &info)) return 0;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? unsigned(columns) : 0;
}

void ConsoleWrite(ConsoleStream stream, const char* text, size_t size) {
    const HANDLE handle =
        GetStdHandle(stream == ConsoleStream::Out ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    while (size > 0) {
        DWORD written = 0;
        const DWORD chunk = size > 0x10000 ? 0x10000 : DWORD(size);
        if (!WriteFile(handle, text, chunk, &written, nullptr) || written == 0) return;
        text += written;
        size -= written;
    }
}

void ConsoleGuardCursor(bool on) {
    cursorGuarded.store(on);
}

// A Windows console program is never stopped and resumed.
bool ConsoleTakeResumed() {
    return false;
}

bool WatchInterrupts(bool, int* error) {
    if (interruptEvent == nullptr) interruptEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (interruptEvent == nullptr || !SetConsoleCtrlHandler(OnControl, TRUE)) {
        *error = EINVAL;
        return false;
    }
    return true;
}

int InterruptCount() {
    return interrupts.load();
}

void RaiseInterrupt() {
    interrupts.fetch_add(1);
    if (interruptEvent != nullptr) SetEvent(interruptEvent);
}

void SleepUnlessInterrupted(uint32_t ms) {
    if (interruptEvent == nullptr) {
        Sleep(ms);
        return;
    }
    WaitForSingleObject(interruptEvent, ms);
}

// The control handler runs on a thread of its own, never on the worker: nothing to block.
InterruptsBlocked::InterruptsBlocked() {}

InterruptsBlocked::~InterruptsBlocked() {}
