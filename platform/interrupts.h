// Interrupts for a terminal front end: Ctrl-C, and the system asking the program to end (SIGTERM
// and SIGHUP; Ctrl-Break and a closed console on Windows), counted for its main loop, which turns
// them into Cancel, instead of ending the program.
#pragma once

#include <cstdint>

// Starts counting interrupts; with `console`, also keeps the cursor guarded by ConsoleGuardCursor
// across stops and fatal signals. One the program was started ignoring (nohup, a background job)
// stays ignored, and a closed output pipe is ignored. False with *error when it cannot be set up.
bool WatchInterrupts(bool console, int* error);

// How many interrupts arrived since WatchInterrupts.
int InterruptCount();

// Counts one more interrupt, as if Ctrl-C had been pressed: for a program told to cancel by
// another way (a parent process, through a pipe). Safe from any thread; the main loop sees it by
// its next wait's end.
void RaiseInterrupt();

// Waits `ms` milliseconds, or less when an interrupt arrives first.
void SleepUnlessInterrupted(uint32_t ms);

// While one lives, no interrupt is delivered to the calling thread or to a thread it starts
// meanwhile, so that every interrupt lands on the main loop and never in the worker's port calls.
// One at a time per thread.
class InterruptsBlocked {
  public:
    InterruptsBlocked();
    ~InterruptsBlocked();
    InterruptsBlocked(const InterruptsBlocked&) = delete;
    InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;
};
