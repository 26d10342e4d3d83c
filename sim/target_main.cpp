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

#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <system_error>

#include "sim/sim_device.h"

namespace {

constexpr int kUsageError = 64;
constexpr uint32_t kDefaultLineRate = 115200;
constexpr uint8_t kSub = 0x1A;

const char kUsage[] =
    "usage: quorvane-target [options]\n"
    "Serves a simulated device on a new pseudo-terminal until interrupted.\n"
    "\n"
    "  --link COMn          also make the port alias COMn point at it (removed on exit);\n"
    "                       refused when COMn already leads elsewhere\n"
    "  --output FILE        write each received image to FILE\n"
    "  --once               exit after one update (one transfer with --receiver-only):\n"
    "                       0 when the image arrived whole, else 1\n"
    "  --quiet              no event lines on stderr\n"
    "  --help               this text\n"
    "\n"
    "The line:\n"
    "  --line-rate BPS      pace replies and intake at BPS bit/s, 10 bits a byte\n"
    "                       (default 115200; 0: as fast as the pseudo-terminal)\n"
    "  --noise RATE         corrupt each byte the device sends with chance RATE (0 to 1):\n"
    "                       one random bit flipped\n"
    "  --noise-in RATE      the same for each byte it receives\n"
    "  --drop RATE          lose each byte, either way, with chance RATE\n"
    "  --noise-everywhere   noise and drops on the console too (default: only while the\n"
    "                       XMODEM receiver runs)\n"
    "  --garbage-burst N    send N random bytes once per transfer, after the block that\n"
    "                       completes half the image\n"
    "  --seed N             seed for the noise, drops and garbage (default 1: the same\n"
    "                       seed hits the same bytes)\n"
    "\n"
    "The console:\n"
    "  --identity TEXT      IDENT reply (default QRV-0001)\n"
    "  --ident-raw TEXT     the whole IDENT reply, verbatim (\\r, \\n and \\\\ understood)\n"
    "  --version TEXT       VER reply (default \"Ver01.02 build 7\")\n"
    "  --no-echo            do not echo console input\n"
    "  --refuse-update      refuse UPDATE\n"
    "  --verdict TEXT       verdict after the transfer (default: Done, or Abort when short)\n"
    "  --verdict-raw TEXT   sent verbatim instead of the verdict lines and the prompt\n"
    "  --verdict-delay MS   time spent \"writing the image\" before the verdict\n"
    "  --boot-silent MS     ignore all input for MS after start\n"
    "  --banner TEXT        boot message printed at start\n"
    "  --banner-gap MS      pause between banner lines (a \\n in TEXT starts a new line)\n"
    "  --busy-after-boot MS then leave input unread for MS, so it is handled in one burst\n"
    "  --prompt-per-esc     answer every ESC with a prompt, not one per burst\n"
    "\n"
    "The XMODEM receiver:\n"
    "  --nak                ask for 128-byte blocks with a checksum instead of 1K with CRC\n"
    "  --nak-block K        refuse block K once\n"
    "  --nak-eot N          refuse the first N EOTs\n"
    "  --cancel-after N     after accepting N blocks, cancel the transfer (CAN CAN)\n"
    "  --stall-after N      after accepting N blocks, never answer again\n"
    "  --vanish-after N     after acknowledging N blocks, close the line: the host's port\n"
    "                       hangs up and the program exits (0, or 1 with --once)\n"
    "  --receiver-only      no console: a plain XMODEM receiver from the first byte, asking\n"
    "                       at once and every second, for senders such as lrzsz's\n"
    "                       sx -k FILE < PORT > PORT; the console options do not apply\n"
    "  --trim-sub           with --receiver-only and --output: drop trailing SUB (0x1A)\n"
    "                       bytes from FILE; without it FILE holds the blocks as received,\n"
    "                       padding included (no size is announced, so a file that ends\n"
    "                       in SUB bytes of its own cannot be told from padding)\n";

struct Options {
    sim::DeviceConfig config;
    std::string link;
    std::string output;
    bool quiet = false;
    bool trimSub = false;
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

// Returns -1 when the options are good, else the exit code (after --help or a usage error).
int ParseOptions(int argc, char** argv, Options* options) {
    sim::DeviceConfig& config = options->config;
    config.lineRateBps = kDefaultLineRate;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        auto value = [&](const char** text) {
            if (i + 1 >= argc) return false;
            *text = argv[++i];
            return true;
        };
        auto number = [&](uint32_t* result) {
            const char* text = nullptr;
            return value(&text) && ParseNumber(text, result);
        };
        auto count = [&](int* result, uint32_t least) {
            uint32_t parsed = 0;
            if (!number(&parsed) || parsed < least || parsed > 0x7FFFFFFF) return false;
            *result = int(parsed);
            return true;
        };
        auto rate = [&](double* result) {
            const char* text = nullptr;
            return value(&text) && ParseRate(text, result);
        };
        auto raw = [&](std::string* result) {
            const char* text = nullptr;
            return value(&text) && RawText(text, result);
        };
        // Options that only mean something to the console.
        auto console = [&] {
            if (options->consoleFlag.empty()) options->consoleFlag = flag;
        };
        const char* text = nullptr;
        if (flag == "--help" || flag == "-h") {
            fputs(kUsage, stdout);
            return 0;
        } else if (flag == "--link") {
            if (!value(&text)) return UsageError("--link needs a port name");
            if (!sim::Device::IsComName(text)) {
                return UsageError(std::string("--link wants COM1 to COM255, not \"") + text + "\"");
            }
            options->link = text;
        } else if (flag == "--output") {
            if (!value(&text) || text[0] == '\0') return UsageError("--output needs a file");
            options->output = text;
        } else if (flag == "--once") {
            config.once = true;
        } else if (flag == "--quiet") {
            options->quiet = true;
        } else if (flag == "--line-rate") {
            if (!number(&config.lineRateBps)) {
                return UsageError("--line-rate needs bits per second (0: unthrottled)");
            }
        } else if (flag == "--noise") {
            if (!rate(&config.noiseOut)) return UsageError("--noise needs a rate from 0 to 1");
        } else if (flag == "--noise-in") {
            if (!rate(&config.noiseIn)) return UsageError("--noise-in needs a rate from 0 to 1");
        } else if (flag == "--drop") {
            if (!rate(&config.dropRate)) return UsageError("--drop needs a rate from 0 to 1");
        } else if (flag == "--noise-everywhere") {
            console();
            config.noiseEverywhere = true;
        } else if (flag == "--garbage-burst") {
            if (!number(&config.garbageBurst) || config.garbageBurst == 0 ||
                config.garbageBurst > 1024 * 1024) {
                return UsageError("--garbage-burst needs a number of bytes from 1 to 1048576");
            }
        } else if (flag == "--seed") {
            if (!value(&text) || !ParseNumber64(text, &config.seed)) {
                return UsageError("--seed needs a number");
            }
        } else if (flag == "--identity") {
            console();
            if (!value(&text)) return UsageError("--identity needs a text");
            config.identity = text;
        } else if (flag == "--ident-raw") {
            console();
            if (!raw(&config.identReplyRaw)) {
                return UsageError("--ident-raw needs a text (escapes: \\r \\n \\\\)");
            }
        } else if (flag == "--version") {
            console();
            if (!value(&text)) return UsageError("--version needs a text");
            config.version = text;
        } else if (flag == "--no-echo") {
            console();
            config.echo = false;
        } else if (flag == "--refuse-update") {
            console();
            config.refuseUpdate = true;
        } else if (flag == "--verdict") {
            console();
            if (!value(&text) || text[0] == '\0') return UsageError("--verdict needs a text");
            config.verdict = text;
        } else if (flag == "--verdict-raw") {
            console();
            if (!raw(&config.verdictRaw)) {
                return UsageError("--verdict-raw needs a text (escapes: \\r \\n \\\\)");
            }
        } else if (flag == "--verdict-delay") {
            console();
            if (!number(&config.verdictDelayMs)) {
                return UsageError("--verdict-delay needs milliseconds");
            }
        } else if (flag == "--boot-silent") {
            console();
            if (!number(&config.bootSilentMs))
                return UsageError("--boot-silent needs milliseconds");
        } else if (flag == "--banner") {
            console();
            if (!value(&text)) return UsageError("--banner needs a text");
            config.banner = BannerText(text);
        } else if (flag == "--banner-gap") {
            console();
            if (!number(&config.bannerLineGapMs)) {
                return UsageError("--banner-gap needs milliseconds");
            }
        } else if (flag == "--busy-after-boot") {
            console();
            if (!number(&config.busyAfterBootMs)) {
                return UsageError("--busy-after-boot needs milliseconds");
            }
        } else if (flag == "--prompt-per-esc") {
            console();
            config.promptPerEsc = true;
        } else if (flag == "--nak") {
            config.crcMode = false;
        } else if (flag == "--nak-block") {
            if (!count(&config.nakBlockOnce, 1)) {
                return UsageError("--nak-block needs a block number from 1");
            }
        } else if (flag == "--nak-eot") {
            if (!count(&config.nakEotTimes, 0)) return UsageError("--nak-eot needs a number");
        } else if (flag == "--cancel-after") {
            if (!count(&config.cancelAfterBlocks, 0)) {
                return UsageError("--cancel-after needs a number of blocks");
            }
        } else if (flag == "--stall-after") {
            if (!count(&config.stallAfterBlocks, 0)) {
                return UsageError("--stall-after needs a number of blocks");
            }
        } else if (flag == "--vanish-after") {
            if (!count(&config.vanishAfterBlocks, 0)) {
                return UsageError("--vanish-after needs a number of blocks");
            }
        } else if (flag == "--receiver-only") {
            config.receiverOnly = true;
        } else if (flag == "--trim-sub") {
            options->trimSub = true;
        } else {
            return UsageError("unknown option \"" + flag + "\"");
        }
    }
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
