#include "sim/sim_device.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/port_names.h"
#include "sim/console.h"
#include "sim/line.h"
#include "sim/receiver.h"
#include "sim/system.h"

namespace sim {
namespace {

using Ms = std::chrono::milliseconds;

constexpr Ms kDrainPoll{10};
constexpr Ms kDrainLimit{5000};  // a host that never reads the verdict does not keep us forever
constexpr size_t kReadChunk = 4096;

bool MakeFolders(const std::string& path, std::string* error) {
    for (size_t slash = 1; slash <= path.size(); ++slash) {
        if (slash != path.size() && path[slash] != '/') continue;
        const std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0755) == 0) continue;
        const int failure = errno;
        struct stat info {};
        if (failure == EEXIST && stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            continue;
        }
        *error = SystemText(prefix.c_str(), failure == EEXIST ? ENOTDIR : failure);
        return false;
    }
    return true;
}

bool LinkPointsAt(const std::string& link, const std::string& target) {
    std::string buffer(4096, '\0');
    const ssize_t n = readlink(link.c_str(), buffer.data(), buffer.size());
    return n >= 0 && std::string(buffer.data(), size_t(n)) == target;
}

}  // namespace

// The device thread and the results it publishes. Everything above `mutex` is fixed before the
// thread starts (the line, console and receiver are then the device thread's alone, but for
// their thread-safe counters); the results under `mutex` are shared with the owner; the state
// below them is the device thread's.
struct Device::Runner {
    explicit Runner(const DeviceConfig& deviceConfig)
        : config(deviceConfig), line(config), console(config, line), receiver(config, line) {}

    const DeviceConfig config;
    Line line;
    Console console;
    Receiver receiver;
    int stopRead = -1;
    int stopWrite = -1;
    std::thread thread;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::string hostBytes;
    std::vector<uint8_t> received;
    int updates = 0;
    bool finished = false;

    // Boot, then Busy for busyAfterBootMs; Writing the image between the EOT and the verdict;
    // Draining what the host has not read before the line closes or the thread stops.
    enum class Mode { Boot, Busy, Console, Receive, Writing, Draining, Done };
    Mode mode = Mode::Boot;
    std::optional<Clock::time_point> timer;  // of every mode but Receive, whose is the receiver's
    bool lineGone = false;

    std::string bannerLeft;
    Clock::time_point bootSilentEnd;
    Clock::time_point nextBannerAt;

    Clock::time_point drainUntil;
    int quietChecks = 0;
    bool vanishing = false;  // the drain ends with the line closed, not just the thread

    void Run();
    std::optional<Clock::time_point> Deadline() const {
        return mode == Mode::Receive ? receiver.Deadline() : timer;
    }
    void FireTimers();
    void ReadChunk();
    void Flush();
    // Bytes on the wire while the receiver runs meet the line noise; the console's only when
    // asked for.
    bool Exposed() const { return config.noiseEverywhere || mode == Mode::Receive; }
    void Emit(EventKind kind, std::string text = {}, uint32_t size = 0, bool ok = false,
              std::span<const uint8_t> data = {}) {
        if (config.onEvent) config.onEvent(Event{kind, std::move(text), size, ok, data});
    }

    void BootTick(Clock::time_point now);
    void ToConsole();
    void StartReceive(uint32_t announcedSize, bool askNow);
    void Follow(Receiver::Outcome outcome);
    void TransferDone();
    void EndUpdate();

    void StartDrain(bool thenVanish);
    void DrainTick(Clock::time_point now);
    void VanishNow();
    void Finish(const std::string& reason);
    void LineFailed(const std::string& reason);
};

void Device::Runner::Run() {
    const Clock::time_point now = Clock::now();
    if (config.receiverOnly) {
        StartReceive(0, true);
    } else {
        bootSilentEnd = now + Ms(config.bootSilentMs);
        nextBannerAt = now;
        bannerLeft = config.banner;
        mode = Mode::Boot;
        timer = now;
    }

    while (mode != Mode::Done) {
        FireTimers();
        if (mode == Mode::Done) break;
        if (!lineGone) Flush();
        if (mode == Mode::Done) break;

        // A paced direction that has used its allowance sleeps until the next byte is due,
        // instead of polling for a line it may not touch yet. While busy the input stays in the
        // line, so it reaches the console in one burst.
        const Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> wake = Deadline();
        const short events = line.Events(now, mode != Mode::Busy, &wake);
        pollfd fds[2] = {};
        fds[0].fd = stopRead;
        fds[0].events = POLLIN;
        fds[1].fd = lineGone ? -1 : line.Fd();
        fds[1].events = events;
        int timeout = -1;
        if (wake) {
            const auto left = std::chrono::ceil<Ms>(*wake - now).count();
            timeout = int(std::clamp<decltype(left)>(left, 0, 60000));
        }
        if (poll(fds, 2, timeout) < 0) {
            if (errno == EINTR) continue;
            Finish(SystemText("poll", errno));
            break;
        }
        if (fds[0].revents != 0) return;  // Stop(): no Finished event, the owner knows
        // A deadline that passed during the wait goes first: input that arrives just after
        // the boot ended belongs to the console.
        FireTimers();
        if (mode == Mode::Done) break;
        if (lineGone) continue;
        if ((fds[1].revents & POLLIN) != 0) {
            ReadChunk();
        } else if ((fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            LineFailed("the line hung up");
        }
    }
}

void Device::Runner::FireTimers() {
    while (mode != Mode::Done) {
        const std::optional<Clock::time_point> deadline = Deadline();
        const Clock::time_point now = Clock::now();
        if (!deadline || now < *deadline) return;
        if (mode != Mode::Receive) timer.reset();
        switch (mode) {
            case Mode::Boot:
                BootTick(now);
                break;
            case Mode::Busy:
                ToConsole();
                break;
            case Mode::Receive:
                Follow(receiver.Tick());
                break;
            case Mode::Writing:
                console.SendVerdict(receiver.ImageOk());
                EndUpdate();
                break;
            case Mode::Draining:
                DrainTick(now);
                break;
            case Mode::Console:
            case Mode::Done:
                break;
        }
    }
}

void Device::Runner::ReadChunk() {
    uint8_t buffer[kReadChunk];
    std::string error;
    const ssize_t n = line.Read(buffer, sizeof buffer, &error);
    if (n < 0) {
        LineFailed(error);
        return;
    }
    if (n == 0) return;
    {
        std::lock_guard lock(mutex);
        hostBytes.append(reinterpret_cast<const char*>(buffer), size_t(n));
    }
    const Clock::time_point now = Clock::now();
    console.NewBurst();
    for (ssize_t i = 0; i < n && mode != Mode::Done; ++i) {
        uint8_t byte = buffer[i];
        if (Exposed() && !line.Receive(&byte)) continue;
        switch (mode) {
            case Mode::Console:
                if (console.Take(byte)) StartReceive(console.Announced(), true);
                break;
            case Mode::Receive:
                Follow(receiver.Take(byte, now));
                break;
            case Mode::Boot:
            case Mode::Busy:
            case Mode::Writing:
            case Mode::Draining:
            case Mode::Done:
                break;  // not listening
        }
    }
    if (!lineGone) Flush();
}

void Device::Runner::Flush() {
    std::string error;
    if (!line.Flush(&error)) LineFailed(error);
}

void Device::Runner::BootTick(Clock::time_point now) {
    if (!bannerLeft.empty() && now >= nextBannerAt) {
        size_t end = bannerLeft.size();
        if (config.bannerLineGapMs > 0) {
            const size_t lf = bannerLeft.find('\n');
            if (lf != std::string::npos) end = lf + 1;
        }
        line.Send(std::string_view(bannerLeft).substr(0, end), Exposed());
        bannerLeft.erase(0, end);
        nextBannerAt = now + Ms(config.bannerLineGapMs);
    }
    if (!bannerLeft.empty()) {
        timer = nextBannerAt;
    } else if (now < bootSilentEnd) {
        timer = bootSilentEnd;
    } else if (config.busyAfterBootMs > 0) {
        mode = Mode::Busy;
        timer = now + Ms(config.busyAfterBootMs);
    } else {
        ToConsole();
    }
}

void Device::Runner::ToConsole() {
    mode = Mode::Console;
    timer.reset();
    console.Enter();
}

void Device::Runner::StartReceive(uint32_t announcedSize, bool askNow) {
    mode = Mode::Receive;
    timer.reset();
    Follow(receiver.Start(announcedSize, askNow));
}

void Device::Runner::Follow(Receiver::Outcome outcome) {
    switch (outcome) {
        case Receiver::Outcome::Receiving:
            break;
        case Receiver::Outcome::Ended:
            EndUpdate();
            break;
        case Receiver::Outcome::EndedByWake:
            EndUpdate();
            if (mode == Mode::Console) console.Take(Console::kWake);
            break;
        case Receiver::Outcome::Completed:
            TransferDone();
            break;
        case Receiver::Outcome::Vanish:
            StartDrain(true);
            break;
    }
}

void Device::Runner::TransferDone() {
    const std::vector<uint8_t>& image = receiver.Image();
    {
        std::lock_guard lock(mutex);
        received = image;
        ++updates;
    }
    changed.notify_all();
    Emit(EventKind::TransferDone, {}, uint32_t(image.size()), receiver.ImageOk(), image);
    if (config.receiverOnly) {
        EndUpdate();
        return;
    }
    mode = Mode::Writing;
    timer = Clock::now() + Ms(config.verdictDelayMs);
}

void Device::Runner::EndUpdate() {
    if (config.once) {
        StartDrain(false);
    } else if (config.receiverOnly) {
        StartReceive(0, false);  // a second's pause lets the last sender go before we ask again
    } else {
        ToConsole();
    }
}

void Device::Runner::StartDrain(bool thenVanish) {
    mode = Mode::Draining;
    vanishing = thenVanish;
    quietChecks = 0;
    const Clock::time_point now = Clock::now();
    drainUntil = now + kDrainLimit;
    timer = now;
}

// Closing the master discards what the host has not read yet, so a device that stops after
// its update waits until the host has taken the verdict (or has clearly stopped reading).
void Device::Runner::DrainTick(Clock::time_point now) {
    const size_t queued = lineGone ? 0 : line.UnreadByHost();
    if (!line.HasOutput() && queued == 0) {
        if (++quietChecks >= 2) {
            if (vanishing) {
                VanishNow();
            } else {
                Finish("one update served");
            }
            return;
        }
    } else {
        quietChecks = 0;
    }
    if (now >= drainUntil) {
        if (vanishing) {
            VanishNow();
        } else {
            Finish("one update served; the host did not read all of the reply");
        }
        return;
    }
    timer = now + kDrainPoll;
}

// Unplugged: both of our ends of the pty close, so the host's port hangs up.
void Device::Runner::VanishNow() {
    {
        std::lock_guard lock(mutex);
        line.Close();
    }
    lineGone = true;
    line.DropOutput();
    const std::string what =
        "vanished after " + std::to_string(receiver.BlocksAccepted()) + " blocks";
    Emit(EventKind::Vanished, what);
    Finish(what);
}

void Device::Runner::Finish(const std::string& reason) {
    mode = Mode::Done;
    timer.reset();
    {
        std::lock_guard lock(mutex);
        finished = true;
    }
    changed.notify_all();
    Emit(EventKind::Finished, reason);
}

void Device::Runner::LineFailed(const std::string& reason) {
    lineGone = true;
    line.DropOutput();
    Finish(reason);
}

// ---- Device -----------------------------------------------------------------------------------

Device::Device(DeviceConfig config) : config_(std::move(config)) {}

Device::~Device() {
    Stop();
}

bool Device::Start(std::string* error) {
    if (runner_) {
        *error = "the device has already been started";
        return false;
    }
    auto runner = std::make_unique<Runner>(config_);
    std::string path;
    if (!runner->line.Open(&path, error)) return false;
    auto fail = [&](const std::string& text) {
        runner->line.Close();
        CloseFd(runner->stopRead);
        CloseFd(runner->stopWrite);
        *error = text;
        return false;
    };
    int stop[2];
    if (pipe(stop) != 0) return fail(SystemText("pipe", errno));
    runner->stopRead = stop[0];
    runner->stopWrite = stop[1];
    if (!SetFlag(stop[0], F_GETFD, F_SETFD, FD_CLOEXEC) ||
        !SetFlag(stop[1], F_GETFD, F_SETFD, FD_CLOEXEC)) {
        return fail(SystemText("fcntl", errno));
    }
    try {
        runner->thread = std::thread(&Runner::Run, runner.get());
    } catch (const std::system_error& e) {
        return fail(std::string("thread: ") + e.what());
    }
    portPath_ = path;
    runner_ = std::move(runner);
    return true;
}

// Stops the device thread and closes every fd it used; the host's port hangs up.
void Device::Halt() {
    if (!runner_) return;
    if (runner_->thread.joinable()) {
        const char stop = 's';
        while (write(runner_->stopWrite, &stop, 1) < 0 && errno == EINTR) {
        }
        runner_->thread.join();
    }
    runner_->line.Close();
    CloseFd(runner_->stopRead);
    CloseFd(runner_->stopWrite);
}

void Device::Stop() {
    Halt();
    for (const std::string& link : links_) {
        if (LinkPointsAt(link, portPath_)) unlink(link.c_str());
    }
    links_.clear();
}

void Device::Vanish() {
    Halt();
}

const std::string& Device::PortPath() const {
    return portPath_;
}

bool Device::IsComName(const std::string& name) {
    return ComPortNumber(name.c_str()) != 0;
}

std::string Device::AliasPath(const std::string& comName) {
    char path[4096];
    return PortAliasFileOf(comName.c_str(), path, sizeof path) ? path : "";
}

bool Device::LinkAs(const std::string& comName, std::string* error) {
    if (!IsComName(comName)) {
        *error = "not a port name (COM1 to COM255): \"" + comName + "\"";
        return false;
    }
    bool running = false;
    if (runner_) {
        std::lock_guard lock(runner_->mutex);  // the device closes its line when it vanishes
        running = runner_->line.IsOpen();
    }
    if (!running) {
        *error = "the device is not running";
        return false;
    }
    const std::string path = AliasPath(comName);
    if (path.empty()) {
        *error = "the path of the link for " + comName + " is too long";
        return false;
    }
    if (!MakeFolders(path.substr(0, path.rfind('/')), error)) return false;
    // Made only where nothing is: whatever is there already (the user's --map, a link of another
    // device) is theirs, and replacing it would lose it for good when this program is killed.
    if (symlink(portPath_.c_str(), path.c_str()) != 0) {
        const int failure = errno;
        struct stat info {};
        if (failure != EEXIST || lstat(path.c_str(), &info) != 0) {
            *error = SystemText(path.c_str(), failure);
            return false;
        }
        if (!S_ISLNK(info.st_mode)) {
            *error = path + " exists and is not a symbolic link; left as it is";
            return false;
        }
        if (!LinkPointsAt(path, portPath_)) {
            std::string target(4096, '\0');
            const ssize_t n = readlink(path.c_str(), target.data(), target.size());
            target.resize(n > 0 ? size_t(n) : 0);
            *error = comName + " already leads to " + target + " (link " + path +
                     "); it is left as it is. Use another name, or remove that link first: " +
                     "quorvane-cli --unmap " + comName;
            return false;
        }
    }
    if (std::find(links_.begin(), links_.end(), path) == links_.end()) links_.push_back(path);
    return true;
}

std::string Device::HostBytes() const {
    if (!runner_) return {};
    std::lock_guard lock(runner_->mutex);
    return runner_->hostBytes;
}

std::vector<uint8_t> Device::Received() const {
    if (!runner_) return {};
    std::lock_guard lock(runner_->mutex);
    return runner_->received;
}

uint32_t Device::AnnouncedSize() const {
    if (!runner_) return 0;
    return runner_->console.Announced();
}

int Device::UpdatesCompleted() const {
    if (!runner_) return 0;
    std::lock_guard lock(runner_->mutex);
    return runner_->updates;
}

int Device::BlocksAccepted() const {
    if (!runner_) return 0;
    return runner_->receiver.BlocksAccepted();
}

bool Device::Finished() const {
    if (!runner_) return false;
    std::lock_guard lock(runner_->mutex);
    return runner_->finished;
}

NoiseCounts Device::Noise() const {
    if (!runner_) return {};
    return runner_->line.Noise();
}

bool Device::WaitForUpdates(int n, uint32_t timeoutMs) const {
    if (!runner_) return n <= 0;
    std::unique_lock lock(runner_->mutex);
    return runner_->changed.wait_for(lock, Ms(timeoutMs), [&] { return runner_->updates >= n; });
}

bool Device::WaitForFinish(uint32_t timeoutMs) const {
    if (!runner_) return false;
    std::unique_lock lock(runner_->mutex);
    return runner_->changed.wait_for(lock, Ms(timeoutMs), [&] { return runner_->finished; });
}

}  // namespace sim
