// Cases of the line itself: clean, flipping or losing bytes either way, losing the ACK of EOT, and
// a burst of garbage out of the device.
#include "tests/faults/matrix.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xmodem_bytes.h"

namespace faults {

namespace {

// The image a pinned case was found with; its runs use it whatever the seed.
constexpr unsigned kPinnedImageSeed = 3;

void Baseline(Matrix& m, Row& row, bool crc) {
    TempDir dir;
    for (int run = 0; run < m.Runs(); ++run) {
        const uint64_t seed = m.Seed(run);
        const std::string image = PatternBytes(m.scale().noiseImage, unsigned(seed));
        const std::string path = dir.Write("image.img", image);
        sim::DeviceConfig config;
        config.crcMode = crc;
        Sim sim(config);
        if (!m.Started(row, seed, sim)) continue;
        const JobEnd end = m.Job(row, seed, sim, path, image);

        m.Expect(row, end.result == ResultSuccess && end.stage == StageNone, seed,
                 "result " + Label(end) + " at stage " + std::to_string(end.stage));
    }
}

struct NoiseCase {
    const char* what;
    double in;    // host -> device: what the receiver's check must catch
    double out;   // device -> host: only "C", ACK, NAK and CAN travel this way
    double drop;  // either way
    // Set: one run on this device seed, of an image this size, known to hit what it names. The
    // job must then succeed.
    uint64_t pinnedSeed = 0;
    size_t pinnedImage = 0;
};

const NoiseCase kNoiseCases[] = {
    {"flips into the device 1e-4", 1e-4, 0, 0},
    {"flips into the device 1e-3", 1e-3, 0, 0},
    {"flips into the device 1e-2", 1e-2, 0, 0},
    {"flips out of the device 1e-4", 0, 1e-4, 0},
    {"flips out of the device 1e-3", 0, 1e-3, 0},
    {"flips out of the device 1e-2", 0, 1e-2, 0},
    {"flips both ways 1e-3", 1e-3, 1e-3, 0},
    {"lost bytes both ways 1e-3", 0, 0, 1e-3},
    // Every flip is caught and sent again: the job ends as on a clean line.
    {"flips both ways 1e-3, seed 70 (hits both ways)", 1e-3, 1e-3, 0, 70, 8192},
};

// A lost byte leaves a packet short: a second of silence, NAK, and the packet again.
const NoiseCase kLostCrcOnly = {
    "lost bytes both ways 5e-4, seed 3 (loses some)", 0, 0, 5e-4, 3, 4096};

// A first packet whose header is lost leaves the receiver asking with "C", which the sender
// takes for noise while it waits for an ACK, for the receiver's ten seconds of retries.
std::string WhyTheDeviceEnded(Sim& sim, const DeviceNews& news, const JobEnd& end) {
    if (!news.abortReason.starts_with("gave up")) return "device: " + news.abortReason;
    if (sim.Device().BlocksAccepted() > 0) return "device gave up";
    return end.wallS >= 5 ? "device asked for 10 s, then gave up before the first block"
                          : "device gave up on the first block";
}

void Noise(Matrix& m, Row& row, bool crc, const NoiseCase& c) {
    const bool pinned = c.pinnedSeed != 0;
    const size_t size = pinned       ? c.pinnedImage
                        : c.drop > 0 ? m.scale().dropImage
                                     : m.scale().noiseImage;
    TempDir dir;
    sim::NoiseCounts hit;
    for (int run = 0; run < (pinned ? m.Runs(1) : m.Runs()); ++run) {
        const uint64_t seed = pinned ? c.pinnedSeed : m.Seed(run);
        const std::string image = PatternBytes(size, pinned ? kPinnedImageSeed : unsigned(seed));
        const std::string path = dir.Write("image.img", image);
        sim::DeviceConfig config;
        config.crcMode = crc;
        config.noiseIn = c.in;
        config.noiseOut = c.out;
        config.dropRate = c.drop;
        config.seed = seed;
        Sim sim(config);
        if (!m.Started(row, seed, sim)) continue;
        const JobEnd end = m.Job(row, seed, sim, path, image);
        const DeviceNews news = sim.News();
        const sim::NoiseCounts n = sim.Device().Noise();
        hit.corruptedIn += n.corruptedIn;
        hit.corruptedOut += n.corruptedOut;
        hit.droppedIn += n.droppedIn;
        hit.droppedOut += n.droppedOut;

        if (pinned) {
            m.Expect(row, end.result == ResultSuccess && !end.hung && !end.timedOut, seed,
                     "result " + Label(end));
            m.Expect(row, (c.in == 0 || n.corruptedIn > 0) && (c.out == 0 || n.corruptedOut > 0),
                     seed, "the noise missed a direction it was pinned to hit");
            m.Expect(row, c.drop == 0 || n.droppedIn + n.droppedOut > 0, seed, "no byte was lost");
        } else if (end.result == ResultSuccess && !end.hung && !end.timedOut) {
            m.Expect(row, end.stage == StageNone, seed, "success at a stage not 0");
        } else if (end.result == ResultTransferFail) {
            // Only the receiver's own giving up may fail the transfer.
            m.Expect(row, news.aborted && end.stage == StageTransfer, seed,
                     "transfer failed, yet the device never ended it");
            if (news.aborted) m.Note(row, WhyTheDeviceEnded(sim, news, end));
        } else if (end.hung && end.result == ResultCancelled) {
            m.Note(row, news.completed ? "EOT's ACK lost, job cancelled"
                                       : "device's CAN lost, job cancelled");
        } else {
            m.Expect(row, false, seed, "result " + Label(end));
        }
    }
    if (c.in > 0 || c.out > 0) {
        m.Figure(row, "bytes flipped in/out " + std::to_string(hit.corruptedIn) + "/" +
                          std::to_string(hit.corruptedOut));
    }
    if (c.drop > 0) {
        m.Figure(row, "bytes lost in/out " + std::to_string(hit.droppedIn) + "/" +
                          std::to_string(hit.droppedOut));
    }
    m.Figure(row, std::to_string(size / 1024) + " KiB image");
}

// The ACK of EOT is the one reply whose loss the sender never recovers from: it resends EOT only
// on NAK, and the receiver, done, says nothing more that it takes for an answer. With a one-block
// image that ACK is a third of what the device sends, so many short jobs measure how often a
// job is left waiting for Cancel.
void EotAck(Matrix& m, Row& row, double rate) {
    TempDir dir;
    int hung = 0;
    for (int run = 0; run < m.Runs(m.Full() ? 1000 : 20); ++run) {
        const uint64_t seed = m.Seed(run);
        const std::string image = PatternBytes(8, unsigned(seed));
        const std::string path = dir.Write("image.img", image);
        sim::DeviceConfig config;
        config.noiseOut = rate;
        config.seed = seed;
        Sim sim(config);
        if (!m.Started(row, seed, sim)) continue;
        const JobEnd end = m.Job(row, seed, sim, path, image);

        const bool lostEotAck =
            end.hung && end.result == ResultCancelled && sim.Device().UpdatesCompleted() == 1;
        hung += lostEotAck;
        m.Expect(row, (end.result == ResultSuccess && !end.hung) || lostEotAck, seed,
                 "result " + Label(end));
    }
    m.Figure(row, "left waiting after the device took the image: " + std::to_string(hung) + "/" +
                      std::to_string(row.runs) + " jobs");
}

// Random bytes out of the device mid-transfer read as replies: stray ACKs and NAKs only make the
// sender run ahead or repeat, which the receiver survives; one CAN among them ends the transfer.
struct GarbageCase {
    const char* name;
    bool crc;
    int burst;
    // Set: one run on this seed, whose burst is known to hold a CAN or not.
    uint64_t pinnedSeed = 0;
    bool holdsCan = false;
};

const GarbageCase kGarbageCases[] = {
    {"garbage burst of 100 bytes mid-transfer, CRC", true, 100},
    {"garbage burst of 100 bytes mid-transfer, checksum", false, 100},
    {"garbage burst of 16 bytes mid-transfer, checksum, seed 1 (no CAN)", false, 16, 1, false},
    {"garbage burst of 16 bytes mid-transfer, checksum, seed 19 (a CAN)", false, 16, 19, true},
};

void Garbage(Matrix& m, Row& row, const GarbageCase& c) {
    // 64 blocks, the burst after the 32nd: more blocks are left than stray ACKs could
    // acknowledge, so every garbage byte is read while blocks are still in flight. A burst of
    // 100 holds a CAN in about a third of the runs.
    const bool pinned = c.pinnedSeed != 0;
    const size_t size = 64 * size_t(BlockSize(c.crc));
    TempDir dir;
    for (int run = 0; run < (pinned ? m.Runs(1) : m.Runs()); ++run) {
        const uint64_t seed = pinned ? c.pinnedSeed : m.Seed(run);
        const std::string image = PatternBytes(size, pinned ? kPinnedImageSeed : unsigned(seed));
        const std::string path = dir.Write("image.img", image);
        sim::DeviceConfig config;
        config.crcMode = c.crc;
        config.garbageBurst = c.burst;
        config.seed = seed;
        Sim sim(config);
        if (!m.Started(row, seed, sim)) continue;
        const JobEnd end = m.Job(row, seed, sim, path, image);
        const std::string garbage = sim.News().garbage;
        m.Expect(row, garbage.size() == size_t(c.burst), seed,
                 std::to_string(garbage.size()) + " bytes of garbage: one burst per transfer");
        const bool can = garbage.find(wire::kCan) != std::string::npos;
        if (pinned) m.Expect(row, can == c.holdsCan, seed, "the seed's burst changed");
        m.Note(row, can ? "burst held a CAN" : "burst held no CAN");
        const int32_t want = can ? ResultTransferFail : ResultSuccess;
        m.Expect(row, end.result == want && !end.hung && !end.timedOut, seed,
                 "result " + Label(end) + ", expected " + std::to_string(want));
    }
}

}  // namespace

std::vector<FaultCase> LineCases() {
    std::vector<FaultCase> cases;
    for (const bool crc : {true, false}) {
        cases.push_back({std::string("no fault, ") + (crc ? "CRC" : "checksum"),
                         [crc](Matrix& m, Row& row) { Baseline(m, row, crc); }});
    }
    for (const bool crc : {true, false}) {
        for (const NoiseCase& c : kNoiseCases) {
            // The 8-bit sum lets two flips that cancel through, so these rows can end in a
            // success with a wrong image; the short run, which must pass, leaves them to --full.
            const bool sumAtStake = !crc && c.in >= 1e-3 && c.pinnedSeed == 0;
            cases.push_back({std::string(crc ? "CRC" : "checksum") + ": " + c.what,
                             [crc, &c](Matrix& m, Row& row) { Noise(m, row, crc, c); },
                             sumAtStake});
        }
    }
    cases.push_back({std::string("CRC: ") + kLostCrcOnly.what,
                     [](Matrix& m, Row& row) { Noise(m, row, true, kLostCrcOnly); }});
    const std::pair<double, const char*> kRates[] = {
        {1e-4, "1e-4"}, {1e-3, "1e-3"}, {1e-2, "1e-2"}};
    for (const auto& [rate, rateName] : kRates) {
        cases.push_back({std::string("CRC, 8-byte image, flips out of the device ") + rateName,
                         [rate](Matrix& m, Row& row) { EotAck(m, row, rate); }});
    }
    for (FaultCase& c : RowsOf(kGarbageCases, Garbage))
        cases.push_back(std::move(c));
    return cases;
}

}  // namespace faults
