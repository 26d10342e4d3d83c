// Sends one image into lrzsz rx twice per run, once with our engine and once with lrzsz sx, over
// the same path (a pty, then pipes to rx), and prints wall and CPU seconds of each sender.
//   into_rx [--size BYTES] [--runs N] [--report DIR]
#include <fcntl.h>
#include <poll.h>
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
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_support.h"
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

// What rx wrote: the image, as long as its size is a multiple of the block size.
std::string Received(const TempDir& work) {
    std::ifstream file(work.File("received.img"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// RelayUntilExit's copying both ways, watching the sender's bytes for the EOT after its last
// packet: rx waits a second after EOT before it answers, the same for every sender, so the
// transfer is timed to the EOT and the whole run to rx's exit.
int Relay(int master, PipedChild& child, double* eotAt) {
    char chunk[4096];
    size_t packetLeft = 0;  // bytes of the current packet still to come
    for (;;) {
        pollfd fds[2] = {{master, POLLIN, 0}, {child.Out(), POLLIN, 0}};
        if (poll(fds, 2, 10000) <= 0) break;  // ten seconds of silence: a peer is stuck
        if (fds[0].revents & POLLIN) {
            const ssize_t n = read(master, chunk, sizeof chunk);
            if (n > 0 && write(child.In(), chunk, size_t(n)) != n) break;
            for (ssize_t i = 0; i < n; ++i) {
                if (packetLeft > 0) {
                    --packetLeft;
                } else if (chunk[i] == 0x02) {
                    packetLeft = 3 + 1024 + 2 - 1;  // STX, 1K, CRC
                } else if (chunk[i] == 0x01) {
                    packetLeft = 3 + 128 + 2 - 1;  // SOH, 128, CRC
                } else if (chunk[i] == 0x04 && *eotAt == 0) {
                    *eotAt = bench::Now();
                }
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            const ssize_t n = read(child.Out(), chunk, sizeof chunk);
            if (n <= 0) break;
            if (write(master, chunk, size_t(n)) != n) break;
        }
    }
    child.CloseIn();
    return child.Wait();
}

struct Figures {
    double transfer = 0;  // from the start to the sender's EOT
    double wall = 0;
    double cpu = 0;
    bool ok = false;
};

Figures Ours(const std::string& image, const std::string& rx) {
    Figures f;
    Dialogue d(image, nullptr, MeasuredJob);
    if (!d.Console()) return f;
    TempDir work;
    PipedChild receiver({rx, "-q", "-b", "-c", "received.img"}, work.Path());
    const double start = Now();
    double eotAt = 0;
    const int status = Relay(d.Peer().MasterFd(), receiver, &eotAt);
    f.wall = Now() - start;
    f.transfer = eotAt > 0 ? eotAt - start : 0;
    d.Send("Done\r\n>");
    f.ok = d.Result(10000) == ResultSuccess && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
           Received(work) == image;
    f.cpu = workerCpu;  // includes the console exchanges, a few milliseconds
    return f;
}

Figures Theirs(const std::string& path, const std::string& sx, const std::string& rx,
               const std::string& image) {
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
    PipedChild receiver({rx, "-q", "-b", "-c", "received.img"}, work.Path());
    const double start = Now();
    double eotAt = 0;
    const int status = Relay(line.MasterFd(), receiver, &eotAt);
    f.wall = Now() - start;
    f.transfer = eotAt > 0 ? eotAt - start : 0;
    // sx lingers after the transfer; it is done once the receiver is.
    kill(sender, SIGTERM);
    int ignored = 0;
    rusage usage{};
    wait4(sender, &ignored, 0, &usage);
    f.cpu = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    f.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && Received(work) == image;
    return f;
}

struct Summary {
    int ok = 0;
    size_t runs = 0;
    bench::Spread transfer, wall, cpu;
};

Summary Summarise(const std::vector<Figures>& runs) {
    Summary s;
    std::vector<double> transfer, wall, cpu;
    for (const Figures& f : runs) {
        transfer.push_back(f.transfer);
        wall.push_back(f.wall);
        cpu.push_back(f.cpu);
        s.ok += f.ok;
    }
    s.runs = runs.size();
    s.transfer = bench::Summarise(transfer);
    s.wall = bench::Summarise(wall);
    s.cpu = bench::Summarise(cpu);
    return s;
}

void Print(const char* who, const Summary& s, double mib) {
    printf("%-10s %4d/%-4zu %9.3f %9.3f %9.3f %8.2f %9.3f %10.4f %10.4f %10.4f\n", who, s.ok,
           s.runs, s.transfer.median, s.transfer.min, s.transfer.max, mib / s.transfer.median,
           s.wall.median, s.cpu.median / mib, s.cpu.min / mib, s.cpu.max / mib);
}

std::string ReportRow(const char* who, const Summary& s, double mib) {
    return bench::Format(
        "| %s | %d/%zu | %.3f | %.3f .. %.3f | %.2f | %.2f .. %.2f | %.3f | %.4f | %.4f .. %.4f |",
        who, s.ok, s.runs, s.transfer.median, s.transfer.min, s.transfer.max,
        mib / s.transfer.median, mib / s.transfer.max, mib / s.transfer.min, s.wall.median,
        s.cpu.median / mib, s.cpu.min / mib, s.cpu.max / mib);
}

}  // namespace

int main(int argc, char** argv) {
    const size_t size = bench::NumberOption(argc, argv, "--size", 8u << 20);
    const int runs = int(bench::NumberOption(argc, argv, "--runs", 5));
    bench::Report report(argc, argv, "2-into-rx");
    report.Line("## 2. Raw throughput and CPU: into lrzsz rx, side by side with sx\n");
    const std::string rx = FindProgram("rx");
    const std::string sx = FindProgram("sx");
    if (rx.empty() || sx.empty() || runs < 1) {
        const char* why = runs < 1 ? "no runs asked for" : "lrzsz (sx and rx) is not installed";
        printf("into_rx: skipped, %s\n", why);
        report.Line(bench::Format("Skipped: %s.\n", why));
        report.Row("2. Raw throughput and CPU against sx", "skipped", "", "", "");
        return 0;
    }
    const std::string image = PatternBytes(size, 42);
    TempDir dir;
    const std::string path = dir.Write("image.img", image);
    std::vector<Figures> ours, theirs;
    for (int run = 0; run < runs; ++run) {
        ours.push_back(Ours(image, rx));
        theirs.push_back(Theirs(path, sx, rx, image));
    }
    const Summary a = Summarise(ours);
    const Summary b = Summarise(theirs);
    const double mib = double(size) / (1024.0 * 1024.0);
    printf("%zu bytes into rx (XMODEM-1K, CRC), %d runs each, pty then pipes\n", size, runs);
    printf("%-10s %9s %9s %9s %9s %8s %9s %10s %10s %10s\n", "sender", "ok/runs", "to EOT s",
           "min s", "max s", "MiB/s", "to exit s", "CPU s/MiB", "min", "max");
    Print("quorvane", a, mib);
    Print("sx -k", b, mib);

    report.Line(bench::Format(
        "%s with no pacing, XMODEM-1K with CRC, into lrzsz `rx -b -c` through the same path "
        "for both senders: the sender on a pty, the bytes relayed from the pty's master to pipes "
        "into `rx` (`rx` flushes its input after each reply, which loses blocks over a pty). %d "
        "runs each, alternating ours and `sx -k`; each run checks that `rx` ended well and wrote "
        "exactly the image. The transfer is timed from the start to the sender's EOT, because "
        "`rx` then waits a second before it acknowledges EOT, whoever sent it; the time to "
        "`rx`'s exit is shown as well. CPU is our job's worker thread (console exchange "
        "included) and the whole `sx` process, each to its end.\n",
        size % (1u << 20) == 0 ? bench::Format("%zu MiB", size >> 20).c_str()
                               : bench::Format("%zu bytes", size).c_str(),
        runs));
    report.Line(
        "| sender | ok | to EOT s, median | range | MiB/s, median | MiB/s range | to rx's exit s "
        "| CPU s/MiB, median | CPU range |");
    report.Line("|---|---:|---:|---:|---:|---:|---:|---:|---:|");
    report.Line(ReportRow("quorvane", a, mib));
    report.Line(ReportRow("sx -k", b, mib));
    report.Line("");
    const bool allOk = a.ok == runs && b.ok == runs;
    // A difference smaller than either sender's own run-to-run spread is level, not a miss.
    auto verdict = [&](bool better, double difference, double spreadA, double spreadB) {
        if (!allOk) return std::string(bench::Met(false));
        if (better) return std::string("yes");
        if (difference <= std::max(spreadA, spreadB))
            return std::string("level (within the spread)");
        return std::string(bench::Met(false));
    };
    const double oursRate = mib / a.transfer.median, theirRate = mib / b.transfer.median;
    report.Row(
        bench::Format("2. Raw throughput into rx, %.0f MiB, %d runs (ours vs sx -k)", mib, runs),
        bench::Format("%.2f vs %.2f MiB/s", oursRate, theirRate), "at least sx's", "what rx takes",
        verdict(oursRate >= theirRate, a.transfer.median - b.transfer.median,
                a.transfer.max - a.transfer.min, b.transfer.max - b.transfer.min));
    report.Row("2. CPU per MiB (ours vs sx -k)",
               bench::Format("%.4f vs %.4f s/MiB", a.cpu.median / mib, b.cpu.median / mib),
               "no more than sx's", "",
               verdict(a.cpu.median <= b.cpu.median, a.cpu.median - b.cpu.median,
                       a.cpu.max - a.cpu.min, b.cpu.max - b.cpu.min));
    return 0;
}
