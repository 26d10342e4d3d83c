#include "cli/options.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "cli/printable.h"
#include "engine/update_job.h"
#include "platform/port_names.h"
#include "platform/serial_devices.h"

extern const char kSynopsis[] =
    "usage: quorvane-cli [--port NAME] [--expect-identity ID] [--json] IMAGE\n"
    "       quorvane-cli --check [--port NAME] [--expect-identity ID] [--json]\n"
    "       quorvane-cli --list-ports [--json]\n"
    "       quorvane-cli --map COMn=DEVICE | --unmap COMn\n";
const char kUsageBody[] =
    "\n"
    "Writes IMAGE into the device on serial port NAME: wakes its console, checks it, announces\n"
    "the image, sends it with XMODEM and waits for the device's verdict.\n"
    "\n"
    "  --port NAME           COM1 .. COM255 (default COM1), or a device path such as\n"
    "                        /dev/ttyUSB0. COMn opens the link ~/.config/quorvane/ports/COMn\n"
    "                        (under $XDG_CONFIG_HOME when set) when it exists, else\n"
    "                        /dev/ttyS<n-1>.\n"
    "  --expect-identity ID  refuse an image or device whose identity is not ID\n"
    "                        (exactly 8 characters)\n"
    "  --check               only wake the device's console and ask IDENT and VER: shows the\n"
    "                        identity and version and exits 0 when the device would take an\n"
    "                        image (with --expect-identity: and is that one), else 5; no\n"
    "                        image is given and nothing else is sent\n"
    "  --json                one JSON object per line on stdout for every change and the\n"
    "                        result, for scripts\n"
    "  --list-ports          show what COM1 .. COM12 open and whether each can be used now,\n"
    "                        then the serial devices present (opening a port may pulse its\n"
    "                        DTR line)\n"
    "  --map COMn=DEVICE     make COMn open DEVICE from now on, e.g.\n"
    "                        --map COM3=/dev/serial/by-id/usb-FTDI_...-port0 (a by-id name\n"
    "                        stays the same whichever socket the adapter is in); DEVICE\n"
    "                        must be a terminal\n"
    "  --unmap COMn          remove that link: COMn opens /dev/ttyS<n-1> again\n"
    "  --version             show the program's version\n"
    "  --help                show this text\n"
    "\n"
    "On a terminal the progress is redrawn in place; otherwise it is logged a line per change.\n"
    "Ctrl-C cancels the update: the device is told and the job ends by itself. A second Ctrl-C\n"
    "only says what the job is waiting for; a third quits at once (exit status 130) and leaves\n"
    "the device to time out.\n"
    "\n"
    "Exit status: 0 success, 1 cancelled, 2 image file I/O error, 3 serial port I/O error,\n"
    "4 image file invalid, 5 target connect fail, 6 transfer fail, 7 update fail, 64 bad usage,\n"
    "70 internal error, 71 no worker thread could be started (nothing was opened), 130 quit\n"
    "before the job ended. --map and --unmap: 0 done, 64 bad usage, 66 DEVICE refused (missing,\n"
    "not a terminal, no permission, or leading back to COMn), 73 the link could not be made or\n"
    "removed, 69 not on this system (Windows names its ports itself); on any refusal nothing\n"
    "is changed.\n";

std::string UsageText() {
    std::string text = std::string(kSynopsis) + kUsageBody;
    const PortPermission& permission = PortPermissionHelp();
    if (permission.group[0] != '\0') {
        text += std::string("\nA port refused with \"permission denied\" needs the ") +
                permission.group + ":\n  " + permission.command + "\n";
    }
    return text;
}

constexpr char kTryHelp[] = "Run 'quorvane-cli --help' for the options and exit codes.\n";

namespace {

// The argument is shown as given, but for its control characters: an escape sequence in it
// would reach the terminal.
bool Fail(const char* what, const char* arg) {
    std::fprintf(stderr, "quorvane-cli: %s '%s'\n%s%s", what, Printable(arg).c_str(), kSynopsis,
                 kTryHelp);
    return false;
}

bool SetPort(Options* options, const char* name) {
    if (std::strchr(name, '/') != nullptr) {
        options->portName = name;
        options->portDevice = name;
        return true;
    }
    const int number = ComPortNumber(name);
    if (number == 0) return Fail("no such port (COM1 .. COM255 or a device path):", name);
    options->portName = ComPortName(number);
    options->portIndex = number - 1;
    options->portDevice = nullptr;
    return true;
}

// The port name's own lasting copy, or null when `name` is none.
const char* PortNameOf(std::string_view name) {
    const std::string terminated(name);
    return ComPortName(ComPortNumber(terminated.c_str()));
}

bool SetMap(Options* options, const char* value) {
    const char* eq = std::strchr(value, '=');
    if (eq == nullptr || eq[1] == '\0') {
        return Fail("--map takes COMn=DEVICE, such as COM3=/dev/ttyUSB0, not", value);
    }
    options->mapName = PortNameOf(std::string_view(value, size_t(eq - value)));
    if (options->mapName == nullptr) {
        return Fail("--map takes a name from COM1 .. COM255 before the '=', not", value);
    }
    options->mapDevice = eq + 1;
    return true;
}

bool SetUnmap(Options* options, const char* value) {
    options->mapName = PortNameOf(value);
    if (options->mapName == nullptr) return Fail("--unmap takes COM1 .. COM255, not", value);
    options->mapDevice = nullptr;
    return true;
}

bool SetIdentity(Options* options, const char* id) {
    if (std::strlen(id) != sizeof updateJob.expectedIdentity) {
        return Fail("an identity has exactly 8 characters, not", id);
    }
    options->identity = id;
    return true;
}

}  // namespace

Parsed ParseArguments(int argc, char** argv, Options* options) {
    bool optionsEnded = false;
    bool portGiven = false;
    int mappings = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                optionsEnded = true;
                continue;
            }
            if (arg == "--help" || arg == "-h") return Parsed::Help;
            if (arg == "--version") return Parsed::Version;
            if (arg == "--json") {
                options->json = true;
                continue;
            }
            if (arg == "--check") {
                options->check = true;
                continue;
            }
            if (arg == "--list-ports") {
                options->listPorts = true;
                continue;
            }
            const bool isPort = arg == "--port" || arg.starts_with("--port=");
            const bool isIdentity =
                arg == "--expect-identity" || arg.starts_with("--expect-identity=");
            const bool isMap = arg == "--map" || arg.starts_with("--map=");
            const bool isUnmap = arg == "--unmap" || arg.starts_with("--unmap=");
            if (!isPort && !isIdentity && !isMap && !isUnmap) {
                Fail("unknown option", argv[i]);
                return Parsed::Bad;
            }
            const char* value = nullptr;
            if (const size_t eq = arg.find('='); eq != std::string_view::npos) {
                value = argv[i] + eq + 1;
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                Fail("a value must follow", argv[i]);
                return Parsed::Bad;
            }
            const bool set = isPort       ? SetPort(options, value)
                             : isIdentity ? SetIdentity(options, value)
                             : isMap      ? SetMap(options, value)
                                          : SetUnmap(options, value);
            if (!set) return Parsed::Bad;
            portGiven = portGiven || isPort;
            if (isMap || isUnmap) ++mappings;
            continue;
        }
        if (arg.empty()) {
            Fail("an image path cannot be empty:", argv[i]);
            return Parsed::Bad;
        }
        if (options->image != nullptr) {
            Fail("one image at a time; also given", argv[i]);
            return Parsed::Bad;
        }
        options->image = argv[i];
    }
    if (mappings > 0) {
        if (mappings > 1 || options->listPorts || options->json || options->image != nullptr ||
            portGiven || options->identity != nullptr || options->check) {
            std::fprintf(stderr,
                         "quorvane-cli: --map and --unmap take one port at a time and no other "
                         "option or image\n%s%s",
                         kSynopsis, kTryHelp);
            return Parsed::Bad;
        }
        return options->mapDevice != nullptr ? Parsed::Map : Parsed::Unmap;
    }
    if (options->listPorts) {
        if (options->image != nullptr || portGiven || options->identity != nullptr ||
            options->check) {
            std::fprintf(stderr,
                         "quorvane-cli: --list-ports takes no image, port or identity\n%s%s",
                         kSynopsis, kTryHelp);
            return Parsed::Bad;
        }
        return Parsed::ListPorts;
    }
    if (options->check) {
        if (options->image == nullptr) return Parsed::Run;
        std::fprintf(stderr, "quorvane-cli: --check takes no image\n%s%s", kSynopsis, kTryHelp);
        return Parsed::Bad;
    }
    if (options->image == nullptr) {
        std::fprintf(stderr, "quorvane-cli: no image given\n%s%s", kSynopsis, kTryHelp);
        return Parsed::Bad;
    }
    return Parsed::Run;
}
