// The console and its interrupts in one place: the signal handlers that count Ctrl-C are the ones
// that put the terminal's cursor right before the program stops or dies.
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/console.h"
#include "platform/interrupts.h"

namespace {

static_assert(std::atomic<int>::is_always_lock_free);
std::atomic<int> interrupts{0};
std::atomic<bool> cursorGuarded{false};
std::atomic<bool> resumed{false};

constexpr char kShowCursor[] = "\033[?25h";
constexpr char kHideCursor[] = "\033[?25l";

// Only async-signal-safe calls below: write, raise, errno saved around them.
void WriteToGuardedCursor(const char* text, size_t length) {
    if (cursorGuarded.load()) {
        const ssize_t ignored = write(STDOUT_FILENO, text, length);
        (void)ignored;
    }
}

void OnInterrupt(int) {
    interrupts.fetch_add(1);
}

void OnStop(int) {
    const int saved = errno;
    WriteToGuardedCursor(kShowCursor, sizeof kShowCursor - 1);
    // SIGSTOP cannot be caught, so this stops the program the way Ctrl-Z would have.
    raise(SIGSTOP);
    errno = saved;
}

void OnContinue(int) {
    const int saved = errno;
    WriteToGuardedCursor(kHideCursor, sizeof kHideCursor - 1);
    resumed.store(true);
    errno = saved;
}

void OnFatal(int signal) {
    WriteToGuardedCursor(kShowCursor, sizeof kShowCursor - 1);
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

// The mask an InterruptsBlocked replaced, per thread.
thread_local sigset_t maskBeforeBlocking;

}  // namespace

bool ConsoleIsTerminal() {
    if (isatty(STDOUT_FILENO) != 1) return false;
    const char* term = std::getenv("TERM");
    return term == nullptr || std::strcmp(term, "dumb") != 0;
}

unsigned ConsoleColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

void ConsoleWrite(ConsoleStream stream, const char* text, size_t size) {
    const int fd = stream == ConsoleStream::Out ? STDOUT_FILENO : STDERR_FILENO;
    while (size > 0) {
        const ssize_t n = write(fd, text, size);
        if (n > 0) {
            text += n;
            size -= size_t(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            // Someone left the descriptor non-blocking; wait for room rather than spin.
            pollfd room{fd, POLLOUT, 0};
            if (poll(&room, 1, 1000) <= 0) return;
        } else {
            return;
        }
    }
}

void ConsoleGuardCursor(bool on) {
    cursorGuarded.store(on);
}

bool ConsoleTakeResumed() {
    return resumed.exchange(false);
}

bool WatchInterrupts(bool console, int* error) {
    // No SA_RESTART: an interrupt must cut the main loop's wait short.
    bool ok = Install(SIGINT, OnInterrupt, 0) && Install(SIGTERM, OnInterrupt, 0) &&
              Install(SIGHUP, OnInterrupt, 0) && Install(SIGPIPE, SIG_IGN, 0);
    if (ok && console) {
        ok = Install(SIGTSTP, OnStop, SA_RESTART) && Install(SIGCONT, OnContinue, SA_RESTART);
        for (int signal : {SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
            ok = ok && Install(signal, OnFatal, SA_RESETHAND);
        }
    }
    if (!ok) *error = errno;
    return ok;
}

int InterruptCount() {
    return interrupts.load();
}

void RaiseInterrupt() {
    interrupts.fetch_add(1);
}

void SleepUnlessInterrupted(uint32_t ms) {
    // poll with no descriptors is a sleep that a signal ends early (EINTR).
    (void)poll(nullptr, 0, int(ms < uint32_t(INT32_MAX) ? ms : uint32_t(INT32_MAX)));
}

InterruptsBlocked::InterruptsBlocked() {
    const sigset_t set = AsyncSignals();
    pthread_sigmask(SIG_BLOCK, &set, &maskBeforeBlocking);
}

InterruptsBlocked::~InterruptsBlocked() {
    pthread_sigmask(SIG_SETMASK, &maskBeforeBlocking, nullptr);
}
