// What waiting costs: the CPU the job's worker uses while the device stays silent (the wake
// loop, an ESC after every read timeout) and while the device "writes the image" before its
// verdict, each over a span of wall time, with the worker's wake-ups counted alongside.
//   idle_cpu [--seconds N] [--report DIR]
#include <stdio.h>

#include <string>

#include "bench/bench_support.h"
#include "bench/line_peers.h"
#include "engine/update_job.h"
#include "tests/support/job_runner.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace bench;

struct Idle {
    bool ok = false;
    double wall = 0;
    double cpu = 0;
    long wakeups = 0;      // voluntary context switches of the worker
    size_t hostBytes = 0;  // what the host wrote meanwhile
    int32_t result = -1;   // how the job ended after the cancel
};

// Runs a job into `config`'s device until it reaches `stage`, then measures the worker over
// `seconds` and cancels it.
Idle Measure(sim::DeviceConfig config, UpdateStage stage, double seconds) {
    Idle idle;
    sim::Device device(config);
    if (!StartDevice(device)) return idle;
    TempDir dir;
    JobRunner job(dir.Write("image.img", PatternBytes(65536, 5)), device.PortPath());
    updateJob.identityCheck = false;
    if (!job.Start(WatchedJob)) return idle;
    const double giveUp = Now() + 20;
    while (GetStage() != stage && job.Wait(2) < 0 && Now() < giveUp) {
    }
    // Settled into the wait: the stage is set just before it begins.
    if (GetStage() != stage || job.Wait(300) >= 0 || !jobWatch.running) {
        fprintf(stderr, "idle_cpu: the job did not reach stage %d and stay there\n", int(stage));
        return idle;
    }
    const clockid_t clock = jobWatch.cpuClock;
    const pid_t thread = jobWatch.threadId;
    const size_t bytesBefore = device.HostBytes().size();
    const long switchesBefore = VoluntarySwitches(thread);
    const double cpuBefore = CpuSeconds(clock);
    const double start = Now();
    const bool stillWaiting = job.Wait(uint32_t(seconds * 1000)) < 0;
    idle.cpu = CpuSeconds(clock) - cpuBefore;
    idle.wall = Now() - start;
    idle.wakeups = VoluntarySwitches(thread) - switchesBefore;
    idle.hostBytes = device.HostBytes().size() - bytesBefore;
    job.Cancel();
    idle.result = job.Wait(3000);
    idle.ok = stillWaiting && cpuBefore >= 0 && idle.result == ResultCancelled;
    return idle;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = double(NumberOption(argc, argv, "--seconds", 10));
    Report report(argc, argv, "3-idle-cpu");
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // A device that is still booting reads and drops everything: the host keeps sending ESC.
    sim::DeviceConfig silent;
    silent.lineRateBps = kLineBps;
    silent.bootSilentMs = uint32_t(seconds * 1000) + 60000;
    const Idle wake = Measure(silent, StageConnect, seconds);

    sim::DeviceConfig writing;
    writing.lineRateBps = 0;
    writing.verdictDelayMs = uint32_t(seconds * 1000) + 60000;
    const Idle verdict = Measure(writing, StageUpdate, seconds);

    struct Case {
        const char* name;
        const Idle& idle;
    } cases[] = {{"device silent (wake loop)", wake},
                 {"device writing the image (verdict wait)", verdict}};
    report.Line("## 3. Waiting cost\n");
    report.Line(Format(
        "CPU time of the job's worker thread (its own clock, `pthread_getcpuclockid`) over %.0f "
        "s of wall time, in process against the simulated device: once while the device ignores "
        "everything (it is still booting, so the job's wake loop sends an ESC after every read "
        "timeout), once while the device takes a long time to \"write the image\" before its "
        "verdict. Wake-ups are the thread's voluntary context switches over the same span. One "
        "run each; the job is cancelled afterwards and must end cancelled.\n",
        seconds));
    report.Line(
        "| waiting for | wall s | CPU ms | share of one core | wake-ups/s | host bytes sent | "
        "ended |");
    report.Line("|---|---:|---:|---:|---:|---:|---|");
    printf("idle_cpu: %.0f s each, on %s\n", seconds, Machine().c_str());
    for (const Case& c : cases) {
        const Idle& i = c.idle;
        const double share = i.wall > 0 ? i.cpu / i.wall : 0;
        printf(
            "%-42s wall %.3f s, CPU %.3f ms = %.4f %% of a core, %.1f wake-ups/s, %zu bytes "
            "sent%s\n",
            c.name, i.wall, i.cpu * 1e3, share * 100, double(i.wakeups) / i.wall, i.hostBytes,
            i.ok ? "" : "  FAILED");
        report.Line(Format("| %s | %.3f | %.3f | %.4f %% | %.1f | %zu | %s |", c.name, i.wall,
                           i.cpu * 1e3, share * 100, double(i.wakeups) / i.wall, i.hostBytes,
                           i.ok ? "cancelled" : "**failed**"));
        report.Row(Format("3. Waiting cost, %s", c.name),
                   i.ok ? Format("%.4f %% of a core", share * 100) : "failed", "< 0.5 % of a core",
                   "", Met(i.ok && share < 0.005));
    }
    report.Line("");
    return 0;
}
