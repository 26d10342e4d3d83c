// What an errno from opening a serial port means to a person, in one table for every front end:
// the state a port list shows, its one word for scripts, and what a person can do about it. The
// parts that depend on the system (how to get permission, what a port is called) come from the
// platform (platform/serial_devices.h).
#pragma once

#include <string>

enum class PortState { Usable, Missing, NotATerminal, Busy, PermissionDenied, Failed };

// 0: Usable; ENOENT, ENODEV, ENXIO: Missing; ENOTTY: NotATerminal; EBUSY, EWOULDBLOCK: Busy;
// EACCES, EPERM: PermissionDenied; anything else: Failed.
PortState StateOfError(int error);

// "usable", "does not exist", "not a terminal", "held by another program", "permission denied
// (dialout group)"; for Failed, the errno's own text.
std::string StateText(PortState state, int error);

// One word for scripts: usable, missing, not-a-terminal, busy, permission-denied, failed.
const char* StateWord(PortState state);

// What a person can do, to follow the state: "is the adapter plugged in?", "close that program
// and try again.", how to get permission; "" when there is nothing to say.
std::string StateAdvice(PortState state);
