// The console and its interrupts for now: plain output, no Ctrl-C of our own (the system's
// default ends the program, and closing the port is then the system's), no cursor to guard.
#include <windows.h>

#include "platform/console.h"
#include "platform/interrupts.h"

#include <atomic>

bool ConsoleIsTerminal() {
    return false;
}

unsigned ConsoleColumns() {
    return 0;
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

void ConsoleGuardCursor(bool) {}

bool ConsoleTakeResumed() {
    return false;
}

bool WatchInterrupts(bool, int*) {
    return true;
}

namespace {
std::atomic<int> raised{0};
}  // namespace

int InterruptCount() {
    return raised.load();
}

void RaiseInterrupt() {
    raised.fetch_add(1);
}

void SleepUnlessInterrupted(uint32_t ms) {
    Sleep(ms);
}

InterruptsBlocked::InterruptsBlocked() {}

InterruptsBlocked::~InterruptsBlocked() {}
