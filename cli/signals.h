// The signals a terminal program must handle: Ctrl-C (and SIGTERM, SIGHUP) counted for the
// main loop, which turns them into Cancel; a closed output pipe ignored; and, while the cursor
// is hidden, a terminal put right again before the program stops or dies.
#pragma once

#include <csignal>

// Installs the handlers; those that put the terminal right only when `terminal`. A signal the
// program was started with ignored (nohup, a background job) is left ignored. False (with errno)
// when one could not be installed.
bool InstallSignalHandlers(bool terminal);

// How many interrupts arrived since InstallSignalHandlers.
int InterruptCount();

// Waits up to `ms` milliseconds, or less when a signal arrives first.
void SleepUnlessSignalled(int ms);

// While armed, the cursor on `fd` is hidden: a fatal signal shows it before the program dies,
// Ctrl-Z shows it before the program stops and hides it again once resumed.
void ArmCursorRestore(int fd);
void DisarmCursorRestore();

// True once after the program was resumed from a stop (what it drew may have scrolled away).
bool TakeResumed();

// Blocks the asynchronous signals on the calling thread for its lifetime, so a thread started
// meanwhile inherits the mask and every interrupt lands on the main loop, never in the worker's
// port calls.
class AsyncSignalsBlocked {
  public:
    AsyncSignalsBlocked();
    ~AsyncSignalsBlocked();
    AsyncSignalsBlocked(const AsyncSignalsBlocked&) = delete;
    AsyncSignalsBlocked& operator=(const AsyncSignalsBlocked&) = delete;

  private:
    sigset_t previous_;
};
