// Sends images into lrzsz rx with our engine and with lrzsz sx, alternating, over the same path (a
// pty, then pipes to rx), and prints wall and CPU seconds of each sender: one image of --size, and
// a small and a large one whose difference gives the marginal cost per MiB, free of what each
// sender spends once (our console exchange, sx's start-up).
//   into_rx [--size BYTES] [--small BYTES] [--large BYTES] [--runs N] [--report DIR]
//   --large 0 leaves out the marginal figures.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "tests/engine/dialogue.h"
#include "tests/support/child.h"
#include "tests/support/xmodem_bytes.h"

namespace {

std::atomic<double> workerUser{0};
std::atomic<double> workerSystem{0};

double Seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

int32_t MeasuredJob(void* parameter) {
    const UpdateResult result = RunUpdateJob(parameter);
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    workerUser = Seconds(usage.ru_utime);
    workerSystem = Seconds(usage.ru_stime);
    return result;
}

// What rx wrote: the image, as long as its size is a multiple of the block size.
std::string Received(const TempDir& work) {
    return ReadWholeFile(work.File("received.img"));
}

// rx's stdin and stdout on pipes, its chatter on stderr dropped, writing into `work`.
bool StartRx(Child* receiver, const std::string& rx, const TempDir& work) {
    Launch launch;
    launch.argv = {rx, "-q", "-b", "-c", "received.img"};
    launch.cwd = work.Path();
    launch.in = launch.out = Stdio::Pipe();
    return receiver->Start(launch);
}

// RelayUntilExit, watching the sender's bytes for the EOT after its last packet: rx waits a
// second after EOT before it answers, the same for every sender, so the transfer is timed to the
// EOT and the whole run to rx's exit. rx's exit code.
int Relay(FdStream& line, Child& receiver, double* eotAt) {
    size_t packetLeft = 0;  // bytes of the current packet still to come
    return RelayUntilExit(line, receiver, [&](std::string_view chunk) {
        for (const char byte : chunk) {
            if (packetLeft > 0) {
                --packetLeft;
            } else if (byte == wire::kStx) {
                packetLeft = 3 + 1024 + 2 - 1;  // STX, 1K, CRC
            } else if (byte == wire::kSoh) {
                packetLeft = 3 + 128 + 2 - 1;  // SOH, 128, CRC
            } else if (byte == wire::kEot && *eotAt == 0) {
                *eotAt = bench::Now();
            }
        }
    });
}

struct Figures {
    double transfer = 0;  // from the start to the sender's EOT
    double wall = 0;
    double cpu = 0;  // user + system
    double user = 0;
    double system = 0;
    bool ok = false;
};

Figures Ours(const std::string& image, const std::string& rx) {
    Figures f;
    Dialogue d(image, nullptr, MeasuredJob);
    if (!d.Console()) return f;
    TempDir work;
    Child receiver;
    if (!StartRx(&receiver, rx, work)) return f;
    const double start = bench::Now();
    double eotAt = 0;
    const int exitCode = Relay(d.Peer(), receiver, &eotAt);
    f.wall = bench::Now() - start;
    f.transfer = eotAt > 0 ? eotAt - start : 0;
    d.Send("Done\r\n>");
    f.ok = d.Result(10000) == ResultSuccess && exitCode == 0 && Received(work) == image;
    // Includes the console exchanges, a few milliseconds.
    f.user = workerUser;
    f.system = workerSystem;
    f.cpu = f.user + f.system;
    return f;
}

Figures Theirs(const std::string& path, const std::string& sx, const std::string& rx,
               const std::string& image) {
    Figures f;
    PtyPeer line;
    // sx FILE < LINE > LINE, its chatter on stderr dropped.
    Launch launch;
    launch.argv = {sx, "-k", "-b", "-q", path};
    launch.in = launch.out = Stdio::Fd(line.SlaveFd());
    Child sender;
    TempDir work;
    Child receiver;
    if (!sender.Start(launch) || !StartRx(&receiver, rx, work)) return f;
    const double start = bench::Now();
    double eotAt = 0;
    const int exitCode = Relay(line, receiver, &eotAt);
    f.wall = bench::Now() - start;
    f.transfer = eotAt > 0 ? eotAt - start : 0;
    // sx lingers after the transfer; it is done once the receiver is.
    sender.Signal(SIGTERM);
    rusage usage{};
    sender.Wait(10000, &usage);
    f.user = Seconds(usage.ru_utime);
    f.system = Seconds(usage.ru_stime);
    f.cpu = f.user + f.system;
    f.ok = exitCode == 0 && Received(work) == image;
    return f;
}

struct Summary {
    int ok = 0;
    size_t runs = 0;
    bench::Spread transfer, wall, cpu, user, system;
};

Summary Summarise(const std::vector<Figures>& runs) {
    Summary s;
    std::vector<double> transfer, wall, cpu, user, system;
    for (const Figures& f : runs) {
        transfer.push_back(f.transfer);
        wall.push_back(f.wall);
        cpu.push_back(f.cpu);
        user.push_back(f.user);
        system.push_back(f.system);
        s.ok += f.ok;
    }
    s.runs = runs.size();
    s.transfer = bench::Summarise(transfer);
    s.wall = bench::Summarise(wall);
    s.cpu = bench::Summarise(cpu);
    s.user = bench::Summarise(user);
    s.system = bench::Summarise(system);
    return s;
}

void Print(const char* who, const Summary& s, double mib) {
    printf("%-10s %4d/%-4zu %9.3f %9.3f %9.3f %8.2f %9.3f %10.4f %10.4f %10.4f %7.4f %7.4f\n", who,
           s.ok, s.runs, s.transfer.median, s.transfer.min, s.transfer.max, mib / s.transfer.median,
           s.wall.median, s.cpu.median / mib, s.cpu.min / mib, s.cpu.max / mib, s.user.median / mib,
           s.system.median / mib);
}

std::string ReportRow(const char* who, const Summary& s, double mib) {
    return bench::Format(
        "| %s | %d/%zu | %.3f | %.3f .. %.3f | %.2f | %.2f .. %.2f | %.3f | %.4f | %.4f .. %.4f | "
        "%.4f / %.4f |",
        who, s.ok, s.runs, s.transfer.median, s.transfer.min, s.transfer.max,
        mib / s.transfer.median, mib / s.transfer.max, mib / s.transfer.min, s.wall.median,
        s.cpu.median / mib, s.cpu.min / mib, s.cpu.max / mib, s.user.median / mib,
        s.system.median / mib);
}

// What one sender spends on the bytes between the small and the large image: the difference of
// the two images' medians cancels what it spends once per transfer. Differences run by run are
// shown for their spread, but each carries the noise of two runs, so the medians decide.
struct Marginal {
    int ok = 0;
    Summary small, large;
    double rate = 0;                       // MiB/s
    double cpu = 0, user = 0, system = 0;  // s/MiB
    bench::Spread cpuByRun;                // s/MiB
};

Marginal Between(const std::vector<Figures>& small, const std::vector<Figures>& large,
                 double mibBetween) {
    Marginal m;
    m.small = Summarise(small);
    m.large = Summarise(large);
    std::vector<double> cpuByRun;
    for (size_t run = 0; run < small.size() && run < large.size(); ++run) {
        m.ok += small[run].ok && large[run].ok;
        cpuByRun.push_back((large[run].cpu - small[run].cpu) / mibBetween);
    }
    const double time = m.large.transfer.median - m.small.transfer.median;
    m.rate = time > 0 ? mibBetween / time : 0;
    m.cpu = (m.large.cpu.median - m.small.cpu.median) / mibBetween;
    m.user = (m.large.user.median - m.small.user.median) / mibBetween;
    m.system = (m.large.system.median - m.small.system.median) / mibBetween;
    m.cpuByRun = bench::Summarise(cpuByRun);
    return m;
}

std::string MarginalRow(const char* who, const Marginal& m, size_t runs) {
    return bench::Format(
        "| %s | %d/%zu | %.3f / %.4f | %.3f / %.4f | %.2f | %.4f | %.4f .. %.4f | %.4f / %.4f |",
        who, m.ok, runs, m.small.transfer.median, m.small.cpu.median, m.large.transfer.median,
        m.large.cpu.median, m.rate, m.cpu, m.cpuByRun.min, m.cpuByRun.max, m.user, m.system);
}

std::string Size(size_t bytes) {
    return bytes % (1u << 20) == 0 ? bench::Format("%zu MiB", bytes >> 20)
                                   : bench::Format("%zu bytes", bytes);
}

}  // namespace

int main(int argc, char** argv) {
    const size_t size = bench::NumberOption(argc, argv, "--size", 8u << 20);
    const size_t small = bench::NumberOption(argc, argv, "--small", 4u << 20);
    const size_t large = bench::NumberOption(argc, argv, "--large", 12u << 20);
    const int runs = int(bench::NumberOption(argc, argv, "--runs", 5));
    const bool marginal = large > small;
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
    TempDir dir;
    const std::string image = PatternBytes(size, 42);
    const std::string path = dir.Write("image.img", image);
    const std::string smallImage = marginal ? PatternBytes(small, 43) : std::string();
    const std::string smallPath = marginal ? dir.Write("small.img", smallImage) : std::string();
    const std::string largeImage = marginal ? PatternBytes(large, 44) : std::string();
    const std::string largePath = marginal ? dir.Write("large.img", largeImage) : std::string();
    std::vector<Figures> ours, theirs, oursSmall, theirsSmall, oursLarge, theirsLarge;
    // Every transfer of ours is followed by the same one of sx, so that whatever else the
    // machine is doing falls on both alike.
    auto logged = [](int run, const char* who, size_t bytes, const Figures& f) {
        printf("run %d %-8s %9zu bytes: to EOT %.3f s, CPU %.4f s (user %.4f, system %.4f)%s\n",
               run + 1, who, bytes, f.transfer, f.cpu, f.user, f.system, f.ok ? "" : ", FAILED");
        fflush(stdout);
        return f;
    };
    for (int run = 0; run < runs; ++run) {
        ours.push_back(logged(run, "quorvane", size, Ours(image, rx)));
        theirs.push_back(logged(run, "sx -k", size, Theirs(path, sx, rx, image)));
        if (!marginal) continue;
        oursSmall.push_back(logged(run, "quorvane", small, Ours(smallImage, rx)));
        theirsSmall.push_back(logged(run, "sx -k", small, Theirs(smallPath, sx, rx, smallImage)));
        oursLarge.push_back(logged(run, "quorvane", large, Ours(largeImage, rx)));
        theirsLarge.push_back(logged(run, "sx -k", large, Theirs(largePath, sx, rx, largeImage)));
    }
    const Summary a = Summarise(ours);
    const Summary b = Summarise(theirs);
    const double mib = double(size) / (1024.0 * 1024.0);
    printf("%zu bytes into rx (XMODEM-1K, CRC), %d runs each, pty then pipes\n", size, runs);
    printf("%-10s %9s %9s %9s %9s %8s %9s %10s %10s %10s %7s %7s\n", "sender", "ok/runs",
           "to EOT s", "min s", "max s", "MiB/s", "to exit s", "CPU s/MiB", "min", "max", "user",
           "system");
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
        "included) and the whole `sx` process (its start-up included), each to its end, split "
        "into user and system time as the kernel accounts them.\n",
        Size(size).c_str(), runs));
    report.Line(
        "| sender | ok | to EOT s, median | range | MiB/s, median | MiB/s range | to rx's exit s "
        "| CPU s/MiB, median | CPU range | user / system s/MiB |");
    report.Line("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|");
    report.Line(ReportRow("quorvane", a, mib));
    report.Line(ReportRow("sx -k", b, mib));
    report.Line("");
    const bool allOk = a.ok == runs && b.ok == runs;
    // A difference smaller than either sender's own run-to-run spread is level, not a miss.
    auto verdict = [](bool ok, bool better, double difference, double spreadA, double spreadB) {
        if (!ok) return std::string(bench::Met(false));
        if (better) return std::string("yes");
        if (difference <= std::max(spreadA, spreadB))
            return std::string("level (within the spread)");
        return std::string(bench::Met(false));
    };
    constexpr double kCpuGoal = 0.8;  // of sx's CPU per MiB
    const double oursRate = mib / a.transfer.median, theirRate = mib / b.transfer.median;
    report.Row(
        bench::Format("2. Raw throughput into rx, %.0f MiB, %d runs (ours vs sx -k)", mib, runs),
        bench::Format("%.2f vs %.2f MiB/s", oursRate, theirRate), "at least sx's", "what rx takes",
        verdict(allOk, oursRate >= theirRate, a.transfer.median - b.transfer.median,
                a.transfer.max - a.transfer.min, b.transfer.max - b.transfer.min));
    const double cpuRatio = a.cpu.median / b.cpu.median;
    report.Row("2. CPU per MiB (ours vs sx -k)",
               bench::Format("%.4f vs %.4f s/MiB = %.2f x", a.cpu.median / mib, b.cpu.median / mib,
                             cpuRatio),
               "at most 0.8 x sx's", "", bench::Met(allOk && cpuRatio <= kCpuGoal));
    if (!marginal) return 0;

    const double between = double(large - small) / (1024.0 * 1024.0);
    const Marginal ma = Between(oursSmall, oursLarge, between);
    const Marginal mb = Between(theirsSmall, theirsLarge, between);
    printf("\nmarginal, %zu to %zu bytes: medians of each size, then their difference\n", small,
           large);
    printf("%-10s %9s %9s %9s %9s %9s %8s %10s %10s %10s %7s %7s\n", "sender", "ok/runs", "small s",
           "small CPU", "large s", "large CPU", "MiB/s", "CPU s/MiB", "run min", "run max", "user",
           "system");
    for (const auto& [who, m] : {std::pair<const char*, const Marginal&>{"quorvane", ma},
                                 std::pair<const char*, const Marginal&>{"sx -k", mb}}) {
        printf("%-10s %4d/%-4d %9.3f %9.4f %9.3f %9.4f %8.2f %10.4f %10.4f %10.4f %7.4f %7.4f\n",
               who, m.ok, runs, m.small.transfer.median, m.small.cpu.median,
               m.large.transfer.median, m.large.cpu.median, m.rate, m.cpu, m.cpuByRun.min,
               m.cpuByRun.max, m.user, m.system);
    }
    const double marginalRatio = mb.cpu > 0 ? ma.cpu / mb.cpu : 0;
    printf("ours / sx marginal CPU per MiB: %.2f\n", marginalRatio);

    report.Line(bench::Format(
        "**The marginal rate.** Each of the %d runs above also sent a %s and a %s image with "
        "each sender, in the same alternating order. The difference between the two sizes' "
        "medians, over the %s between them, is free of what a sender spends once per transfer, "
        "which the two rigs do not share: our console exchange and thread start, `sx`'s "
        "start-up and its linger after `rx` is done. Throughput is those bytes over the "
        "difference of the median times to EOT. The same difference taken run by run shows the "
        "spread; it carries the noise of two runs, so the medians decide.\n",
        runs, Size(small).c_str(), Size(large).c_str(), Size(large - small).c_str()));
    report.Line(bench::Format(
        "| sender | ok | %s: to EOT s / CPU s | %s: to EOT s / CPU s | marginal MiB/s | "
        "marginal CPU s/MiB | run by run | user / system s/MiB |",
        Size(small).c_str(), Size(large).c_str()));
    report.Line("|---|---:|---:|---:|---:|---:|---:|---:|");
    report.Line(MarginalRow("quorvane", ma, size_t(runs)));
    report.Line(MarginalRow("sx -k", mb, size_t(runs)));
    report.Line("");
    const bool marginalOk = ma.ok == runs && mb.ok == runs;
    const auto spread = [](const Summary& s) { return s.transfer.max - s.transfer.min; };
    report.Row(bench::Format("2. Marginal throughput into rx, %s to %s, %d runs (ours vs sx -k)",
                             Size(small).c_str(), Size(large).c_str(), runs),
               bench::Format("%.2f vs %.2f MiB/s", ma.rate, mb.rate), "at least sx's",
               "what rx takes",
               // Level when the time difference is within either sender's spread at either size.
               verdict(marginalOk, ma.rate >= mb.rate,
                       (ma.large.transfer.median - ma.small.transfer.median) -
                           (mb.large.transfer.median - mb.small.transfer.median),
                       std::max(spread(ma.small), spread(ma.large)),
                       std::max(spread(mb.small), spread(mb.large))));
    report.Row("2. Marginal CPU per MiB (ours vs sx -k)",
               bench::Format("%.4f vs %.4f s/MiB = %.2f x", ma.cpu, mb.cpu, marginalRatio),
               "at most 0.8 x sx's", "",
               bench::Met(marginalOk && marginalRatio > 0 && marginalRatio <= kCpuGoal));
    return 0;
}
