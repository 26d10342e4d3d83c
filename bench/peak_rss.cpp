// Peak memory of quorvane-cli (ru_maxrss of the child) writing a small and a large image into
// quorvane-target --line-rate 0, and of the program doing nothing but --version for a floor.
//   peak_rss [--sizes BYTES,BYTES,...] [--report DIR]
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "tests/support/child.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace bench;

constexpr uint32_t kRunTimeoutMs = 60000;
// Unpaced, the largest image takes a minute or two; a run that takes this long is stuck.
constexpr uint32_t kUpdateTimeoutMs = 30 * 60 * 1000;

// Where this program's siblings in build/bin are.
std::string BinDir() {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return ".";
    self[n] = '\0';
    std::string path(self);
    return path.substr(0, path.rfind('/'));
}

// Runs `argv` with its standard streams on /dev/null, stdout on a pipe when asked.
bool Spawn(Child* child, const std::vector<std::string>& argv, bool stdoutPipe = false) {
    Launch launch;
    launch.argv = argv;
    if (stdoutPipe) launch.out = Stdio::Pipe();
    return child->Start(launch);
}

// An image file of `size` bytes, written a MiB at a time.
bool WriteImage(const std::string& path, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = true;
    for (size_t done = 0, seed = 1; ok && done < size; ++seed) {
        const std::string chunk =
            PatternBytes(std::min<size_t>(size - done, 1u << 20), unsigned(seed));
        ok = write(fd, chunk.data(), chunk.size()) == ssize_t(chunk.size());
        done += chunk.size();
    }
    return close(fd) == 0 && ok;
}

struct Run {
    bool ok = false;
    long peakKiB = 0;
    double seconds = 0;
    double cpu = 0;  // user and system seconds of the whole program
    std::string why;
};

Run Floor(const std::string& cli) {
    Run r;
    Child program;
    rusage usage{};
    r.ok = Spawn(&program, {cli, "--version"}) && program.Wait(kRunTimeoutMs, &usage) == 0;
    r.peakKiB = usage.ru_maxrss;
    if (!r.ok) r.why = "quorvane-cli --version failed";
    return r;
}

// One update of `size` bytes into a fresh quorvane-target that serves it once and exits 0 when
// the image arrived whole.
Run Update(const std::string& cli, const std::string& target, size_t size) {
    Run r;
    TempDir dir;
    const std::string image = dir.File("image.img");
    if (!WriteImage(image, size)) {
        r.why = "could not write the image";
        return r;
    }
    Child device;
    Spawn(&device, {target, "--line-rate", "0", "--once", "--quiet"}, true);
    // "quorvane-target: serving on /dev/pts/N"
    const std::string said = device.Out().ReadUntil("\n", kRunTimeoutMs);
    const size_t at = said.find("/dev/");
    if (at == std::string::npos) {
        r.why = "quorvane-target did not say where it serves";
        return r;
    }
    const std::string port = said.substr(at, said.find_first_of("\r\n", at) - at);
    const double start = Now();
    Child job;
    rusage usage{};
    const int exitCode =
        Spawn(&job, {cli, "--port", port, image}) ? job.Wait(kUpdateTimeoutMs, &usage) : -1;
    r.seconds = Now() - start;
    r.peakKiB = usage.ru_maxrss;
    r.cpu = double(usage.ru_utime.tv_sec) + double(usage.ru_utime.tv_usec) / 1e6 +
            double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) / 1e6;
    const bool jobOk = exitCode == 0;
    const bool deviceOk = device.Wait(kRunTimeoutMs) == 0;
    r.ok = jobOk && deviceOk;
    if (!jobOk) r.why = Format("quorvane-cli exited with status %d", exitCode);
    if (jobOk && !deviceOk) r.why = "the device did not receive the image whole";
    return r;
}

std::string SizeText(size_t bytes) {
    return bytes % (1u << 20) == 0 ? Format("%zu MiB", bytes >> 20) : Format("%zu B", bytes);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<size_t> sizes;
    std::stringstream list(Option(argc, argv, "--sizes", "1048576,268435456"));
    for (std::string item; std::getline(list, item, ',');) {
        if (const size_t n = strtoull(item.c_str(), nullptr, 0); n > 0) sizes.push_back(n);
    }
    Report report(argc, argv, "5-peak-rss");
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string cli = BinDir() + "/quorvane-cli";
    const std::string target = BinDir() + "/quorvane-target";
    report.Line("## 5. Memory\n");
    if (access(cli.c_str(), X_OK) != 0 || access(target.c_str(), X_OK) != 0 || sizes.empty()) {
        printf("peak_rss: skipped, quorvane-cli or quorvane-target is not built next to it\n");
        report.Line("Skipped: quorvane-cli or quorvane-target was not built.\n");
        report.Row("5. Peak RSS of quorvane-cli", "skipped", "flat", "", "");
        return 0;
    }
    const Run floor = Floor(cli);
    std::vector<Run> runs;
    printf("peak_rss: on %s\n", Machine().c_str());
    printf("%-22s %10s  %s\n", "quorvane-cli --version", floor.ok ? "" : "FAILED",
           Format("%ld KiB", floor.peakKiB).c_str());
    for (const size_t size : sizes) {
        runs.push_back(Update(cli, target, size));
        const Run& r = runs.back();
        printf("%-22s %10s  %ld KiB, %.2f s, CPU %.3f s%s%s\n", SizeText(size).c_str(),
               r.ok ? "ok" : "FAILED", r.peakKiB, r.seconds, r.cpu, r.why.empty() ? "" : ": ",
               r.why.c_str());
    }
    report.Line(
        "Peak resident set size (`ru_maxrss` from `wait4`) of `quorvane-cli --port PTY IMAGE` "
        "writing into `quorvane-target --line-rate 0 --once`, with its output going nowhere "
        "(the plain log). One run each; each must end with exit status 0 and the device must "
        "report the image whole. `--version` is the program's own floor. CPU is the whole "
        "program's, both threads, per MiB of image.\n");
    report.Line("| image | peak RSS | wall s | CPU s/MiB | ended |");
    report.Line("|---|---:|---:|---:|---|");
    report.Line(Format("| none (`--version`) | %ld KiB | | | %s |", floor.peakKiB,
                       floor.ok ? "ok" : "**failed**"));
    bool allOk = floor.ok;
    long low = LONG_MAX, high = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        const Run& r = runs[i];
        allOk = allOk && r.ok;
        low = std::min(low, r.peakKiB);
        high = std::max(high, r.peakKiB);
        report.Line(Format("| %s | %ld KiB | %.2f | %.4f | %s |", SizeText(sizes[i]).c_str(),
                           r.peakKiB, r.seconds, r.cpu / (double(sizes[i]) / (1u << 20)),
                           r.ok ? "ok" : ("**" + r.why + "**").c_str()));
    }
    report.Line("");
    std::string measured;
    for (size_t i = 0; i < sizes.size(); ++i) {
        measured += Format("%s%s: %ld KiB", i == 0 ? "" : ", ", SizeText(sizes[i]).c_str(),
                           runs[i].peakKiB);
    }
    // Flat: the largest image costs less than a MiB more than the smallest.
    report.Row("5. Peak RSS of quorvane-cli", allOk ? measured : "failed", "flat (within 1 MiB)",
               Format("%ld KiB for --version", floor.peakKiB), Met(allOk && high - low < 1024));
    return 0;
}
