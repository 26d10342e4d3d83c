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
// hangs the caller), and holds it with a shared lock for as long as it stays open: other readers
// share it, a program holding it exclusively refuses it, and a file system without locks has none
// to take. Returns a handle or -1 (EISDIR for a directory, EINVAL for another non-regular file,
// EFBIG for 4 GiB or more, EWOULDBLOCK when another program holds it exclusively, else the open's
// errno). On Windows the file is held unshared instead (share mode 0): no other program may open
// it meanwhile, and EWOULDBLOCK means any program has it open; a device name is EINVAL.
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

// Turns a port name into the device to open, by the rules of platform/port_names.h: on POSIX
// "COM1".."COM255" open the user's alias when it exists, else /dev/ttyS<n-1>; on Windows every
// "COMn" becomes "\\.\COMn". Any other name is taken as a device path. False when it does not
// fit `size`.
bool ResolvePortName(const char* name, char* device, size_t size);

// Where the alias of "COMn" lives (whether or not it exists). False when it does not fit, and
// always on Windows, which names its ports itself.
bool PortAliasPath(const char* name, char* path, size_t size);

// Opens a terminal device for this program alone, without waiting for carrier. Returns a handle
// or -1 (ENOTTY for something that is not a terminal). A port another program holds fails with
// EBUSY, whoever runs this: held by flock, by the terminal's exclusive flag (TIOCEXCL, which root
// could otherwise open past), or by a UUCP lock file that names a live process. While open, the
// port carries an exclusive flag of ours and, where the lock folder lets us write, a lock file of
// ours, so that terminal programs such as minicom and cu leave it alone too.
//
// Lock files follow the HDB/UUCP convention: <folder>/LCK..<name>, holding the owner's PID as ten
// characters right-aligned and a newline. <folder> is $QUORVANE_LOCK_DIR when that is an absolute
// path, else /run/lock. <name> is the device's real path (links resolved) below /dev with '/'
// turned into '_' (/dev/ttyUSB0: LCK..ttyUSB0, /dev/pts/3: LCK..pts_3); a device outside /dev
// uses its file name. A lock file whose PID is no live process is stale: it counts for nothing
// and is replaced by ours. On Windows the port is opened with share mode 0 and "\\.\COMn" is
// its name; the system refuses a second opener.
//
// On POSIX the terminal's settings as found here are put back when the port is closed (or its
// holds are released): a person's own stty settings outlive the job.
int OpenSerialPort(const char* device, int* error);

// The live process whose lock file holds `device` (its path in `lockFile`), or 0 when none does.
long SerialPortLockOwner(const char* device, char* lockFile, size_t size);

// Puts the settings back (at once, without waiting for queued bytes), clears our exclusive flag
// and removes our lock file on every port this process has open, for a program about to quit
// while its worker still uses a port: the system then closes the port, but neither the settings
// nor the flag of a terminal that someone else keeps open, nor the lock file, would go with it.
// Safe from any thread; CloseSerialPort afterwards only closes.
void ReleaseSerialPortHolds();

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

// Waits for one byte within the read timeout: 1 with *value set, 0 on silence, -1 when the
// device has gone (hang-up, EIO, ENXIO, ENODEV: *error says which, EIO for a hang-up without an
// errno). Gone is said only once the whole timeout has passed, so no caller's loop can spin; a
// device that is merely silent (a cable pulled from a built-in port) is not gone.
int ReadSerialPort(int port, uint8_t* value, int* error);

// Lets the bytes still queued go out, puts the terminal's settings back as they were found (see
// OpenSerialPort), gives up the flag and the lock file this process set, and closes the port.
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
