// The few operating-system services the engine and the front ends use. One implementation is
// linked per build (platform/posix/ or platform/win32/); nothing above this header knows which.
// Handles are small non-negative integers; -1 means "no handle". Calls that fail leave an errno
// value in *error where they take one, so a front end can say what a person can do about it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// ---- Millisecond tick -------------------------------------------------------------------------

// A 32-bit millisecond counter from a monotonic clock, shared by every thread. Differences are
// taken modulo 2^32.
uint32_t TickMs();

// Shifts what TickMs() reads, so tests can run a job across the counter's wrap.
void SetTickOffsetForTesting(uint32_t offsetMs);

// The one way to wait: a span of milliseconds measured on TickMs().
struct Deadline {
    uint32_t startMs;
    uint32_t spanMs;

    static Deadline After(uint32_t spanMs) { return Deadline{TickMs(), spanMs}; }
    uint32_t ElapsedMs() const { return TickMs() - startMs; }
    bool Expired() const { return ElapsedMs() >= spanMs; }
    uint32_t RemainingMs() const {
        const uint32_t elapsed = ElapsedMs();
        return elapsed >= spanMs ? 0 : spanMs - elapsed;
    }
};

// Sleeps for the rest of the deadline (used where a gone device must not make a loop spin).
void WaitUntil(const Deadline& deadline);

// ---- Image file -------------------------------------------------------------------------------

// Opens a regular file smaller than 4 GiB for reading, without blocking (a FIFO or device never
// hangs the caller) and locked against a second job for as long as it stays open (on Windows it is
// held unshared: no other program can open it meanwhile). Returns a handle or -1 (EISDIR for a
// directory, EINVAL for another non-regular file or a device, EFBIG for 4 GiB or more, EWOULDBLOCK
// when another job holds it (on Windows: any program), else the open's errno).
int OpenImageFile(const char* path, int* error);

// The size of the open file in bytes.
bool GetImageFileSize(int file, uint64_t* size, int* error);

// Reads up to `count` bytes from the current position, retrying interrupted and partial reads:
// fewer than `count` only at end of file, -1 when a read fails.
int32_t ReadImageFile(int file, void* buffer, uint32_t count, int* error);

// Moves the file position back to the first byte.
bool RewindImageFile(int file, int* error);

bool CloseImageFile(int file);

// ---- Serial port ------------------------------------------------------------------------------

// Turns a port name into the device to open: "COM1".."COM12" go through the user's alias
// $XDG_CONFIG_HOME/quorvane/ports/COMn (default ~/.config/...) when it exists, else to
// /dev/ttyS<n-1>; on Windows every "COMn" becomes "\\.\COMn". Any other name is taken as a
// device path. False when it does not fit `size`.
bool ResolvePortName(const char* name, char* device, size_t size);

// Where the alias of "COMn" lives (whether or not it exists). False when it does not fit, and
// always on Windows, which names its ports itself.
bool PortAliasPath(const char* name, char* path, size_t size);

// Opens a terminal device exclusively (a port another program holds fails with EBUSY), without
// waiting for carrier. Returns a handle or -1 (ENOTTY for something that is not a serial port).
int OpenSerialPort(const char* device, int* error);

// Raw 115200 bit/s, 8 data bits, no parity, one stop bit, no flow control; DTR and RTS raised
// where the device has them.
bool ConfigureSerialPort(int port, int* error);

// Reads wait at most readTotalMs for their byte; a write of n bytes ends after
// n * writeMsPerByte + writeTotalMs.
bool SetSerialTimeouts(int port, uint32_t readTotalMs, uint32_t writeMsPerByte,
                       uint32_t writeTotalMs);

// Writes `count` bytes within the write deadline. Returns how many went out (fewer when the
// deadline passed first), or -1 when the write call fails.
int32_t WriteSerialPort(int port, const void* data, uint32_t count);

// Waits for one byte within the read timeout: 1 with *value set, 0 on silence. A device that has
// gone (hang-up, EIO) reads as silence, but only once the whole timeout has passed.
int ReadSerialPort(int port, uint8_t* value);

bool CloseSerialPort(int port);

// ---- Worker thread ----------------------------------------------------------------------------

constexpr uint32_t kStillActive = 259;

// One worker thread with an exit code that reads kStillActive until its entry has returned.
class WorkerThread {
  public:
    using Entry = int32_t (*)(void* parameter);

    WorkerThread() = default;
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;
    ~WorkerThread() { Close(); }

    // Starts the thread at once. False when it could not be created or one is already held.
    bool Start(Entry entry, void* parameter);

    // Never blocks. False when no thread is held (never started, or closed).
    bool GetExitCode(uint32_t* code) const;

    bool IsOpen() const { return open_; }

    // Releases the handle; waits for the thread if it still runs.
    void Close();

  private:
    friend struct WorkerThreadStart;  // the platform's thread function, which runs entry_

    Entry entry_ = nullptr;
    void* parameter_ = nullptr;
    bool open_ = false;
    uintptr_t handle_ = 0;  // the platform's own handle of the thread while open_
    // Where the platform's threads carry no exit code of their own, the thread stores it here.
    std::atomic<uint32_t> exitCode_{kStillActive};
};
