// quorvane-cli: writes one image into a device from a terminal, with the same update job, stage
// texts and result texts as the windowed front end. The exit status is the job's result (0..7).

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "platform.h"
#include "res/strings.h"
#include "update_job.h"

namespace {

constexpr int kExitUsage = 64;     // bad command line; nothing was opened
constexpr int kExitSoftware = 70;  // the worker ended with a value that is no UpdateResult
constexpr int kExitNoThread = 71;  // the worker could not be started
constexpr uint32_t kTickMs = 100;
constexpr uint32_t kLogLineMs = 1000;  // progress line period when stdout is not a terminal
constexpr uint32_t kMinBytesForEstimate = 0x2800;

constexpr char kSynopsis[] = "usage: quorvane-cli [--port NAME] [--expect-identity ID] IMAGE\n";
constexpr char kUsageBody[] =
    "\n"
    "Writes IMAGE into the device on serial port NAME: wakes its console, checks it, announces\n"
    "the image, sends it with XMODEM and waits for the device's verdict.\n"
    "\n"
    "  --port NAME           COM1 .. COM12 (default COM1), or a device path such as\n"
    "                        /dev/ttyUSB0. COMn opens the link ~/.config/quorvane/ports/COMn\n"
    "                        (under $XDG_CONFIG_HOME when set) when it exists, else\n"
    "                        /dev/ttyS<n-1>.\n"
    "  --expect-identity ID  refuse an image or device whose identity is not ID\n"
    "                        (exactly 8 characters)\n"
    "  --help                show this text\n"
    "\n"
    "Ctrl-C cancels the update. Exit status: 0 success, 1 cancelled, 2 image file I/O error,\n"
    "3 serial port I/O error, 4 image file invalid, 5 target connect fail, 6 transfer fail,\n"
    "7 update fail, 64 bad usage.\n";

constexpr char kTryHelp[] = "Run 'quorvane-cli --help' for the options and exit codes.\n";

struct Options {
    const char* image = nullptr;
    const char* portName = "COM1";
    int32_t portIndex = 0;
    const char* portDevice = nullptr;
    bool identityCheck = false;
    uint8_t identity[8] = {};
};

enum class Parsed { Run, Help, Bad };

bool Fail(const char* what, const char* arg) {
    std::fprintf(stderr, "quorvane-cli: %s '%s'\n%s%s", what, arg, kSynopsis, kTryHelp);
    return false;
}

bool SetPort(Options* options, const char* name) {
    if (std::strchr(name, '/') != nullptr) {
        options->portName = name;
        options->portDevice = name;
        return true;
    }
    for (int32_t i = 0; i < kPortCount; ++i) {
        if (std::strcmp(name, kPortNames[i]) == 0) {
            options->portName = name;
            options->portIndex = i;
            options->portDevice = nullptr;
            return true;
        }
    }
    return Fail("no such port (COM1 .. COM12 or a device path):", name);
}

bool SetIdentity(Options* options, const char* id) {
    if (std::strlen(id) != sizeof options->identity) {
        return Fail("an identity has exactly 8 characters, not", id);
    }
    std::memcpy(options->identity, id, sizeof options->identity);
    options->identityCheck = true;
    return true;
}

// The windowed front end takes its identity from row 640: a 16-character row switches the check
// on with its first 8 characters, anything else leaves it off. --expect-identity overrides it.
void IdentityFromStringTable(Options* options) {
    const char* row = LoadString(kIdsIdentity);
    if (std::strlen(row) == 16) {
        std::memcpy(options->identity, row, sizeof options->identity);
        options->identityCheck = true;
    }
}

Parsed ParseArguments(int argc, char** argv, Options* options) {
    IdentityFromStringTable(options);
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                optionsEnded = true;
                continue;
            }
            if (arg == "--help" || arg == "-h") return Parsed::Help;
            const bool isPort = arg == "--port" || arg.starts_with("--port=");
            const bool isIdentity =
                arg == "--expect-identity" || arg.starts_with("--expect-identity=");
            if (!isPort && !isIdentity) {
                Fail("unknown option", argv[i]);
                return Parsed::Bad;
            }
            const char* value = nullptr;
            if (const size_t eq = arg.find('='); eq != std::string_view::npos) {
                value = argv[i] + eq + 1;
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                Fail("a value must follow", argv[i]);
                return Parsed::Bad;
            }
            if (!(isPort ? SetPort(options, value) : SetIdentity(options, value))) {
                return Parsed::Bad;
            }
            continue;
        }
        if (arg.empty()) {
            Fail("an image path cannot be empty:", argv[i]);
            return Parsed::Bad;
        }
        if (options->image != nullptr) {
            Fail("one image at a time; also given", argv[i]);
            return Parsed::Bad;
        }
        options->image = argv[i];
    }
    if (options->image == nullptr) {
        std::fprintf(stderr, "quorvane-cli: no image given\n%s%s", kSynopsis, kTryHelp);
        return Parsed::Bad;
    }
    return Parsed::Run;
}

// Ctrl-C is the Cancel button: it only raises the flag; the job ends through its own cancel path.
static_assert(std::atomic<bool>::is_always_lock_free);
void OnInterrupt(int) {
    updateJob.cancelRequested.store(true, std::memory_order_relaxed);
}

bool InstallInterruptHandlers() {
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    // A reader of our output that goes away (| head) must not kill a job halfway through.
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0 &&
           sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

int32_t WorkerEntry(void* parameter) {
    return RunUpdateJob(parameter);
}

// Shows the job on stdout with the progress window's texts: a line per stage and, during the
// transfer, the byte counts and times, redrawn in place on a terminal and at most once a second
// otherwise. Unlike the window it is a log: a stage that began and ended between two polls still
// gets its line (stages only move forward within a job), so the output reads the same however
// fast the device is.
class ProgressPrinter {
  public:
    ProgressPrinter() : tty_(isatty(STDOUT_FILENO) == 1) {}

    // One poll of the record; the stage is read before the figures it comes with.
    void Tick() {
        const UpdateStage stage = GetStage();
        if (stage > shown_ && stage <= StageEnd) {
            AdvanceTo(stage);
        } else if (stage == StageNone && shown_ != StageNone) {
            AdvanceTo(StageEnd);  // the job has succeeded and reset its stage
        }
        if (shown_ == StageTransfer) ShowRunningFigures(false);
    }

    // After the job has ended: a transfer that failed leaves its last figures on screen; a job
    // that succeeded shows every stage up to its end.
    void Finish(bool success) {
        if (success) {
            AdvanceTo(StageEnd);
        } else if (shown_ == StageTransfer) {
            ShowRunningFigures(true);
        }
        EndOpenLine();
    }

    // Before anything goes to stderr, so it does not land in the middle of a redrawn line.
    void EndOpenLine() {
        if (lineOpen_) {
            std::fputs("\n", stdout);
            std::fflush(stdout);
            lineOpen_ = false;
        }
    }

  private:
    void AdvanceTo(UpdateStage target) {
        while (shown_ < target) {
            if (shown_ == StageTransfer) {
                // Seen only after a later stage, whose acquire load orders this read.
                const uint32_t spanMs = updateJob.transferEndMs.load(std::memory_order_relaxed) -
                                        updateJob.transferStartMs.load(std::memory_order_relaxed);
                ShowFigures(spanMs, 0, true);
            }
            shown_ = static_cast<UpdateStage>(shown_ + 1);
            PrintLine(StageText(shown_));
        }
    }

    void ShowRunningFigures(bool last) {
        const uint32_t elapsedMs =
            TickMs() - updateJob.transferStartMs.load(std::memory_order_relaxed);
        const uint32_t sent = updateJob.bytesSent.load(std::memory_order_relaxed);
        const uint32_t size = updateJob.imageSize.load(std::memory_order_relaxed);
        uint32_t remainingMs = 0;
        if (sent >= kMinBytesForEstimate) {
            remainingMs =
                static_cast<uint32_t>(static_cast<uint64_t>(size - sent) * elapsedMs / sent);
        }
        ShowFigures(elapsedMs, remainingMs, last);
    }

    void ShowFigures(uint32_t elapsedMs, uint32_t remainingMs, bool last) {
        char text[128];
        std::snprintf(text, sizeof text,
                      "Transfer Size %u / %u Bytes   Elapse %2u sec / Remain %2u sec",
                      updateJob.bytesSent.load(std::memory_order_relaxed),
                      updateJob.imageSize.load(std::memory_order_relaxed), elapsedMs / 1000,
                      remainingMs / 1000);
        const bool changed = figures_ != text;
        if (tty_) {
            if (changed) {
                std::fprintf(stdout, "\r%s\033[K", text);
                lineOpen_ = true;
            }
            if (last) EndOpenLine();
        } else {
            const uint32_t now = TickMs();
            if (changed && (last || !figuresPrinted_ || now - figuresAtMs_ >= kLogLineMs)) {
                std::fprintf(stdout, "%s\n", text);
                figuresPrinted_ = true;
                figuresAtMs_ = now;
            } else {
                return;
            }
        }
        figures_ = text;
        std::fflush(stdout);
    }

    void PrintLine(const char* text) {
        EndOpenLine();
        std::fprintf(stdout, "%s\n", text);
        std::fflush(stdout);
    }

    const bool tty_;
    UpdateStage shown_ = StageNone;
    bool lineOpen_ = false;
    bool figuresPrinted_ = false;
    uint32_t figuresAtMs_ = 0;
    std::string figures_;
};

void ExplainImageError(const Options& options, int error, UpdateStage stage) {
    const char* image = options.image;
    switch (error) {
        case 0:
            if (stage == StageCheckImage && updateJob.result == ResultImageInvalid) {
                std::fprintf(stderr,
                             "quorvane-cli: %s does not begin with the identity \"%.8s\".\n", image,
                             reinterpret_cast<const char*>(options.identity));
            } else if (stage == StageCheckImage && updateJob.result == ResultImageIoError) {
                std::fprintf(stderr,
                             "quorvane-cli: could not read the first 8 bytes of %s; an image has "
                             "at least 8.\n",
                             image);
            }
            return;
        case ENOENT:
            std::fprintf(stderr, "quorvane-cli: %s does not exist.\n", image);
            return;
        case EACCES:
        case EPERM:
            std::fprintf(stderr, "quorvane-cli: no permission to read %s.\n", image);
            return;
        case EISDIR:
            std::fprintf(stderr, "quorvane-cli: %s is a directory, not an image file.\n", image);
            return;
        case EINVAL:
            std::fprintf(stderr, "quorvane-cli: %s is not a regular file.\n", image);
            return;
        case EFBIG:
            std::fprintf(stderr, "quorvane-cli: %s is 4 GiB or larger; an image must be smaller.\n",
                         image);
            return;
        case EWOULDBLOCK:
            std::fprintf(stderr,
                         "quorvane-cli: %s is held by another program (another update may be using "
                         "it).\n",
                         image);
            return;
        default:
            std::fprintf(stderr, "quorvane-cli: %s: %s.\n", image, std::strerror(error));
            return;
    }
}

void ExplainPortError(const Options& options, int error) {
    if (error == 0) return;
    char device[512] = "";
    if (options.portDevice != nullptr) {
        std::snprintf(device, sizeof device, "%s", options.portDevice);
    } else if (!ResolvePortName(options.portName, device, sizeof device)) {
        std::snprintf(device, sizeof device, "%s", options.portName);
    }
    // "COM3 (/dev/ttyS2)" tells a person both what they asked for and what was opened.
    std::string port = device;
    if (options.portDevice == nullptr) port = std::string(options.portName) + " (" + device + ")";

    switch (error) {
        case EACCES:
        case EPERM:
            std::fprintf(stderr,
                         "quorvane-cli: no permission to open %s. Serial ports belong to the "
                         "dialout group: sudo usermod -aG dialout $USER, then log in again.\n",
                         port.c_str());
            return;
        case EBUSY:
        case EWOULDBLOCK:
            std::fprintf(stderr,
                         "quorvane-cli: %s is held by another program; close that program and try "
                         "again.\n",
                         port.c_str());
            return;
        case ENOENT:
        case ENODEV:
        case ENXIO: {
            if (options.portDevice != nullptr) {
                std::fprintf(stderr,
                             "quorvane-cli: %s does not exist; is the adapter plugged in?\n",
                             device);
                return;
            }
            char alias[512] = "";
            if (!PortAliasPath(options.portName, alias, sizeof alias)) {
                std::fprintf(stderr, "quorvane-cli: %s does not exist.\n", port.c_str());
                return;
            }
            char target[512] = "";
            const ssize_t length = readlink(alias, target, sizeof target - 1);
            if (length > 0) {
                target[length] = '\0';
                std::fprintf(stderr,
                             "quorvane-cli: %s is linked by %s to %s, which does not exist; is "
                             "the adapter plugged in?\n",
                             options.portName, alias, target);
                return;
            }
            const std::string folder = std::string(alias, std::strrchr(alias, '/'));
            std::fprintf(stderr,
                         "quorvane-cli: %s does not exist. Make %s a link to your serial "
                         "device:\n"
                         "  mkdir -p %s && ln -sfn /dev/ttyUSB0 %s\n"
                         "or pass the device itself: --port /dev/ttyUSB0\n",
                         port.c_str(), options.portName, folder.c_str(), alias);
            return;
        }
        case ENOTTY:
            std::fprintf(stderr, "quorvane-cli: %s is not a serial port.\n", port.c_str());
            return;
        default:
            std::fprintf(stderr, "quorvane-cli: %s: %s.\n", port.c_str(), std::strerror(error));
            return;
    }
}

void ReportOutcome(const Options& options, uint32_t code) {
    if (code == ResultSuccess) return;
    if (code == ResultCancelled) {
        std::fputs("quorvane-cli: cancelled\n", stderr);
        return;
    }
    const char* text = ResultText(static_cast<int32_t>(code));
    if (*text == '\0') {
        std::fprintf(stderr, "quorvane-cli: the update ended abnormally (code %u)\n", code);
        return;
    }
    std::fprintf(stderr, "%s\n", text);
    // The worker has ended, so its record may be read now.
    const int error = updateJob.systemError;
    const UpdateStage stage = GetStage();
    if (code == ResultPortIoError) {
        ExplainPortError(options, error);
    } else if (code == ResultImageInvalid || code == ResultImageIoError) {
        ExplainImageError(options, error, stage);
    }
}

int RunJob(const Options& options) {
    updateJob.imagePath = options.image;
    updateJob.portIndex = options.portIndex;
    updateJob.portDevice = options.portDevice;
    updateJob.identityCheck = options.identityCheck;
    std::memcpy(updateJob.expectedIdentity, options.identity, sizeof updateJob.expectedIdentity);
    updateJob.cancelRequested.store(false, std::memory_order_relaxed);

    if (!InstallInterruptHandlers()) {
        std::fprintf(stderr, "quorvane-cli: cannot catch Ctrl-C: %s\n", std::strerror(errno));
        return kExitNoThread;
    }
    // The worker starts with the interrupts blocked, so Ctrl-C always lands on this thread and
    // never cuts into the worker's port calls.
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &interrupts, &previous);
    WorkerThread worker;
    const bool started = worker.Start(WorkerEntry, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started) {
        std::fputs("quorvane-cli: cannot start the worker thread\n", stderr);
        return kExitNoThread;
    }

    ProgressPrinter progress;
    uint32_t code = kStillActive;
    for (;;) {
        WaitUntil(Deadline::After(kTickMs));
        const bool ended = worker.GetExitCode(&code) && code != kStillActive;
        if (ended) worker.Close();
        progress.Tick();
        if (ended) break;
    }
    progress.Finish(code == ResultSuccess);
    ReportOutcome(options, code);
    return code <= ResultUpdateFail ? static_cast<int>(code) : kExitSoftware;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    switch (ParseArguments(argc, argv, &options)) {
        case Parsed::Help:
            std::fputs(kSynopsis, stdout);
            std::fputs(kUsageBody, stdout);
            return 0;
        case Parsed::Bad:
            return kExitUsage;
        case Parsed::Run:
            break;
    }
    return RunJob(options);
}
