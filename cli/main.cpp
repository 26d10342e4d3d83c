// quorvane-cli: writes one image into a device from a terminal or a script, with the same update
// job, progress window logic and texts as the windowed front end. The exit status is the job's
// result (0..7).

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "cli/check.h"
#include "cli/log_view.h"
#include "cli/options.h"
#include "cli/outcome.h"
#include "cli/output.h"
#include "cli/port_alias.h"
#include "cli/port_list.h"
#include "cli/terminal_view.h"
#include "engine/update_job.h"
#include "platform/console.h"
#include "platform/interrupts.h"
#include "platform/platform.h"
#include "platform/port_alias.h"
#include "platform/serial_devices.h"
#include "res/strings.h"
#include "ui/presenter.h"

namespace {

constexpr int kExitUsage = 64;  // bad command line; nothing was opened
// A fault of the program itself: the worker ended with a value that is no UpdateResult, or a
// signal handler was refused (sigaction fails only for a signal that cannot be caught).
constexpr int kExitSoftware = 70;
constexpr int kExitNoThread = 71;      // the system could not start the worker; nothing was opened
constexpr int kExitInterrupted = 130;  // quit at the third Ctrl-C, before the job had ended

constexpr char kCancelRequested[] = "Cancelling...";
constexpr char kCancelWaiting[] =
    "Cancelling: waiting for the device (Ctrl-C again quits without waiting)";

// The presenter hands the worker's handle back once it has seen the end; the exit code it saw
// is kept here for the program's own exit status.
class RecordedWorker final : public WorkerStatus {
  public:
    explicit RecordedWorker(bool check) : check_(check) {}
    bool Start() override { return check_ ? StartCheckWorker() : worker_.Start(); }
    bool GetExitCode(uint32_t* code) override {
        const bool ok = worker_.GetExitCode(code);
        if (ok) code_ = *code;
        return ok;
    }
    void Close() override { worker_.Close(); }
    uint32_t LastExitCode() const { return code_; }

  private:
    bool check_;
    UpdateWorker worker_;
    uint32_t code_ = kStillActive;
};

void WriteErr(std::string_view text) {
    ConsoleOutput(ConsoleStream::Err).Write(text);
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

// The record as a parent process keeps it per board; read once the worker has ended.
JobFacts JobFactsOfRecord(const char* device) {
    JobFacts facts;
    facts.device = device;
    facts.identity = updateJob.identity;
    facts.version = updateJob.version;
    facts.imageSize = updateJob.imageSize.load(std::memory_order_relaxed);
    facts.bytesSent = updateJob.bytesSent.load(std::memory_order_relaxed);
    const uint32_t end = updateJob.transferEndMs.load(std::memory_order_relaxed);
    const uint32_t start = updateJob.transferStartMs.load(std::memory_order_relaxed);
    if (GetStage() >= StageUpdate ||
        (GetStage() == StageNone && updateJob.result == ResultSuccess)) {
        facts.transferMs = end - start;
    }
    facts.systemError = updateJob.systemError;
    if (facts.systemError != 0) facts.systemErrorText = std::strerror(facts.systemError);
    return facts;
}

int RunJob(const Options& options) {
    const bool json = options.json;
    const bool terminal = !json && ConsoleIsTerminal();
    if (int error = 0; !WatchInterrupts(terminal, &error)) {
        std::fprintf(stderr, "quorvane-cli: cannot catch Ctrl-C: %s\n", std::strerror(error));
        return kExitSoftware;
    }

    updateJob.imagePath = options.image;
    updateJob.portIndex = options.portIndex;
    updateJob.portDevice = options.portDevice;
    // The windowed front end takes the identity check from row 640; --expect-identity gives the
    // presenter a setting of the length that switches the check on with those 8 characters.
    std::string identitySetting = LoadString(kIdsIdentity);
    if (options.identity != nullptr) identitySetting = std::string(options.identity) + "--------";

    char device[4096] = "";
    if (!ResolvePortName(options.portName, device, sizeof device)) device[0] = '\0';

    ConsoleOutput out(ConsoleStream::Out);
    TickClock clock;
    std::unique_ptr<ConsoleView> view;
    TerminalView* screen = nullptr;
    if (terminal) {
        auto owned = std::make_unique<TerminalView>(out);
        screen = owned.get();
        screen->SetColumns(ConsoleColumns());
        view = std::move(owned);
    } else if (json) {
        auto owned = std::make_unique<JsonLogView>(out);
        owned->Start(options.image != nullptr ? options.image : "", options.portName, device);
        view = std::move(owned);
    } else {
        view = std::make_unique<PlainLogView>(out, clock);
    }

    if (options.check) view->SetStages(StageConnect, StageConnect);
    RecordedWorker worker(options.check);
    ProgressPresenter presenter(*view, worker, clock, updateJob, identitySetting.c_str());
    bool started = false;
    {
        const InterruptsBlocked blocked;
        started = presenter.OnInitDialog();
    }
    if (screen != nullptr) ConsoleGuardCursor(true);
    view->Begin();
    if (!started) {
        view->Finish(kExitNoThread, "cannot start the worker thread");
        ConsoleGuardCursor(false);
        WriteErr("quorvane-cli: cannot start the worker thread\n");
        return kExitNoThread;
    }

    int presses = 0;
    while (!presenter.TimerStopped()) {
        const Deadline tick = Deadline::After(ProgressPresenter::kTickMs);
        while (!tick.Expired()) {
            SleepUnlessInterrupted(tick.RemainingMs());
            for (const int seen = InterruptCount(); presses < seen;) {
                ++presses;
                if (presses == 1) presenter.OnCancel();
                if (presses >= 3) {
                    view->Abandon();
                    ConsoleGuardCursor(false);
                    WriteErr(
                        "quorvane-cli: quit before the job ended; the port is closed and the "
                        "device is left to time out\n");
                    // The worker still runs and uses the record: nothing may be torn down
                    // under it, so no destructors, no exit handlers. The system closes the port
                    // and the image and releases their locks; the port's settings, exclusive
                    // flag and lock file would outlive the process, so they go first.
                    ReleaseSerialPortHolds();
                    std::_Exit(kExitInterrupted);
                }
                const char* notice = presses == 1 ? kCancelRequested : kCancelWaiting;
                view->CancelPressed(presses, notice);
                if (screen == nullptr && presses == 2) WriteErr(std::string(notice) + "\n");
            }
        }
        if (screen != nullptr) {
            if (ConsoleTakeResumed()) screen->StartAfresh();
            screen->SetColumns(ConsoleColumns());
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
                                updateJob.identityCheck ? updateJob.expectedIdentity : nullptr,
                                device};
    // The worker has ended, so its record may be read now.
    const JobEnd end = {code, GetStage(), updateJob.result, updateJob.systemError,
                        updateJob.portGone};
    const std::string remedy = Remedy(job, end);
    view->SetJobFacts(JobFactsOfRecord(device));
    view->Finish(code, WithoutLastNewline(remedy));
    ConsoleGuardCursor(false);
    WriteErr(OutcomeText(code, remedy));
    return code <= ResultUpdateFail ? int(code) : kExitSoftware;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    switch (ParseArguments(argc, argv, &options)) {
        case Parsed::Help:
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        case Parsed::Version:
            std::puts("quorvane-cli " QUORVANE_VERSION);
            return 0;
        case Parsed::ListPorts: {
            ConsoleOutput out(ConsoleStream::Out);
            WritePortList(out, options.json, SerialDeviceFolder());
            return 0;
        }
        case Parsed::Map:
        case Parsed::Unmap: {
            const AliasOutcome outcome =
                options.mapDevice != nullptr
                    ? MapPort(options.mapName, options.mapDevice, WorkingFolder())
                    : UnmapPort(options.mapName);
            ConsoleOutput(ConsoleStream::Out).Write(outcome.out);
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
