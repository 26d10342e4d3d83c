// Many jobs in a row, each against a new device with random knobs (mode, echo, boot banner, a
// NAKed block or EOT, a wrong verdict, identity or version, a refused UPDATE, a CAN, stall or
// vanish at a random block, a held port, a missing or short image): every result as the knobs
// predict, and nothing left behind: no descriptor, no growth of the resident size.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>

#include "tests/faults/matrix.h"
#include "tests/support/temp_dir.h"

namespace faults {

namespace {

struct SoakJob {
    sim::DeviceConfig config;
    size_t size = 0;
    bool missing = false;
    bool holdPort = false;
    bool deviceStops = false;  // falls silent mid-transfer: the bench cancels the job
    int32_t result = ResultSuccess;
    UpdateStage stage = StageNone;
    std::string knobs;
};

// Random knobs, and the result they make: the first phase a knob breaks decides it.
SoakJob Draw(sim::Random& rng, size_t maxImage) {
    SoakJob job;
    sim::DeviceConfig& c = job.config;
    c.crcMode = rng.Chance(0.5);
    c.echo = rng.Chance(0.8);
    c.seed = rng.Next();
    job.size = 8 + rng.Below(uint32_t(maxImage - 7));
    auto knob = [&job](const std::string& text) {
        job.knobs += (job.knobs.empty() ? "" : " ") + text;
    };
    knob(c.crcMode ? "crc" : "checksum");
    if (rng.Chance(0.1)) {
        c.banner = "boot rom 1.4\r\nchecking flash... ok\r\n";
        c.bootSilentMs = rng.Below(30);
        knob("banner");
    }
    const uint32_t blocks = Blocks(job.size, c.crcMode);
    if (rng.Chance(0.1)) {
        c.nakBlockOnce = int(1 + rng.Below(blocks));
        knob("nak-block=" + std::to_string(c.nakBlockOnce));
    }
    if (rng.Chance(0.1)) {
        c.nakEotTimes = int(1 + rng.Below(3));
        knob("nak-eot=" + std::to_string(c.nakEotTimes));
    }
    bool verdictBad = false, identityBad = false, versionBad = false;
    if (rng.Chance(0.05)) {
        const char* verdicts[] = {"Abort", "done", "Done."};
        c.verdict = verdicts[rng.Below(3)];
        verdictBad = true;
        knob("verdict=" + c.verdict);
    }
    if (rng.Chance(0.04)) {
        c.identity = rng.Chance(0.5) ? "QRV-001" : "QRV-00001";
        identityBad = true;
        knob("identity=" + c.identity);
    }
    if (rng.Chance(0.04)) {
        const char* versions[] = {"Ver01.03", "ver01.02", "Ver1.02"};
        c.version = versions[rng.Below(3)];
        versionBad = true;
        knob("version=" + c.version);
    }
    if (rng.Chance(0.04)) {
        c.refuseUpdate = true;
        knob("refuse");
    }
    // At most one fault of the transfer itself; a count of `blocks` hits the EOT.
    const uint32_t transferFault = rng.Below(100);
    if (transferFault < 5) {
        c.cancelAfterBlocks = int(rng.Below(blocks + 1));
        knob("cancel-after=" + std::to_string(c.cancelAfterBlocks));
    } else if (transferFault < 8) {
        c.stallAfterBlocks = int(rng.Below(blocks + 1));
        knob("stall-after=" + std::to_string(c.stallAfterBlocks));
    } else if (transferFault < 11) {
        c.vanishAfterBlocks = int(rng.Below(blocks + 1));
        knob("vanish-after=" + std::to_string(c.vanishAfterBlocks));
    }
    if (rng.Chance(0.03)) {
        job.holdPort = true;
        knob("port-held");
    }
    const uint32_t imageFault = rng.Below(100);
    if (imageFault < 4) {
        job.missing = true;
        knob("image-missing");
    } else if (imageFault < 8) {
        job.size = rng.Below(8);
        knob("image-bytes=" + std::to_string(job.size));
    } else {
        knob("image-bytes=" + std::to_string(job.size));
    }

    auto predict = [&job](int32_t result, UpdateStage stage) {
        job.result = result;
        job.stage = stage;
    };
    if (job.missing) {
        predict(ResultImageInvalid, StageCheckImage);
    } else if (job.size < 8) {
        predict(ResultImageIoError, StageCheckImage);
    } else if (job.holdPort) {
        predict(ResultPortIoError, StageConnect);
    } else if (identityBad || versionBad) {
        predict(ResultConnectFail, StageConnect);
    } else if (c.refuseUpdate || c.cancelAfterBlocks >= 0) {
        predict(ResultTransferFail, StageTransfer);
    } else if (c.stallAfterBlocks >= 0) {
        job.deviceStops = true;
        predict(ResultCancelled, StageTransfer);
    } else if (c.vanishAfterBlocks >= 0) {
        predict(ResultPortIoError, StageTransfer);  // gone for a second: the job gives it up
    } else if (verdictBad) {
        predict(ResultUpdateFail, StageUpdate);
    } else {
        predict(ResultSuccess, StageNone);
    }
    return job;
}

void Soak(Matrix& m, Row& row) {
    const int jobs = m.Runs(m.scale().soakJobs);
    row.name = std::to_string(jobs) + " " + row.name;
    TempDir dir;
    const int warmUp = std::max(5, jobs / 10);
    const long rssStart = RssKiB();
    long rssWarm = rssStart;
    int fdsWarm = OpenFds();
    int predicted = 0;
    for (int run = 0; run < jobs; ++run) {
        if (run == warmUp) {
            rssWarm = RssKiB();
            fdsWarm = OpenFds();
        }
        const uint64_t seed = m.Seed(run);
        sim::Random rng(seed);
        SoakJob job = Draw(rng, m.scale().soakMaxImage);
        const std::string image = PatternBytes(job.size, unsigned(seed));
        const std::string path =
            job.missing ? dir.File("missing.img") : dir.Write("image.img", image);
        Sim sim(job.config);
        if (!m.Started(row, seed, sim)) continue;
        int holder = -1;
        if (job.holdPort) {
            holder =
                open(sim.Device().PortPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (holder >= 0) flock(holder, LOCK_EX | LOCK_NB);
        }
        std::function<bool()> stopped;
        if (job.deviceStops) {
            const int stall = job.config.stallAfterBlocks;
            sim::Device* device = &sim.Device();
            stopped = [device, stall] { return device->BlocksAccepted() >= stall; };
        }
        const JobEnd end = m.Job(row, seed, sim, path, image, stopped);
        if (holder >= 0) close(holder);
        const bool asPredicted = end.result == job.result && end.stage == job.stage && !end.hung &&
                                 !end.timedOut && end.cancelled == job.deviceStops;
        predicted += asPredicted;
        m.Expect(row, asPredicted, seed,
                 "knobs " + job.knobs + ": result " + Label(end) + " at stage " +
                     std::to_string(end.stage) + ", predicted " + std::to_string(job.result) +
                     " at stage " + std::to_string(job.stage));
        if (job.stage == StageCheckImage) {
            m.Expect(row, sim.Device().HostBytes().empty(), seed,
                     "knobs " + job.knobs + ": bytes on the wire before the port was open");
        }
    }
    const long rssEnd = RssKiB();
    const int fdsEnd = OpenFds();
    m.Figure(row, std::to_string(predicted) + "/" + std::to_string(jobs) +
                      " results as their knobs predict");
    m.Figure(row, "RSS " + std::to_string(rssStart) + " KiB at start, " + std::to_string(rssWarm) +
                      " after " + std::to_string(warmUp) + " jobs, " + std::to_string(rssEnd) +
                      " at the end");
    m.Figure(row, "fds " + std::to_string(fdsWarm) + " after " + std::to_string(warmUp) +
                      " jobs, " + std::to_string(fdsEnd) + " at the end");
    // Allocator arenas and cached thread stacks settle during the warm-up; after it, a leak of
    // even a few hundred bytes a job would show over the rest.
    const long growth = rssEnd - rssWarm;
    m.Expect(row, !m.JudgeRss() || growth <= 1024, m.Seed(0),
             "RSS grew by " + std::to_string(growth) + " KiB after the warm-up");
    m.Expect(row, fdsEnd == fdsWarm, m.Seed(0), "descriptors grew during the jobs");
}

}  // namespace

std::vector<FaultCase> SoakCases() {
    return {{"consecutive jobs with random knobs", Soak}};
}

}  // namespace faults
