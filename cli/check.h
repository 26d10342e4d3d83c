// A check without an update: the port is opened, the device woken and asked IDENT and VER, and
// nothing else is sent. A production line uses it to see which board sits on a port and whether
// it would take an image, before it has one to give.
#pragma once

// Starts the process-wide worker thread on RunCheckJob over updateJob; false when the system
// could not start it.
bool StartCheckWorker();
