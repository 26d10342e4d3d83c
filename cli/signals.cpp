#include "cli/signals.h"

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace {

static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<int> interrupts{0};
std::atomic<int> cursorFd{-1};
std::atomic<bool> resumed{false};

constexpr char kShowCursor[] = "\033[?25h";
constexpr char kHideCursor[] = "\033[?25l";

// Only async-signal-safe calls below: write, raise, errno saved around them.
void WriteToCursorFd(const char* text, size_t length) {
    const int fd = cursorFd.load();
    if (fd >= 0) {
        const ssize_t ignored = write(fd, text, length);
        (void)ignored;
    }
}

void OnInterrupt(int) {
    interrupts.fetch_add(1);
}

void OnStop(int) {
    const int saved = errno;
    WriteToCursorFd(kShowCursor, sizeof kShowCursor - 1);
    // SIGSTOP cannot be caught, so this stops the program the way Ctrl-Z would have.
    raise(SIGSTOP);
    errno = saved;
}

void OnContinue(int) {
    const int saved = errno;
    WriteToCursorFd(kHideCursor, sizeof kHideCursor - 1);
    resumed.store(true);
    errno = saved;
}

void OnFatal(int signal) {
    WriteToCursorFd(kShowCursor, sizeof kShowCursor - 1);
    // The handler was reset to the default: once this returns, the signal does what it would
    // have done (a core dump for SIGQUIT, SIGSEGV and the like).
    raise(signal);
}

// A signal that arrived ignored stays ignored: `nohup` and a shell's background job (`cmd &`)
// ignore SIGHUP, or SIGINT and SIGQUIT, so that a logout or a Ctrl-C meant for the shell leaves
// the program running; catching them anyway would cancel an update nobody asked to stop.
bool Install(int signal, void (*handler)(int), int flags) {
    struct sigaction current = {};
    if (sigaction(signal, nullptr, &current) != 0) return false;
    if (current.sa_handler == SIG_IGN) return true;
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    return sigaction(signal, &action, nullptr) == 0;
}

sigset_t AsyncSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGCONT, SIGPIPE}) {
        sigaddset(&set, signal);
    }
    return set;
}

}  // namespace

bool InstallSignalHandlers(bool terminal) {
    // No SA_RESTART: an interrupt must cut the main loop's wait short.
    bool ok = Install(SIGINT, OnInterrupt, 0) && Install(SIGTERM, OnInterrupt, 0) &&
              Install(SIGHUP, OnInterrupt, 0) && Install(SIGPIPE, SIG_IGN, 0);
    if (!terminal) return ok;
    ok = ok && Install(SIGTSTP, OnStop, SA_RESTART) && Install(SIGCONT, OnContinue, SA_RESTART);
    for (int signal : {SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
        ok = ok && Install(signal, OnFatal, SA_RESETHAND);
    }
    return ok;
}

int InterruptCount() {
    return interrupts.load();
}

void SleepUnlessSignalled(int ms) {
    // poll with no descriptors is a sleep that a signal ends early (EINTR).
    (void)poll(nullptr, 0, ms);
}

void ArmCursorRestore(int fd) {
    cursorFd.store(fd);
}

void DisarmCursorRestore() {
    cursorFd.store(-1);
}

bool TakeResumed() {
    return resumed.exchange(false);
}

AsyncSignalsBlocked::AsyncSignalsBlocked() {
    const sigset_t set = AsyncSignals();
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

AsyncSignalsBlocked::~AsyncSignalsBlocked() {
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}
