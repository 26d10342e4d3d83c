// Sends one image into lrzsz rx twice per run, once with our engine and once with lrzsz sx, over
// the same path (a pty, then pipes to rx), and prints wall and CPU seconds of each sender.
//   into_rx [--size BYTES] [--runs N]
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "dialogue.h"
#include "process.h"

namespace {

std::atomic<double> workerCpu{0};

double Seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

double Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

int32_t MeasuredJob(void* parameter) {
    const UpdateResult result = RunUpdateJob(parameter);
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    workerCpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    return result;
}

struct Figures {
    double wall = 0;
    double cpu = 0;
    bool ok = false;
};

Figures Ours(const std::string& image, const std::string& rx) {
    Figures f;
    Dialogue d(image, nullptr, MeasuredJob);
    if (!d.Console()) return f;
    TempDir work;
    Child receiver({rx, "-q", "-b", "-c", "received.img"}, work.Path());
    const double start = Now();
    const int status = RelayUntilExit(d.Peer().MasterFd(), receiver);
    f.wall = Now() - start;
    d.Send("Done\r\n>");
    f.ok = d.Result(10000) == ResultSuccess && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    f.cpu = workerCpu;  // includes the console exchanges, a few milliseconds
    return f;
}

Figures Theirs(const std::string& path, const std::string& sx, const std::string& rx) {
    Figures f;
    PtyPeer line;
    const pid_t sender = fork();
    if (sender == 0) {
        const int tty = open(line.SlavePath().c_str(), O_RDWR | O_NOCTTY);
        dup2(tty, 0);
        dup2(tty, 1);
        const int quiet = open("/dev/null", O_WRONLY);
        dup2(quiet, 2);
        execl(sx.c_str(), sx.c_str(), "-k", "-b", "-q", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    TempDir work;
    Child receiver({rx, "-q", "-b", "-c", "received.img"}, work.Path());
    const double start = Now();
    const int status = RelayUntilExit(line.MasterFd(), receiver);
    f.wall = Now() - start;
    // sx lingers after the transfer; it is done once the receiver is.
    kill(sender, SIGTERM);
    int ignored = 0;
    rusage usage{};
    wait4(sender, &ignored, 0, &usage);
    f.cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    f.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return f;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Print(const char* who, const std::vector<Figures>& runs, size_t size) {
    std::vector<double> wall, cpu;
    int ok = 0;
    for (const Figures& f : runs) {
        wall.push_back(f.wall);
        cpu.push_back(f.cpu);
        ok += f.ok;
    }
    const double mib = double(size) / (1024.0 * 1024.0);
    printf("%-10s %4d/%-4zu %9.3f %9.3f %9.3f %8.2f %10.4f\n", who, ok, runs.size(), Median(wall),
           *std::min_element(wall.begin(), wall.end()), *std::max_element(wall.begin(), wall.end()),
           mib / Median(wall), Median(cpu) / mib);
}

}  // namespace

int main(int argc, char** argv) {
    size_t size = 8u << 20;
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--size") == 0) size = strtoul(argv[i + 1], nullptr, 0);
        if (strcmp(argv[i], "--runs") == 0) runs = atoi(argv[i + 1]);
    }
    const std::string rx = FindProgram("rx");
    const std::string sx = FindProgram("sx");
    if (rx.empty() || sx.empty()) {
        printf("into_rx: skipped, lrzsz (sx and rx) is not installed\n");
        return 0;
    }
    const std::string image = PatternBytes(size, 42);
    TempDir dir;
    const std::string path = dir.Write("image.img", image);
    std::vector<Figures> ours, theirs;
    for (int run = 0; run < runs; ++run) {
        ours.push_back(Ours(image, rx));
        theirs.push_back(Theirs(path, sx, rx));
    }
    printf("%zu bytes into rx (XMODEM-1K, CRC), %d runs each, pty then pipes\n", size, runs);
    printf("%-10s %9s %9s %9s %9s %8s %10s\n", "sender", "ok/runs", "median s", "min s", "max s",
           "MiB/s", "CPU s/MiB");
    Print("quorvane", ours, size);
    Print("sx -k", theirs, size);
    return 0;
}
