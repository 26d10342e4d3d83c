// quorvane-cli: writes one image into a device from a terminal or a script, with the same update
// job, progress window logic and texts as the windowed front end. The exit status is the job's
// result (0..7).

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "log_view.h"
#include "outcome.h"
#include "output.h"
#include "platform.h"
#include "port_alias.h"
#include "port_list.h"
#include "res/strings.h"
#include "serial_devices.h"
#include "signals.h"
#include "terminal_view.h"
#include "ui/presenter.h"
#include "update_job.h"

namespace {

constexpr int kExitUsage = 64;         // bad command line; nothing was opened
constexpr int kExitSoftware = 70;      // the worker ended with a value that is no UpdateResult
constexpr int kExitNoThread = 71;      // the worker could not be started
constexpr int kExitInterrupted = 130;  // quit at the third Ctrl-C, before the job had ended
constexpr int kTickMs = 100;

constexpr char kSynopsis[] =
    "usage: quorvane-cli [--port NAME] [--expect-identity ID] [--json] IMAGE\n"
    "       quorvane-cli --list-ports [--json]\n"
    "       quorvane-cli --map COMn=DEVICE | --unmap COMn\n";
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
    "  --json                one JSON object per line on stdout for every change and the\n"
    "                        result, for scripts\n"
    "  --list-ports          show what COM1 .. COM12 open and whether each can be used now,\n"
    "                        then the serial devices present (opening a port may pulse its\n"
    "                        DTR line)\n"
    "  --map COMn=DEVICE     make COMn open DEVICE from now on, e.g.\n"
    "                        --map COM3=/dev/serial/by-id/usb-FTDI_...-port0 (a by-id name\n"
    "                        stays the same whichever socket the adapter is in); DEVICE\n"
    "                        must be a terminal\n"
    "  --unmap COMn          remove that link: COMn opens /dev/ttyS<n-1> again\n"
    "  --version             show the program's version\n"
    "  --help                show this text\n"
    "\n"
    "On a terminal the progress is redrawn in place; otherwise it is logged a line per change.\n"
    "Ctrl-C cancels the update: the device is told and the job ends by itself. A second Ctrl-C\n"
    "only says what the job is waiting for; a third quits at once (exit status 130) and leaves\n"
    "the device to time out.\n"
    "\n"
    "Exit status: 0 success, 1 cancelled, 2 image file I/O error, 3 serial port I/O error,\n"
    "4 image file invalid, 5 target connect fail, 6 transfer fail, 7 update fail, 64 bad usage,\n"
    "130 quit before the job ended. --map and --unmap: 0 done, 64 bad usage, 66 DEVICE refused\n"
    "(missing, not a terminal, or no permission), 73 the link could not be made or removed;\n"
    "on any refusal nothing is changed.\n"
    "\n"
    "A port refused with \"permission denied\" needs the dialout group:\n"
    "  sudo usermod -aG dialout $USER   (then log in again)\n";

constexpr char kTryHelp[] = "Run 'quorvane-cli --help' for the options and exit codes.\n";

constexpr char kCancelRequested[] = "Cancelling...";
constexpr char kCancelWaiting[] =
    "Cancelling: waiting for the device (Ctrl-C again quits without waiting)";

struct Options {
    const char* image = nullptr;
    const char* portName = "COM1";
    int32_t portIndex = 0;
    const char* portDevice = nullptr;
    const char* identity = nullptr;  // --expect-identity, 8 characters
    bool json = false;
    bool listPorts = false;
    const char* mapName = nullptr;    // --map COMn=DEVICE or --unmap COMn
    const char* mapDevice = nullptr;  // null for --unmap
};

enum class Parsed { Run, ListPorts, Map, Unmap, Help, Version, Bad };

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

const char* PortNameOf(std::string_view name) {
    for (const char* known : kPortNames) {
        if (name == known) return known;
    }
    return nullptr;
}

bool SetMap(Options* options, const char* value) {
    const char* eq = std::strchr(value, '=');
    if (eq == nullptr || eq[1] == '\0') {
        return Fail("--map takes COMn=DEVICE, such as COM3=/dev/ttyUSB0, not", value);
    }
    options->mapName = PortNameOf(std::string_view(value, size_t(eq - value)));
    if (options->mapName == nullptr) {
        return Fail("--map takes a name from COM1 .. COM12 before the '=', not", value);
    }
    options->mapDevice = eq + 1;
    return true;
}

bool SetUnmap(Options* options, const char* value) {
    options->mapName = PortNameOf(value);
    if (options->mapName == nullptr) return Fail("--unmap takes COM1 .. COM12, not", value);
    options->mapDevice = nullptr;
    return true;
}

bool SetIdentity(Options* options, const char* id) {
    if (std::strlen(id) != sizeof updateJob.expectedIdentity) {
        return Fail("an identity has exactly 8 characters, not", id);
    }
    options->identity = id;
    return true;
}

Parsed ParseArguments(int argc, char** argv, Options* options) {
    bool optionsEnded = false;
    bool portGiven = false;
    int mappings = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                optionsEnded = true;
                continue;
            }
            if (arg == "--help" || arg == "-h") return Parsed::Help;
            if (arg == "--version") return Parsed::Version;
            if (arg == "--json") {
                options->json = true;
                continue;
            }
            if (arg == "--list-ports") {
                options->listPorts = true;
                continue;
            }
            const bool isPort = arg == "--port" || arg.starts_with("--port=");
            const bool isIdentity =
                arg == "--expect-identity" || arg.starts_with("--expect-identity=");
            const bool isMap = arg == "--map" || arg.starts_with("--map=");
            const bool isUnmap = arg == "--unmap" || arg.starts_with("--unmap=");
            if (!isPort && !isIdentity && !isMap && !isUnmap) {
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
            const bool set = isPort       ? SetPort(options, value)
                             : isIdentity ? SetIdentity(options, value)
                             : isMap      ? SetMap(options, value)
                                          : SetUnmap(options, value);
            if (!set) return Parsed::Bad;
            portGiven = portGiven || isPort;
            if (isMap || isUnmap) ++mappings;
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
    if (mappings > 0) {
        if (mappings > 1 || options->listPorts || options->json || options->image != nullptr ||
            portGiven || options->identity != nullptr) {
            std::fprintf(stderr,
                         "quorvane-cli: --map and --unmap take one port at a time and no other "
                         "option or image\n%s%s",
                         kSynopsis, kTryHelp);
            return Parsed::Bad;
        }
        return options->mapDevice != nullptr ? Parsed::Map : Parsed::Unmap;
    }
    if (options->listPorts) {
        if (options->image != nullptr || portGiven || options->identity != nullptr) {
            std::fprintf(stderr,
                         "quorvane-cli: --list-ports takes no image, port or identity\n%s%s",
                         kSynopsis, kTryHelp);
            return Parsed::Bad;
        }
        return Parsed::ListPorts;
    }
    if (options->image == nullptr) {
        std::fprintf(stderr, "quorvane-cli: no image given\n%s%s", kSynopsis, kTryHelp);
        return Parsed::Bad;
    }
    return Parsed::Run;
}

// The presenter hands the worker's handle back once it has seen the end; the exit code it saw
// is kept here for the program's own exit status.
class RecordedWorker final : public WorkerStatus {
  public:
    bool Start() override { return worker_.Start(); }
    bool GetExitCode(uint32_t* code) override {
        const bool ok = worker_.GetExitCode(code);
        if (ok) code_ = *code;
        return ok;
    }
    void Close() override { worker_.Close(); }
    uint32_t LastExitCode() const { return code_; }

  private:
    UpdateWorker worker_;
    uint32_t code_ = kStillActive;
};

unsigned TerminalColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

bool OutputIsTerminal() {
    if (isatty(STDOUT_FILENO) != 1) return false;
    const char* term = std::getenv("TERM");
    return term == nullptr || std::strcmp(term, "dumb") != 0;
}

void WriteErr(std::string_view text) {
    FdOutput(STDERR_FILENO).Write(text);
}

std::string WorkingDirectory() {
    char path[4096];
    return getcwd(path, sizeof path) != nullptr ? path : "";
}

// Text for stderr once the job has ended: the result text for results 2..7, then what to do.
std::string OutcomeText(uint32_t code, const std::string& remedy) {
    if (code == ResultSuccess) return "";
    if (code == ResultCancelled) return "quorvane-cli: cancelled\n";
    const char* text = ResultText(int32_t(code));
    if (*text == '\0') {
        return "quorvane-cli: the update ended abnormally (code " + std::to_string(code) + ")\n";
    }
    return std::string(text) + "\n" + remedy;
}

std::string WithoutLastNewline(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

int RunJob(const Options& options) {
    const bool json = options.json;
    const bool terminal = !json && OutputIsTerminal();
    if (!InstallSignalHandlers(terminal)) {
        std::fprintf(stderr, "quorvane-cli: cannot catch Ctrl-C: %s\n", std::strerror(errno));
        return kExitNoThread;
    }

    updateJob.imagePath = options.image;
    updateJob.portIndex = options.portIndex;
    updateJob.portDevice = options.portDevice;
    // The windowed front end takes the identity check from row 640; --expect-identity gives the
    // presenter a setting of the length that switches the check on with those 8 characters.
    std::string identitySetting = LoadString(kIdsIdentity);
    if (options.identity != nullptr) identitySetting = std::string(options.identity) + "--------";

    FdOutput out(STDOUT_FILENO);
    TickClock clock;
    std::unique_ptr<ConsoleView> view;
    TerminalView* screen = nullptr;
    if (terminal) {
        auto owned = std::make_unique<TerminalView>(out);
        screen = owned.get();
        screen->SetColumns(TerminalColumns());
        view = std::move(owned);
    } else if (json) {
        auto owned = std::make_unique<JsonLogView>(out);
        char device[4096] = "";
        if (!ResolvePortName(options.portName, device, sizeof device)) device[0] = '\0';
        owned->Start(options.image, options.portName, device);
        view = std::move(owned);
    } else {
        view = std::make_unique<PlainLogView>(out, clock);
    }

    RecordedWorker worker;
    ProgressPresenter presenter(*view, worker, clock, updateJob, identitySetting.c_str());
    bool started = false;
    {
        const AsyncSignalsBlocked blocked;
        started = presenter.OnInitDialog();
    }
    if (screen != nullptr) ArmCursorRestore(STDOUT_FILENO);
    view->Begin();
    if (!started) {
        view->Finish(kExitNoThread, "cannot start the worker thread");
        DisarmCursorRestore();
        WriteErr("quorvane-cli: cannot start the worker thread\n");
        return kExitNoThread;
    }

    int presses = 0;
    while (!presenter.TimerStopped()) {
        const Deadline tick = Deadline::After(kTickMs);
        while (!tick.Expired()) {
            SleepUnlessSignalled(int(tick.RemainingMs()));
            for (const int seen = InterruptCount(); presses < seen;) {
                ++presses;
                if (presses == 1) presenter.OnCancel();
                if (presses >= 3) {
                    view->Abandon();
                    DisarmCursorRestore();
                    WriteErr(
                        "quorvane-cli: quit before the job ended; the port is closed and the "
                        "device is left to time out\n");
                    // The worker still runs and uses the record: nothing may be torn down
                    // under it, so no destructors, no exit handlers. The system closes the port
                    // and the image and releases their locks.
                    _exit(kExitInterrupted);
                }
                const char* notice = presses == 1 ? kCancelRequested : kCancelWaiting;
                view->CancelPressed(presses, notice);
                if (screen == nullptr && presses == 2) WriteErr(std::string(notice) + "\n");
            }
        }
        if (screen != nullptr) {
            if (TakeResumed()) screen->StartAfresh();
            screen->SetColumns(TerminalColumns());
        }
        presenter.OnTimer();
        // The tick that sees the end goes straight to the final frame.
        if (!presenter.TimerStopped()) view->AfterTick();
    }
    // A window that stays open on an error closes when its "Close" is pressed; a program run
    // from a script has nobody to press it, so it closes itself the same way.
    if (view->ModalResult() == 0) presenter.OnCancel();

    const uint32_t code = worker.LastExitCode();
    const JobDescription job = {options.image, options.portName, options.portDevice,
                                updateJob.identityCheck ? updateJob.expectedIdentity : nullptr};
    // The worker has ended, so its record may be read now.
    const JobEnd end = {code, GetStage(), updateJob.result, updateJob.systemError};
    const std::string remedy = Remedy(job, end);
    view->Finish(code, WithoutLastNewline(remedy));
    DisarmCursorRestore();
    WriteErr(OutcomeText(code, remedy));
    return code <= ResultUpdateFail ? int(code) : kExitSoftware;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    switch (ParseArguments(argc, argv, &options)) {
        case Parsed::Help:
            std::fputs(kSynopsis, stdout);
            std::fputs(kUsageBody, stdout);
            return 0;
        case Parsed::Version:
            std::puts("quorvane-cli " QUORVANE_VERSION);
            return 0;
        case Parsed::ListPorts: {
            FdOutput out(STDOUT_FILENO);
            WritePortList(out, options.json, DeviceFolder());
            return 0;
        }
        case Parsed::Map:
        case Parsed::Unmap: {
            const AliasOutcome outcome =
                options.mapDevice != nullptr
                    ? MapPort(options.mapName, options.mapDevice, WorkingDirectory())
                    : UnmapPort(options.mapName);
            FdOutput(STDOUT_FILENO).Write(outcome.out);
            WriteErr(outcome.err);
            return outcome.exitCode;
        }
        case Parsed::Bad:
            return kExitUsage;
        case Parsed::Run:
            break;
    }
    return RunJob(options);
}
