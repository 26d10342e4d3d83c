// Cancel latency: from setting cancelRequested to the job's end (RunUpdateJob returning), at a
// random moment within each of the waits a Cancel can meet, many tries each.
//   cancel_latency [--tries N] [--case TEXT] [--report DIR]
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/line_peers.h"
#include "engine/update_job.h"
#include "sim/random.h"
#include "tests/engine/dialogue.h"
#include "tests/support/job_runner.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xmodem_bytes.h"

namespace {

using namespace bench;

sim::Random randomness(20240607);

// A pause drawn evenly from [0, spanMs) milliseconds, so a Cancel meets every phase of the wait;
// in seconds, from the top 53 bits of one draw.
double RandomPause(double spanMs) {
    return double(randomness.Next() >> 11) * 0x1.0p-53 * spanMs / 1000;
}

// Cancels now and waits for the job to end. The latency in seconds, or -1 when it did not end
// within `timeoutMs` or ended other than cancelled.
double CancelAndTime(const std::function<int32_t(uint32_t)>& wait,
                     const std::function<void()>& cancel, uint32_t timeoutMs = 5000) {
    jobWatch.endedAt = 0;
    const double at = Now();
    cancel();
    const int32_t result = wait(timeoutMs);
    if (result != ResultCancelled) return -1;
    return jobWatch.endedAt - at;
}

// ---- Against the simulated device --------------------------------------------------------------

// Starts a job into `config`'s device, waits until `ready` holds (checked every 2 ms), pauses
// at random within `pauseMs`, cancels and times the end.
double OneTry(sim::DeviceConfig config, size_t imageSize,
              const std::function<bool(const sim::Device&)>& ready, double pauseMs) {
    sim::Device device(config);
    if (!StartDevice(device)) return -1;
    TempDir dir;
    JobRunner job(dir.Write("image.img", PatternBytes(imageSize, 9)), device.PortPath());
    updateJob.identityCheck = false;
    if (!job.Start(WatchedJob)) return -1;
    const double giveUp = Now() + 20;
    while (!ready(device)) {
        if (job.Wait(2) >= 0 || Now() > giveUp) return -1;
    }
    SleepUntil(Now() + RandomPause(pauseMs));
    if (job.Wait(0) >= 0) return -1;  // ended by itself: not a cancel
    return CancelAndTime([&](uint32_t ms) { return job.Wait(ms); }, [&] { job.Cancel(); });
}

// ---- Against a peer of our own that floods ACKs ------------------------------------------------

// The console by hand, then "C" and an ACK for every block in advance: the job sends packet
// after packet without waiting, until the pty is full, and from then on it is in a write. With
// `drain` the peer takes the host's bytes at the line rate; without, it takes none. A pty wakes
// a writer only once its reader has all but emptied it, so in both cases the write waits for its
// deadline (or, draining, for the bytes it still needs to fit).
double WritingTry(bool drain, double pauseMs) {
    const size_t imageSize = 4u << 20;  // far more than the pty holds
    Dialogue d(PatternBytes(imageSize, 11), nullptr, WatchedJob);
    if (!d.Console()) return -1;
    d.Send(wire::Bytes(wire::kCrcAsk) + wire::Bytes(wire::kAck, imageSize / 1024));
    const int fd = d.Peer().Fd();
    std::atomic<bool> stop{false};
    std::thread drainer;
    if (drain) {
        drainer = std::thread([&] {
            uint8_t sink[4096];
            double due = Now();  // when everything taken so far would have passed on the wire
            while (!stop) {
                SleepUntil(Now() + 0.001);
                const double now = Now();
                if (due < now - 0.005) due = now - 0.005;  // a UART FIFO's worth of slack
                const size_t allowed = size_t((now - due) * kLineBytesPerSecond);
                if (allowed == 0) continue;
                const ssize_t n = read(fd, sink, std::min(sizeof sink, allowed));
                if (n > 0) due += double(n) * kByteSeconds;
            }
        });
    }
    // The pty fills within milliseconds; from then on the job is in a write.
    SleepUntil(Now() + 0.1);
    double latency = -1;
    if (updateJob.bytesSent.load() == 0 || d.Result(0) >= 0) {
        fprintf(stderr, "cancel_latency: the job did not start its transfer (sent %u, result %d)\n",
                unsigned(updateJob.bytesSent.load()), int(d.Result(0)));
    } else {
        SleepUntil(Now() + RandomPause(pauseMs));
        latency = CancelAndTime([&](uint32_t ms) { return d.Result(ms); }, [&] { d.Cancel(); });
        if (latency < 0) fprintf(stderr, "cancel_latency: the job did not end cancelled\n");
    }
    stop = true;
    if (drainer.joinable()) drainer.join();
    return latency;
}

struct CaseResult {
    const char* name;
    const char* bound;
    double goal;  // seconds
    std::vector<double> latencies;
    int failed = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const int tries = int(NumberOption(argc, argv, "--tries", 20));
    Report report(argc, argv, "4-cancel-latency");
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("cancel_latency: %d tries each, on %s\n", tries, Machine().c_str());

    auto paced = [](bool crc) {
        sim::DeviceConfig c;
        c.lineRateBps = kLineBps;
        c.crcMode = crc;
        return c;
    };
    std::vector<CaseResult> cases;
    // --case TEXT runs only the cases whose name holds TEXT.
    const std::string only = Option(argc, argv, "--case");
    auto run = [&](CaseResult c, const std::function<double()>& attempt) {
        if (!only.empty() && std::string(c.name).find(only) == std::string::npos) return;
        for (int i = 0; i < tries; ++i) {
            const double latency = attempt();
            if (latency < 0) {
                ++c.failed;
            } else {
                c.latencies.push_back(latency);
            }
        }
        const Spread s = Summarise(c.latencies);
        printf("%-58s median %7.1f ms, max %7.1f ms, %zu ok, %d failed\n", c.name, s.median * 1e3,
               s.max * 1e3, s.count, c.failed);
        cases.push_back(std::move(c));
    };

    run({"waiting for an ACK, device silent (1K/CRC)", "< 120 ms", 0.120, {}}, [&] {
        sim::DeviceConfig c = paced(true);
        c.stallAfterBlocks = 2;
        return OneTry(
            c, 65536, [](const sim::Device&) { return updateJob.bytesSent.load() >= 3 * 1024; },
            250);
    });
    run({"waking a silent device (the wake loop)", "< 120 ms", 0.120, {}}, [&] {
        sim::DeviceConfig c = paced(true);
        c.bootSilentMs = 60000;
        return OneTry(
            c, 65536, [](const sim::Device&) { return GetStage() == StageConnect; }, 250);
    });
    for (const bool crc : {true, false}) {
        run({crc ? "mid-transfer at 115200, packet on the wire (1K/CRC)"
                 : "mid-transfer at 115200, packet on the wire (128/sum)",
             crc ? "<= 1.13 s" : "<= 232 ms",
             crc ? 1.13 : 0.232,
             {}},
            [&] {
                return OneTry(
                    paced(crc), 1u << 20,
                    [](const sim::Device& d) { return d.BlocksAccepted() >= 1; }, 300);
            });
    }
    run({"in a write, full pty read at 115200 (1K/CRC)", "<= 1.13 s", 1.13, {}},
        [&] { return WritingTry(true, 1200); });
    run({"in a write, full pty read by nobody (1K/CRC)", "<= 1.13 s", 1.13, {}},
        [&] { return WritingTry(false, 1200); });

    report.Line("## 4. Cancel latency\n");
    report.Line(Format(
        "From setting `cancelRequested` to `RunUpdateJob` returning `ResultCancelled`, at a "
        "moment drawn at random within the wait (%d tries each, fixed seed). The simulated "
        "device is paced at 115200 bit/s. On a real line a packet write does not block: the "
        "1029 bytes fit the driver's queue, and the job then waits for the ACK (the "
        "\"mid-transfer\" rows). To put the job inside a blocked write, a peer of our own plays "
        "the console, then sends \"C\" and an ACK for every block ahead of time, so the job "
        "writes packet after packet until the pty is full (about 17 KB here). The peer then "
        "either reads at the line rate or not at all. A pty wakes a blocked writer only once its "
        "reader has all but emptied it, so in both cases the write sleeps until its deadline "
        "(1029 + 100 ms for a whole packet, the rest + 100 ms for a partial one), which is the "
        "worst case the bound allows for.\n",
        tries));
    report.Line("| the job was | tries ok | median | p90 | max | bound |");
    report.Line("|---|---:|---:|---:|---:|---|");
    for (const CaseResult& c : cases) {
        const Spread s = Summarise(c.latencies);
        const bool ok = c.failed == 0 && s.count > 0;
        report.Line(Format("| %s | %zu/%d | %.1f ms | %.1f ms | %.1f ms | %s |", c.name, s.count,
                           tries, s.median * 1e3, Quantile(c.latencies, 0.9) * 1e3, s.max * 1e3,
                           c.bound));
        report.Row(Format("4. Cancel latency, %s", c.name),
                   ok ? Format("median %.1f ms, max %.1f ms", s.median * 1e3, s.max * 1e3)
                      : Format("%d of %d tries failed", c.failed, tries),
                   c.bound, "", Met(ok && s.max <= c.goal));
    }
    report.Line("");
    return 0;
}
