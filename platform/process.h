// Processes of this program's own, for a front end that runs each board's job in a process of
// its own (a board that hangs or a port that fails touches no other), and the few file services
// such a run keeps its records with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// This program's own executable, to start it again; "" when the system cannot say.
std::string OwnExecutablePath();

// A child's standard input and output are pipes of ours; its standard error is discarded (what
// it has to say comes on its output). It runs apart from our terminal's Ctrl-C (POSIX: a
// process group of its own; Windows: a console process group of its own), so that an interrupt
// reaches it only through us.
struct ChildProcess {
    intptr_t process = 0;  // the system's id of it; 0 for none
    intptr_t input = -1;   // what we write reaches its standard input
    intptr_t output = -1;  // its standard output, read without blocking
    bool ended = false;
    int exitCode = -1;
};

// Starts argv[0] with the arguments that follow. False with *error when it could not start.
bool StartChildProcess(const std::vector<std::string>& argv, ChildProcess* child, int* error);

// What the child has written since the last call, without blocking: the count of bytes, 0 when
// nothing is there now, -1 once its output has ended (it exited or closed it).
int ReadChildOutput(ChildProcess* child, char* buffer, size_t size);

// Writes `text` to the child's input; false when it no longer reads it.
bool WriteChildInput(ChildProcess* child, const char* text, size_t size);

// Waits up to `ms` until one of the children has output or has ended its output, or an interrupt
// arrives (see platform/interrupts.h). Children whose output has ended are passed over.
void WaitForChildren(ChildProcess* const* children, size_t count, uint32_t ms);

// Collects the exit code once the child has ended: true with `ended` and `exitCode` set (128 +
// the signal's number for one ended by a signal). With `waitMs` 0 it never blocks.
bool ReapChildProcess(ChildProcess* child, uint32_t waitMs);

// Ends the child at once (POSIX: SIGKILL), for one that does not end when asked.
void KillChildProcess(ChildProcess* child);

// Closes our ends of its pipes (the child then reads the end of its input); reaps it when it has
// ended.
void CloseChildProcess(ChildProcess* child);

// For the child: each line on standard input, and its end, counts as one interrupt, as a Ctrl-C
// would (see platform/interrupts.h). A parent that dies closes the pipe: its children cancel.
bool CountInputLinesAsInterrupts(int* error);

// The device names that `pattern` (a shell glob such as /dev/serial/by-id/usb-FTDI_*) matches,
// sorted; empty when none does. Windows has no device files to match: empty.
std::vector<std::string> MatchDeviceNames(const char* pattern);

// A key that is the same for two names of one device (a by-id link and its ttyUSB), "" when the
// device cannot be looked at (then its name stands for itself).
std::string DeviceKey(const char* device);

// The stable name that leads to `device` (POSIX: a link in <device folder>/serial/by-id, see
// SerialDeviceFolder), "" when none does.
std::string StableDeviceName(const char* device);

// Appends `text` to the file at `path` (created when missing, mode 0644), and has the system put
// it on disk before returning, so that a crash or a power cut loses no record written.
bool AppendDurably(const char* path, const std::string& text, int* error);

// Replaces the file at `path` by one holding `text` in one step (a file beside it, then a
// rename): a reader sees the old file or the new one, never half of one.
bool ReplaceFileAtomically(const char* path, const std::string& text, int* error);

// Reads the whole file into *bytes (for hashing an image once); false with *error.
bool ReadWholeFileInto(const char* path, std::string* bytes, int* error);

// Whether `path` is a folder (for a transcript folder).
bool IsFolder(const char* path);
