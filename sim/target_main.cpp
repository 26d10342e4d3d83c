// quorvane-target: a simulated device on a pseudo-terminal, for the demo and for trying the
// tool out by hand. Prints where it serves, then serves until Ctrl-C (or one update, --once).
// Paced at 115200 bit/s unless told otherwise, so what a person watches takes as long as it
// would on a real line.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "sim/sim_device.h"

namespace {

constexpr int kUsageError = 64;
constexpr uint32_t kDefaultLineRate = 115200;
constexpr uint8_t kSub = 0x1A;

struct Options {
    sim::DeviceConfig config;
    std::string link;
    std::string output;
    bool quiet = false;
    bool trimSub = false;
    bool help = false;
    std::string consoleFlag;  // the first console option given, which --receiver-only excludes
};

int UsageError(const std::string& problem) {
    fprintf(stderr, "quorvane-target: %s\nTry 'quorvane-target --help'.\n", problem.c_str());
    return kUsageError;
}

bool ParseNumber(const char* text, uint32_t* value) {
    if (text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long number = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || number > 0xFFFFFFFFull) return false;
    *value = uint32_t(number);
    return true;
}

bool ParseNumber64(const char* text, uint64_t* value) {
    if (text[0] < '0' || text[0] > '9') return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long number = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    *value = uint64_t(number);
    return true;
}

// A chance from 0 to 1, such as 0.001 or 1e-3.
bool ParseRate(const char* text, double* value) {
    if (!((text[0] >= '0' && text[0] <= '9') || text[0] == '.')) return false;
    errno = 0;
    char* end = nullptr;
    const double rate = strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(rate) || rate < 0 || rate > 1) return false;
    *value = rate;
    return true;
}

// "\r", "\n" and "\\" in a raw reply given on the command line.
bool RawText(const std::string& text, std::string* raw) {
    raw->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            *raw += text[i];
            continue;
        }
        if (++i >= text.size()) return false;
        if (text[i] == 'r') {
            *raw += '\r';
        } else if (text[i] == 'n') {
            *raw += '\n';
        } else if (text[i] == '\\') {
            *raw += '\\';
        } else {
            return false;
        }
    }
    return !raw->empty();
}

// "\n" in a banner given on the command line becomes a line end.
std::string BannerText(const std::string& text) {
    std::string banner;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
            banner += "\r\n";
            ++i;
        } else {
            banner += text[i];
        }
    }
    if (!banner.ends_with("\r\n")) banner += "\r\n";
    return banner;
}

// How a flag sets its field: false when its value (null for a flag without one) is not good;
// *problem may then say why better than the flag's own complaint.
using Setter = bool (*)(const char* value, Options* options, std::string* problem);

using Config = sim::DeviceConfig;

template <bool Config::*field, bool to>
bool Switch(const char*, Options* options, std::string*) {
    options->config.*field = to;
    return true;
}

template <uint32_t Config::*field, uint32_t least = 0, uint32_t most = 0xFFFFFFFF>
bool Number(const char* text, Options* options, std::string*) {
    uint32_t& number = options->config.*field;
    return ParseNumber(text, &number) && number >= least && number <= most;
}

// A number of blocks or times, kept in an int.
template <int Config::*field, uint32_t least>
bool Count(const char* text, Options* options, std::string*) {
    uint32_t parsed = 0;
    if (!ParseNumber(text, &parsed) || parsed < least || parsed > 0x7FFFFFFF) return false;
    options->config.*field = int(parsed);
    return true;
}

template <double Config::*field>
bool Rate(const char* text, Options* options, std::string*) {
    return ParseRate(text, &(options->config.*field));
}

template <std::string Config::*field, bool mayBeEmpty>
bool Text(const char* text, Options* options, std::string*) {
    if (!mayBeEmpty && text[0] == '\0') return false;
    options->config.*field = text;
    return true;
}

template <std::string Config::*field>
bool Raw(const char* text, Options* options, std::string*) {
    return RawText(text, &(options->config.*field));
}

// Where --help lists a flag.
enum class Section { General, Line, Console, Receiver };
// What a flag concerns: the console's flags are refused with --receiver-only, which has none.
enum class For { Any, Console };

// One row per flag: the parser finds it here, and --help is written from here.
struct Flag {
    Section section;
    const char* name;
    const char* value;  // what the help calls the value, or null for a flag without one
    For concerns;
    const char* help;     // lines after the first are indented under it
    const char* problem;  // the complaint when the value is missing or bad; null without a value
    Setter set;
    const char* alias = nullptr;  // another spelling
};

const Flag kFlags[] = {
    {Section::General, "--link", "COMn", For::Any,
     "also make the port alias COMn point at it (removed on exit);\n"
     "refused when COMn already leads elsewhere",
     "--link needs a port name",
     [](const char* text, Options* options, std::string* problem) {
         if (!sim::Device::IsComName(text)) {
             *problem = std::string("--link wants COM1 to COM255, not \"") + text + "\"";
             return false;
         }
         options->link = text;
         return true;
     }},
    {Section::General, "--output", "FILE", For::Any, "write each received image to FILE",
     "--output needs a file",
     [](const char* text, Options* options, std::string*) {
         options->output = text;
         return text[0] != '\0';
     }},
    {Section::General, "--once", nullptr, For::Any,
     "exit after one update (one transfer with --receiver-only):\n"
     "0 when the image arrived whole, else 1",
     nullptr, Switch<&Config::once, true>},
    {Section::General, "--quiet", nullptr, For::Any, "no event lines on stderr", nullptr,
     [](const char*, Options* options, std::string*) {
         options->quiet = true;
         return true;
     }},
    {Section::General, "--help", nullptr, For::Any, "this text", nullptr,
     [](const char*, Options* options, std::string*) {
         options->help = true;
         return true;
     },
     "-h"},

    {Section::Line, "--line-rate", "BPS", For::Any,
     "pace replies and intake at BPS bit/s, 10 bits a byte\n"
     "(default 115200; 0: as fast as the pseudo-terminal)",
     "--line-rate needs bits per second (0: unthrottled)", Number<&Config::lineRateBps>},
    {Section::Line, "--noise", "RATE", For::Any,
     "corrupt each byte the device sends with chance RATE (0 to 1):\n"
     "one random bit flipped",
     "--noise needs a rate from 0 to 1", Rate<&Config::noiseOut>},
    {Section::Line, "--noise-in", "RATE", For::Any, "the same for each byte it receives",
     "--noise-in needs a rate from 0 to 1", Rate<&Config::noiseIn>},
    {Section::Line, "--drop", "RATE", For::Any, "lose each byte, either way, with chance RATE",
     "--drop needs a rate from 0 to 1", Rate<&Config::dropRate>},
    {Section::Line, "--noise-everywhere", nullptr, For::Console,
     "noise and drops on the console too (default: only while the\n"
     "XMODEM receiver runs)",
     nullptr, Switch<&Config::noiseEverywhere, true>},
    {Section::Line, "--garbage-burst", "N", For::Any,
     "send N random bytes once per transfer, after the block that\n"
     "completes half the image",
     "--garbage-burst needs a number of bytes from 1 to 1048576",
     Number<&Config::garbageBurst, 1, 1024 * 1024>},
    {Section::Line, "--seed", "N", For::Any,
     "seed for the noise, drops and garbage (default 1: the same\n"
     "seed hits the same bytes)",
     "--seed needs a number",
     [](const char* text, Options* options, std::string*) {
         return ParseNumber64(text, &options->config.seed);
     }},

    {Section::Console, "--identity", "TEXT", For::Console, "IDENT reply (default QRV-0001)",
     "--identity needs a text", Text<&Config::identity, true>},
    {Section::Console, "--ident-raw", "TEXT", For::Console,
     "the whole IDENT reply, verbatim (\\r, \\n and \\\\ understood)",
     "--ident-raw needs a text (escapes: \\r \\n \\\\)", Raw<&Config::identReplyRaw>},
    {Section::Console, "--version", "TEXT", For::Console,
     "VER reply (default \"Ver01.02 build 7\")", "--version needs a text",
     Text<&Config::version, true>},
    {Section::Console, "--no-echo", nullptr, For::Console, "do not echo console input", nullptr,
     Switch<&Config::echo, false>},
    {Section::Console, "--refuse-update", nullptr, For::Console, "refuse UPDATE", nullptr,
     Switch<&Config::refuseUpdate, true>},
    {Section::Console, "--verdict", "TEXT", For::Console,
     "verdict after the transfer (default: Done, or Abort when short)", "--verdict needs a text",
     Text<&Config::verdict, false>},
    {Section::Console, "--verdict-raw", "TEXT", For::Console,
     "sent verbatim instead of the verdict lines and the prompt",
     "--verdict-raw needs a text (escapes: \\r \\n \\\\)", Raw<&Config::verdictRaw>},
    {Section::Console, "--verdict-delay", "MS", For::Console,
     "time spent \"writing the image\" before the verdict", "--verdict-delay needs milliseconds",
     Number<&Config::verdictDelayMs>},
    {Section::Console, "--boot-silent", "MS", For::Console, "ignore all input for MS after start",
     "--boot-silent needs milliseconds", Number<&Config::bootSilentMs>},
    {Section::Console, "--banner", "TEXT", For::Console, "boot message printed at start",
     "--banner needs a text",
     [](const char* text, Options* options, std::string*) {
         options->config.banner = BannerText(text);
         return true;
     }},
    {Section::Console, "--banner-gap", "MS", For::Console,
     "pause between banner lines (a \\n in TEXT starts a new line)",
     "--banner-gap needs milliseconds", Number<&Config::bannerLineGapMs>},
    {Section::Console, "--busy-after-boot", "MS", For::Console,
     "then leave input unread for MS, so it is handled in one burst",
     "--busy-after-boot needs milliseconds", Number<&Config::busyAfterBootMs>},
    {Section::Console, "--prompt-per-esc", nullptr, For::Console,
     "answer every ESC with a prompt, not one per burst", nullptr,
     Switch<&Config::promptPerEsc, true>},

    {Section::Receiver, "--nak", nullptr, For::Any,
     "ask for 128-byte blocks with a checksum instead of 1K with CRC", nullptr,
     Switch<&Config::crcMode, false>},
    {Section::Receiver, "--nak-block", "K", For::Any, "refuse block K once",
     "--nak-block needs a block number from 1", Count<&Config::nakBlockOnce, 1>},
    {Section::Receiver, "--nak-eot", "N", For::Any, "refuse the first N EOTs",
     "--nak-eot needs a number", Count<&Config::nakEotTimes, 0>},
    {Section::Receiver, "--cancel-after", "N", For::Any,
     "after accepting N blocks, cancel the transfer (CAN CAN)",
     "--cancel-after needs a number of blocks", Count<&Config::cancelAfterBlocks, 0>},
    {Section::Receiver, "--stall-after", "N", For::Any,
     "after accepting N blocks, never answer again", "--stall-after needs a number of blocks",
     Count<&Config::stallAfterBlocks, 0>},
    {Section::Receiver, "--vanish-after", "N", For::Any,
     "after acknowledging N blocks, close the line: the host's port\n"
     "hangs up and the program exits (0, or 1 with --once)",
     "--vanish-after needs a number of blocks", Count<&Config::vanishAfterBlocks, 0>},
    {Section::Receiver, "--receiver-only", nullptr, For::Any,
     "no console: a plain XMODEM receiver from the first byte, asking\n"
     "at once and every second, for senders such as lrzsz's\n"
     "sx -k FILE < PORT > PORT; the console options do not apply",
     nullptr, Switch<&Config::receiverOnly, true>},
    {Section::Receiver, "--trim-sub", nullptr, For::Any,
     "with --receiver-only and --output: drop trailing SUB (0x1A)\n"
     "bytes from FILE; without it FILE holds the blocks as received,\n"
     "padding included (no size is announced, so a file that ends\n"
     "in SUB bytes of its own cannot be told from padding)",
     nullptr,
     [](const char*, Options* options, std::string*) {
         options->trimSub = true;
         return true;
     }},
};

std::string Usage() {
    constexpr size_t kHelpColumn = 23;
    std::string text =
        "usage: quorvane-target [options]\n"
        "Serves a simulated device on a new pseudo-terminal until interrupted.\n";
    for (const auto& [section, heading] :
         {std::pair{Section::General, ""}, std::pair{Section::Line, "The line:\n"},
          std::pair{Section::Console, "The console:\n"},
          std::pair{Section::Receiver, "The XMODEM receiver:\n"}}) {
        text += std::string("\n") + heading;
        for (const Flag& flag : kFlags) {
            if (flag.section != section) continue;
            std::string names = std::string("  ") + flag.name;
            if (flag.alias != nullptr) names += std::string(", ") + flag.alias;
            if (flag.value != nullptr) names += std::string(" ") + flag.value;
            names.resize(std::max(names.size() + 1, kHelpColumn), ' ');
            text += names;
            for (const char* c = flag.help; *c != '\0'; ++c) {
                text += *c;
                if (*c == '\n') text += std::string(kHelpColumn, ' ');
            }
            text += '\n';
        }
    }
    return text;
}

const Flag* FindFlag(const std::string& given) {
    for (const Flag& flag : kFlags) {
        if (given == flag.name || (flag.alias != nullptr && given == flag.alias)) return &flag;
    }
    return nullptr;
}

// Returns -1 when the options are good, else the exit code (after --help or a usage error).
int ParseOptions(int argc, char** argv, Options* options) {
    options->config.lineRateBps = kDefaultLineRate;
    for (int i = 1; i < argc; ++i) {
        const std::string given = argv[i];
        const Flag* flag = FindFlag(given);
        if (flag == nullptr) return UsageError("unknown option \"" + given + "\"");
        if (flag->concerns == For::Console && options->consoleFlag.empty())
            options->consoleFlag = given;
        const char* value = nullptr;
        if (flag->value != nullptr) {
            if (i + 1 >= argc) return UsageError(flag->problem);
            value = argv[++i];
        }
        std::string problem;
        if (!flag->set(value, options, &problem)) {
            return UsageError(problem.empty() ? flag->problem : problem);
        }
        if (options->help) {
            fputs(Usage().c_str(), stdout);
            return 0;
        }
    }
    const sim::DeviceConfig& config = options->config;
    if (config.receiverOnly && !options->consoleFlag.empty()) {
        return UsageError(options->consoleFlag +
                          " only concerns the console, and --receiver-only has none");
    }
    if (options->trimSub && (!config.receiverOnly || options->output.empty())) {
        return UsageError("--trim-sub goes with --receiver-only and --output");
    }
    return -1;
}

std::string SystemText(const std::string& what, int error) {
    return what + ": " + std::error_code(error, std::generic_category()).message();
}

// Written beside the target and renamed over it, so FILE is never half an image.
bool WriteImage(const std::string& path, std::span<const uint8_t> image, std::string* error) {
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        *error = SystemText(temporary, errno);
        return false;
    }
    size_t done = 0;
    while (done < image.size()) {
        const ssize_t n = write(fd, image.data() + done, image.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *error = SystemText(path, n < 0 ? errno : EIO);
            close(fd);
            unlink(temporary.c_str());
            return false;
        }
        done += size_t(n);
    }
    bool ok = fchmod(fd, 0644) == 0;
    int failure = ok ? 0 : errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        failure = errno;
    }
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        failure = errno;
    }
    if (!ok) {
        *error = SystemText(path, failure);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const int parsed = ParseOptions(argc, argv, &options);
    if (parsed >= 0) return parsed;

    // Signals are taken by sigwait below; blocked before the device thread exists, so no other
    // thread ever runs a handler. A SIGINT ignored by whoever started us (a shell's background
    // job) stays ignored, as is usual; SIGTERM always ends the program.
    signal(SIGTERM, SIG_DFL);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::atomic<bool> imageOk{false};
    std::atomic<bool> vanished{false};
    const bool quiet = options.quiet;
    const std::string output = options.output;
    const bool trimSub = options.trimSub;
    options.config.onEvent = [&imageOk, &vanished, quiet, output,
                              trimSub](const sim::Event& event) {
        auto say = [quiet](const std::string& text) {
            if (!quiet) fprintf(stderr, "quorvane-target: %s\n", text.c_str());
        };
        switch (event.kind) {
            case sim::EventKind::Woke:
                say("woke");
                break;
            case sim::EventKind::Command:
                say("command " + event.text);
                break;
            case sim::EventKind::UpdateAnnounced:
                say("receiving " + std::to_string(event.size) + " bytes");
                break;
            case sim::EventKind::TransferDone:
                say("transfer done, " + std::to_string(event.size) + " bytes" +
                    (event.ok ? "" : " (not the announced image)"));
                imageOk = event.ok;
                if (!output.empty()) {
                    std::span<const uint8_t> image = event.image;
                    while (trimSub && !image.empty() && image.back() == kSub)
                        image = image.first(image.size() - 1);
                    std::string error;
                    if (!WriteImage(output, image, &error)) {
                        fprintf(stderr, "quorvane-target: %s\n", error.c_str());
                    } else {
                        say("image written to " + output);
                    }
                }
                break;
            case sim::EventKind::TransferAborted:
                say("transfer aborted: " + event.text);
                break;
            case sim::EventKind::Verdict:
                say("verdict " + event.text);
                break;
            case sim::EventKind::GarbageSent:
                say("garbage burst of " + std::to_string(event.text.size()) + " bytes sent");
                break;
            case sim::EventKind::Vanished:
                vanished = true;
                say(event.text);
                break;
            case sim::EventKind::Finished:
                say("stopped: " + event.text);
                kill(getpid(), SIGUSR1);
                break;
        }
    };

    sim::Device device(options.config);
    std::string error;
    if (!device.Start(&error)) {
        fprintf(stderr, "quorvane-target: %s\n", error.c_str());
        return 1;
    }
    printf("quorvane-target: serving on %s\n", device.PortPath().c_str());
    if (!options.quiet) {
        const uint32_t rate = options.config.lineRateBps;
        fprintf(stderr, "quorvane-target: %s, line %s\n",
                options.config.receiverOnly ? "XMODEM receiver only" : "console",
                rate == 0 ? "unthrottled" : (std::to_string(rate) + " bit/s").c_str());
    }
    if (!options.link.empty()) {
        if (!device.LinkAs(options.link, &error)) {
            fprintf(stderr, "quorvane-target: %s\n", error.c_str());
            device.Stop();
            return 1;
        }
        printf("quorvane-target: linked as %s -> %s\n", options.link.c_str(),
               device.PortPath().c_str());
    }
    fflush(stdout);

    int received = 0;
    while (sigwait(&signals, &received) != 0) {
    }
    device.Stop();
    const sim::DeviceConfig& config = options.config;
    if (!options.quiet && (config.noiseIn > 0 || config.noiseOut > 0 || config.dropRate > 0)) {
        const sim::NoiseCounts noise = device.Noise();
        fprintf(stderr,
                "quorvane-target: line noise corrupted %llu bytes in and %llu out, dropped %llu "
                "in and %llu out\n",
                static_cast<unsigned long long>(noise.corruptedIn),
                static_cast<unsigned long long>(noise.corruptedOut),
                static_cast<unsigned long long>(noise.droppedIn),
                static_cast<unsigned long long>(noise.droppedOut));
    }
    if (config.once) return imageOk ? 0 : 1;
    // SIGUSR1 without --once: the device vanished as asked, or its line failed.
    return received == SIGUSR1 && !vanished ? 1 : 0;
}
