// The console and interrupts of the POSIX platform, with the program's own standard output put on
// a pipe or a real pseudo-terminal for a moment, and children for what ends or stops a program.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "platform/console.h"
#include "platform/interrupts.h"
#include "platform/platform.h"
#include "tests/support/pty.h"

namespace {

// Puts `fd` in place of standard output until destroyed. Nothing may be printed meanwhile: the
// test checks what it saw once the real standard output is back.
class StdoutOn {
  public:
    explicit StdoutOn(int fd) : saved_(dup(STDOUT_FILENO)) {
        fflush(stdout);
        dup2(fd, STDOUT_FILENO);
    }
    ~StdoutOn() {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    StdoutOn(const StdoutOn&) = delete;
    StdoutOn& operator=(const StdoutOn&) = delete;

  private:
    int saved_;
};

// Sets TERM (null: unsets it) until destroyed.
class TermIs {
  public:
    explicit TermIs(const char* value) {
        const char* old = getenv("TERM");
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value != nullptr) {
            setenv("TERM", value, 1);
        } else {
            unsetenv("TERM");
        }
    }
    ~TermIs() {
        if (had_) {
            setenv("TERM", old_.c_str(), 1);
        } else {
            unsetenv("TERM");
        }
    }

  private:
    bool had_ = false;
    std::string old_;
};

std::string ReadAvailable(int fd, uint32_t quietMs) {
    std::string got;
    char chunk[4096];
    pollfd wait{fd, POLLIN, 0};
    while (poll(&wait, 1, int(quietMs)) > 0) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) break;
        got.append(chunk, size_t(n));
    }
    return got;
}

// A terminal that takes the escapes, and only that: a pipe, a "dumb" terminal and a terminal of
// unknown width each say so.
TEST(Console, TerminalAndWidthAreWhatStandardOutputIs) {
    PtyPeer terminal;
    ASSERT_TRUE(terminal.Ok());
    const int slave = open(terminal.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);

    struct Case {
        const char* what;
        int fd;
        const char* term;
        unsigned columns;  // set on the terminal first; 0 leaves it unknown
        bool isTerminal;
        unsigned seenColumns;
    };
    const Case cases[] = {
        {"terminal", slave, "xterm", 57, true, 57},
        {"terminal without TERM", slave, nullptr, 132, true, 132},
        {"terminal of unknown width", slave, "xterm", 0, true, 0},
        {"dumb terminal", slave, "dumb", 80, false, 80},
        {"pipe", pipeEnds[1], "xterm", 0, false, 0},
    };
    for (const Case& c : cases) {
        winsize size{};
        size.ws_col = uint16_t(c.columns);
        size.ws_row = 24;
        ASSERT_EQ(ioctl(slave, TIOCSWINSZ, &size), 0);
        bool isTerminal = false;
        unsigned columns = 0;
        {
            const TermIs term(c.term);
            const StdoutOn redirected(c.fd);
            isTerminal = ConsoleIsTerminal();
            columns = ConsoleColumns();
        }
        EXPECT_EQ(isTerminal, c.isTerminal) << c.what;
        EXPECT_EQ(columns, c.seenColumns) << c.what;
    }
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    close(slave);
}

// A reader slower than the writer, behind a descriptor someone left non-blocking: every byte
// still arrives, in order, and the writer waits for room rather than giving up.
TEST(Console, WriteOutlastsAFullNonBlockingPipe) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    ASSERT_EQ(fcntl(pipeEnds[1], F_SETFL, O_NONBLOCK), 0);
    std::string text;
    for (int i = 0; text.size() < 256 * 1024; ++i)
        text += "line " + std::to_string(i) + "\n";

    std::string got;
    std::thread reader([&] {
        char chunk[1024];
        for (;;) {
            const ssize_t n = read(pipeEnds[0], chunk, sizeof chunk);
            if (n <= 0) break;
            got.append(chunk, size_t(n));
            usleep(200);
        }
    });
    {
        const StdoutOn redirected(pipeEnds[1]);
        ConsoleWrite(ConsoleStream::Out, text.data(), text.size());
    }
    close(pipeEnds[1]);
    reader.join();
    close(pipeEnds[0]);
    EXPECT_EQ(got.size(), text.size());
    EXPECT_TRUE(got == text) << "the text arrived changed";
}

// Ctrl-C and the requests to end are counted, and cut a sleep short; SIGPIPE is ignored.
TEST(Interrupts, CountedAndCutTheSleepShort) {
    // As a program started in the foreground finds them, whatever the test runner was given.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        ::signal(signal, SIG_DFL);
    int error = 0;
    ASSERT_TRUE(WatchInterrupts(false, &error)) << strerror(error);
    const int before = InterruptCount();
    raise(SIGINT);
    raise(SIGTERM);
    raise(SIGHUP);
    EXPECT_EQ(InterruptCount(), before + 3);
    raise(SIGPIPE);  // would end the program unless ignored

    const pthread_t sleeper = pthread_self();
    std::thread sender([sleeper] {
        usleep(100 * 1000);
        pthread_kill(sleeper, SIGINT);
    });
    const Deadline slept = Deadline::After(0);
    SleepUnlessInterrupted(10000);
    const uint32_t ms = slept.ElapsedMs();
    sender.join();
    EXPECT_LT(ms, 5000u);
    EXPECT_EQ(InterruptCount(), before + 4);
}

// nohup's SIGHUP, a background job's SIGINT: what was ignored when the program started stays so.
TEST(Interrupts, WhatArrivedIgnoredStaysIgnored) {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old = {};
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &old), 0);
    int error = 0;
    ASSERT_TRUE(WatchInterrupts(true, &error)) << strerror(error);
    struct sigaction now = {};
    ASSERT_EQ(sigaction(SIGHUP, nullptr, &now), 0);
    EXPECT_EQ(now.sa_handler, SIG_IGN);
    const int before = InterruptCount();
    raise(SIGHUP);
    EXPECT_EQ(InterruptCount(), before);
    sigaction(SIGHUP, &old, nullptr);
}

// A thread started while interrupts are blocked never takes one; the blocking thread gets its own
// mask back afterwards.
TEST(Interrupts, BlockedForTheWorkerStartedMeanwhile) {
    sigset_t before;
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &before), 0);
    ASSERT_FALSE(sigismember(&before, SIGINT));
    std::atomic<int> workerBlocks{-1};
    std::thread worker;
    {
        const InterruptsBlocked blocked;
        worker = std::thread([&workerBlocks] {
            sigset_t mask;
            pthread_sigmask(SIG_SETMASK, nullptr, &mask);
            workerBlocks = sigismember(&mask, SIGINT) && sigismember(&mask, SIGTERM) &&
                           sigismember(&mask, SIGHUP) && sigismember(&mask, SIGTSTP);
        });
    }
    worker.join();
    EXPECT_EQ(workerBlocks.load(), 1);
    sigset_t after;
    ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &after), 0);
    EXPECT_FALSE(sigismember(&after, SIGINT));
    EXPECT_FALSE(sigismember(&after, SIGTERM));
}

// What a child whose standard output is a pipe writes to it before it ends or stops.
struct ChildEnd {
    std::string output;
    int status = 0;
};

// A child that watches interrupts with the console, guards the cursor when `guard`, and then
// does `act`; the parent collects what reached standard output.
template <typename Act>
ChildEnd RunChild(bool guard, Act act, bool resume) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return {};
    fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        rlimit noCore{0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        for (const int signal : {SIGQUIT, SIGSEGV, SIGTSTP, SIGCONT})
            ::signal(signal, SIG_DFL);
        int error = 0;
        if (!WatchInterrupts(true, &error)) _exit(90);
        ConsoleGuardCursor(guard);
        act();
        const char* resumed = ConsoleTakeResumed() ? "resumed" : "not resumed";
        ConsoleWrite(ConsoleStream::Out, resumed, strlen(resumed));
        _exit(0);
    }
    close(pipeEnds[1]);
    ChildEnd end;
    waitpid(child, &end.status, WUNTRACED);
    if (resume && WIFSTOPPED(end.status)) {
        end.output = ReadAvailable(pipeEnds[0], 100) + "|";
        kill(child, SIGCONT);
        waitpid(child, &end.status, 0);
    }
    end.output += ReadAvailable(pipeEnds[0], 100);
    close(pipeEnds[0]);
    return end;
}

// A program that dies of a signal or is stopped shows the cursor its view hid first, and hides it
// again once resumed; with the cursor not guarded, nothing is written.
TEST(Console, CursorComesBackWhateverEndsOrStopsTheProgram) {
    for (const bool guard : {true, false}) {
        SCOPED_TRACE(guard ? "guarded" : "not guarded");
        const std::string show = guard ? "\033[?25h" : "";
        const std::string hide = guard ? "\033[?25l" : "";

        const ChildEnd quit = RunChild(
            guard, [] { raise(SIGQUIT); }, false);
        EXPECT_TRUE(WIFSIGNALED(quit.status) && WTERMSIG(quit.status) == SIGQUIT);
        EXPECT_EQ(quit.output, show);

        const ChildEnd crash = RunChild(
            guard, [] { raise(SIGSEGV); }, false);
        EXPECT_TRUE(WIFSIGNALED(crash.status) && WTERMSIG(crash.status) == SIGSEGV);
        EXPECT_EQ(crash.output, show);

        // Ctrl-Z: shown before the stop, hidden after SIGCONT, and the program learns it resumed.
        const ChildEnd stop = RunChild(
            guard, [] { raise(SIGTSTP); }, true);
        EXPECT_TRUE(WIFEXITED(stop.status) && WEXITSTATUS(stop.status) == 0);
        EXPECT_EQ(stop.output, show + "|" + hide + "resumed");
    }
}

}  // namespace
