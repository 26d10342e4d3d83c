// Port names as a person gives them ("COM3") and the devices they stand for: the one home of these
// rules, for the serial port of each system, the terminal front end and the simulated device.
// Plain string work, no system call: every system builds it, and a test can run every rule.
#pragma once

#include <cstddef>

// A person may name COM1 to COM255, as Windows numbers its ports; the window and --list-ports
// offer the first twelve (kPortNames in res/strings.h).
constexpr int kMaxComPort = 255;

// The n of "COM<n>" for n from 1 to 255, in capitals and without leading zeros; 0 for any other
// name ("com3", "COM03", "COM256", "COM1x", a path).
int ComPortNumber(const char* name);

// The same, with "COM" in any case, as Windows reads device names ("com3" is 3).
int ComPortNumberAnyCase(const char* name);

// "COM<number>" for 1..255, in storage that lives as long as the program; null for others.
const char* ComPortName(int number);

// The folder of the user's aliases: `xdgConfigHome`/quorvane/ports when that is an absolute path,
// else `home`/.config/quorvane/ports (the root's when home is null or empty), each without its
// trailing '/'. Null stands for an unset variable. False when it does not fit `size`.
bool PortAliasFolderFrom(const char* xdgConfigHome, const char* home, char* path, size_t size);

// The alias of `name` in that folder, from $XDG_CONFIG_HOME and $HOME as they are now.
bool PortAliasFileOf(const char* name, char* path, size_t size);

// Where ports are files (POSIX): "COMn" opens its alias when `aliasExists` says something stands
// there (a broken link too: it is reported, not bypassed), else /dev/ttyS<n-1>. Any other name is
// the device's own path. False when it does not fit `size`.
bool ResolvePortNameByAlias(const char* name, bool (*aliasExists)(const char* path), char* device,
                            size_t size);

// Where the system names its ports (Windows): "COMn", in any case, becomes "\\.\COMn", the form
// that reaches two- and three-digit ports too. Any other name is the device's own. False when it
// does not fit `size`.
bool ResolvePortNameInDeviceNamespace(const char* name, char* device, size_t size);
