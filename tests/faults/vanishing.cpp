// Cases of a device that goes away (its line closed, or hung up as a pulled USB adapter's is) or
// falls silent while still there. A gone device ends the job by itself once it has stayed gone
// about a second, and not before; a silent one is waited for until Cancel. Neither wait spins,
// Cancel ends either long before the job would give up, and the port is free afterwards.
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "platform/platform.h"
#include "tests/faults/matrix.h"
#include "tests/support/job_runner.h"
#include "tests/support/temp_dir.h"

namespace faults {

namespace {

enum class Gone { BeforePrompt, MidTransfer, AtVerdict, HungUp, FallsSilent };

struct VanishCase {
    const char* name;
    Gone when;
    UpdateStage stage;
    int afterBlocks = -1;  // mid-transfer, the blocks the device takes first; -1: chosen at random
};

const VanishCase kVanishCases[] = {
    {"device vanishes before the prompt", Gone::BeforePrompt, StageConnect},
    {"device vanishes mid-transfer", Gone::MidTransfer, StageTransfer},
    {"device vanishes once UPDATE is accepted, before the first block", Gone::MidTransfer,
     StageTransfer, 0},
    {"device vanishes while the host waits for the verdict", Gone::AtVerdict, StageUpdate},
    {"adapter hangs up mid-transfer (TIOCVHANGUP, as when pulled out)", Gone::HungUp,
     StageTransfer},
    {"device falls silent mid-transfer, still plugged in", Gone::FallsSilent, StageTransfer},
};

constexpr double kMaxWaitCpuPercent = 5.0;
// A device gone this long is given up; before it, a moment's loss must not end the job, and
// after it the job must have ended by itself. A device still there is waited for past it.
constexpr uint32_t kGoneGiveUpMs = 1000;
constexpr uint32_t kGoneEarliestEndMs = kGoneGiveUpMs * 9 / 10;
constexpr uint32_t kGoneEndedByMs = 2500;
// Odd runs are cancelled this long after the device went, before the job would give it up;
// the Cancel must not wait for that.
constexpr uint32_t kCancelAfterGoneMs = 200;
constexpr uint32_t kMaxCancelMs = 700;

void Vanish(Matrix& m, Row& row, const VanishCase& c) {
    if (c.when == Gone::HungUp && geteuid() != 0) {
        m.Figure(row, "not run: hanging a terminal up takes root");
        return;
    }
    const bool gone = c.when != Gone::FallsSilent;
    const size_t size = m.scale().replyImage;
    double worstCpu = 0;
    uint32_t worstCancel = 0;
    uint32_t firstEnd = UINT32_MAX, lastEnd = 0;
    std::vector<uint32_t> after;
    TempDir dir;
    for (int run = 0; run < m.Runs(); ++run) {
        const uint64_t seed = m.Seed(run);
        sim::Random random(seed);
        const std::string image = PatternBytes(size, unsigned(seed));
        const std::string path = dir.Write("image.img", image);
        sim::DeviceConfig config;
        const uint32_t blocks = Blocks(size, true);
        // At least one block left to send.
        const uint32_t pick =
            c.afterBlocks >= 0 ? uint32_t(c.afterBlocks) : 1 + random.Below(blocks - 1);
        switch (c.when) {
            case Gone::BeforePrompt:
                config.bootSilentMs = 3600 * 1000;  // never answers the ESCs
                break;
            case Gone::MidTransfer:
                config.vanishAfterBlocks = int(pick);
                break;
            case Gone::AtVerdict:
                config.verdictDelayMs = 3600 * 1000;
                break;
            case Gone::HungUp:
            case Gone::FallsSilent:
                config.stallAfterBlocks = int(pick);
                break;
        }
        Sim sim(config);
        if (!m.Started(row, seed, sim)) continue;
        JobRunner job(path, sim.Device().PortPath());
        jobCpuS = 0;
        if (!job.Start(MeasuredJob)) {
            m.Expect(row, false, seed, "the worker did not start");
            continue;
        }
        // Unplug at the moment the case names (mid-transfer the device unplugs itself).
        const Deadline reach = Deadline::After(10000);
        bool reached = false;
        while (!reached && !reach.Expired() && job.Wait(5) < 0) {
            switch (c.when) {
                case Gone::BeforePrompt:
                    reached = GetStage() == StageConnect && !sim.Device().HostBytes().empty();
                    break;
                case Gone::MidTransfer:
                    reached = sim.Device().Finished();
                    break;
                case Gone::AtVerdict:
                    // The device's count tells this job from the last, whose stage the record
                    // may still hold.
                    reached = sim.Device().UpdatesCompleted() >= 1 && GetStage() == StageUpdate;
                    break;
                case Gone::HungUp:
                case Gone::FallsSilent:
                    reached = sim.Device().BlocksAccepted() >= int(pick);
                    break;
            }
        }
        if (reached && (c.when == Gone::BeforePrompt || c.when == Gone::AtVerdict)) {
            sim.Device().Vanish();
        }
        if (reached && c.when == Gone::HungUp) {
            // Every descriptor of the terminal is hung up, the job's among them: reads end as at
            // end of file and writes fail, as a USB adapter's do once pulled out.
            const int line =
                open(sim.Device().PortPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            const bool hungUp = line >= 0 && ioctl(line, TIOCVHANGUP) == 0;
            if (line >= 0) close(line);
            m.Expect(row, hungUp, seed, "could not hang the terminal up");
        }
        if (c.when != Gone::BeforePrompt && c.when != Gone::AtVerdict) after.push_back(pick);
        m.Expect(row, reached, seed, "the job never reached the moment to unplug");

        const uint32_t goneAt = TickMs();
        const double cpu0 = ProcessCpuS();
        const double wall0 = WallS();
        JobEnd end;
        const auto cancelNow = [&] {
            job.Cancel();
            const uint32_t cancelAt = TickMs();
            end.result = job.Wait(5000);
            const uint32_t cancelMs = TickMs() - cancelAt;
            worstCancel = std::max(worstCancel, cancelMs);
            m.Expect(row, cancelMs <= kMaxCancelMs, seed,
                     "Cancel took " + std::to_string(cancelMs) + " ms");
        };
        const bool cancel = run % 2 == 1;
        if (!cancel) {
            // Left alone: still waiting while the loss could be a moment's; a gone device is then
            // given up with a port error, one still there is waited for. Looked at every 20 ms, so
            // that the harness's own polling stays out of the CPU figure.
            const uint32_t earlyMs = kGoneGiveUpMs * 3 / 4;
            WaitUntil(Deadline::After(earlyMs));
            const int32_t early = job.Wait(0);
            m.Expect(row, early < 0, seed,
                     "the job gave the port up within " + std::to_string(earlyMs) + " ms, with " +
                         std::to_string(early));
            end.result = early;
            for (const Deadline by = Deadline::After(kGoneEndedByMs - earlyMs);
                 end.result < 0 && !by.Expired(); end.result = job.Wait(0)) {
                WaitUntil(Deadline::After(20));
            }
            const uint32_t endedMs = TickMs() - goneAt;
            if (!gone) {
                m.Expect(row, end.result < 0, seed,
                         "the job gave up a device still plugged in, with " +
                             std::to_string(end.result));
                if (end.result < 0) cancelNow();
            } else if (end.result < 0) {
                m.Expect(row, false, seed,
                         "the job still waited " + std::to_string(kGoneEndedByMs) +
                             " ms after the device went");
                job.Cancel();
                end.result = job.Wait(5000);
            } else if (early < 0) {
                m.Expect(row, endedMs >= kGoneEarliestEndMs, seed,
                         "the job gave the port up " + std::to_string(endedMs) +
                             " ms after the device went");
                firstEnd = std::min(firstEnd, endedMs);
                lastEnd = std::max(lastEnd, endedMs);
            }
        } else {
            WaitUntil(Deadline::After(kCancelAfterGoneMs));
            const int32_t early = job.Wait(0);
            m.Expect(row, early < 0, seed, "the job ended by itself with " + std::to_string(early));
            if (early < 0) {
                cancelNow();
            } else {
                end.result = early;
            }
        }
        const double cpuPercent = (ProcessCpuS() - cpu0) / (WallS() - wall0) * 100.0;
        worstCpu = std::max(worstCpu, cpuPercent);
        m.Expect(row, cpuPercent <= kMaxWaitCpuPercent, seed,
                 "waiting took " + Fixed(cpuPercent, 2) + " % of a core");
        end.stage = GetStage();
        end.systemError = updateJob.systemError;
        end.cpuS = jobCpuS.load();
        m.Saw(row, end);
        const int32_t want = gone && !cancel ? ResultPortIoError : ResultCancelled;
        m.Expect(row, end.result == want && end.stage == c.stage, seed,
                 "result " + Label(end) + " at stage " + std::to_string(end.stage) + ", expected " +
                     std::to_string(want) + " at stage " + std::to_string(c.stage));
        if (want == ResultPortIoError) {
            const int error = end.systemError;
            m.Note(row, "errno " + ErrnoName(error));
            m.Expect(row, error == EIO || error == ENXIO || error == ENODEV, seed,
                     "the port error carries errno " + ErrnoName(error));
            m.Expect(row, updateJob.portGone, seed, "the record does not say the port went");
        }
        if (c.when == Gone::MidTransfer) {
            m.Expect(
                row,
                sim.Device().BlocksAccepted() == int(pick) && sim.Device().AnnouncedSize() == size,
                seed, "the device did not take the announced image's first blocks");
        }
        if (c.when == Gone::AtVerdict) {
            m.Expect(row, sim.Received() == image, seed, "the device lost the image it took");
        }

        // The port is free again: the next job, on a new device, goes through.
        Sim fresh;
        const JobEnd next = RunJob(path, fresh, m.scale().boundMs);
        m.Note(row, "then a job on a new device: " + Label(next));
        m.CheckSuccess(row, next, fresh, image, seed);
        m.Expect(row, next.result == ResultSuccess, seed,
                 "the job after it ended with " + Label(next));
    }
    if (!after.empty()) {
        m.Figure(row, std::string(gone ? "gone" : "silent") + " after blocks " + List(after));
    }
    if (gone && lastEnd > 0) {
        m.Figure(row, "left alone, ended by itself " + std::to_string(firstEnd) + " to " +
                          std::to_string(lastEnd) + " ms after the device went");
    }
    if (!gone) {
        m.Figure(row, "left alone, still waiting " + std::to_string(kGoneEndedByMs) +
                          " ms after it fell silent, then cancelled");
    }
    m.Figure(row, "CPU while gone or silent at most " + Fixed(worstCpu, 2) + " % of a core");
    const std::string when = std::to_string(kCancelAfterGoneMs) + " ms after the device went";
    const std::string silentWhen = std::to_string(kCancelAfterGoneMs) + " ms and " +
                                   std::to_string(kGoneEndedByMs) + " ms after it fell silent";
    m.Figure(row, "Cancel " + (gone ? when : silentWhen) + ": ended within " +
                      std::to_string(worstCancel) + " ms");
}

}  // namespace

std::vector<FaultCase> VanishCases() {
    return RowsOf(kVanishCases, Vanish);
}

}  // namespace faults
