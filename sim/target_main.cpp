// quorvane-target: a simulated device on a pseudo-terminal, for the demo and for trying the
// tool out by hand. Prints where it serves, then serves until Ctrl-C (or one update, --once).

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <system_error>

#include "sim_device.h"

namespace {

constexpr int kUsageError = 64;

const char kUsage[] =
    "usage: quorvane-target [options]\n"
    "Serves a simulated device on a new pseudo-terminal until interrupted.\n"
    "\n"
    "  --link COMn          also make the port alias COMn point at it (removed on exit)\n"
    "  --output FILE        write each received image to FILE\n"
    "  --once               exit after one update: 0 when the image arrived whole, else 1\n"
    "  --identity TEXT      IDENT reply (default QRV-0001)\n"
    "  --version TEXT       VER reply (default \"Ver01.02 build 7\")\n"
    "  --no-echo            do not echo console input\n"
    "  --nak                ask for 128-byte blocks with a checksum instead of 1K with CRC\n"
    "  --refuse-update      refuse UPDATE\n"
    "  --verdict TEXT       verdict after the transfer (default: Done, or Abort when short)\n"
    "  --verdict-delay MS   time spent \"writing the image\" before the verdict\n"
    "  --boot-silent MS     ignore all input for MS after start\n"
    "  --banner TEXT        boot message printed at start\n"
    "  --banner-gap MS      pause between banner lines (a \\n in TEXT starts a new line)\n"
    "  --prompt-per-esc     answer every ESC with a prompt\n"
    "  --cancel-after N     after accepting N blocks, cancel the transfer (CAN CAN)\n"
    "  --nak-block K        refuse block K once\n"
    "  --nak-eot N          refuse the first N EOTs\n"
    "  --quiet              no event lines on stderr\n"
    "  --help               this text\n";

struct Options {
    sim::DeviceConfig config;
    std::string link;
    std::string output;
    bool quiet = false;
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
        } else if (flag == "--identity") {
            if (!value(&text)) return UsageError("--identity needs a text");
            config.identity = text;
        } else if (flag == "--version") {
            if (!value(&text)) return UsageError("--version needs a text");
            config.version = text;
        } else if (flag == "--no-echo") {
            config.echo = false;
        } else if (flag == "--nak") {
            config.crcMode = false;
        } else if (flag == "--refuse-update") {
            config.refuseUpdate = true;
        } else if (flag == "--verdict") {
            if (!value(&text) || text[0] == '\0') return UsageError("--verdict needs a text");
            config.verdict = text;
        } else if (flag == "--verdict-delay") {
            if (!number(&config.verdictDelayMs)) {
                return UsageError("--verdict-delay needs milliseconds");
            }
        } else if (flag == "--boot-silent") {
            if (!number(&config.bootSilentMs))
                return UsageError("--boot-silent needs milliseconds");
        } else if (flag == "--banner") {
            if (!value(&text)) return UsageError("--banner needs a text");
            config.banner = BannerText(text);
        } else if (flag == "--banner-gap") {
            if (!number(&config.bannerLineGapMs)) {
                return UsageError("--banner-gap needs milliseconds");
            }
        } else if (flag == "--prompt-per-esc") {
            config.promptPerEsc = true;
        } else if (flag == "--cancel-after") {
            if (!count(&config.cancelAfterBlocks, 0)) {
                return UsageError("--cancel-after needs a number of blocks");
            }
        } else if (flag == "--nak-block") {
            if (!count(&config.nakBlockOnce, 1)) {
                return UsageError("--nak-block needs a block number from 1");
            }
        } else if (flag == "--nak-eot") {
            if (!count(&config.nakEotTimes, 0)) return UsageError("--nak-eot needs a number");
        } else if (flag == "--quiet") {
            options->quiet = true;
        } else {
            return UsageError("unknown option \"" + flag + "\"");
        }
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
    const bool quiet = options.quiet;
    const std::string output = options.output;
    options.config.onEvent = [&imageOk, quiet, output](const sim::Event& event) {
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
                    std::string error;
                    if (!WriteImage(output, event.image, &error)) {
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
    if (options.config.once) return imageOk ? 0 : 1;
    return received == SIGUSR1 ? 1 : 0;  // SIGUSR1 without --once: the line failed
}
