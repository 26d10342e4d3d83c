// Cases of what the device says: a CAN mid-transfer, a refused UPDATE, a verdict other than
// "Done", an identity or a version the host must not accept.
#include "tests/faults/matrix.h"
#include "tests/support/temp_dir.h"

namespace faults {

namespace {

struct ReplyCase {
    const char* name;
    bool crc;
    // `pick` is a block chosen at random for the run, below the image's block count.
    void (*configure)(sim::DeviceConfig&, uint32_t pick);
    int32_t result;
    UpdateStage stage;
    // What the device must have seen: "" when it did, else what is wrong.
    std::string (*check)(Sim&, const std::string& image, uint32_t pick);
    bool listPicks = false;  // the row lists the blocks chosen
};

std::string NoUpdateSent(Sim& sim, const std::string&, uint32_t) {
    return sim.Device().HostBytes().find("UPDATE") == std::string::npos
               ? ""
               : "the host announced the image after a failed check";
}

std::string DeviceHoldsImage(Sim& sim, const std::string& image, uint32_t) {
    return sim.Received() == image ? "" : "the device does not hold the image";
}

std::string BlocksAccepted(Sim& sim, const std::string&, uint32_t pick) {
    return sim.Device().BlocksAccepted() == int(pick) ? "" : "blocks accepted differ";
}

std::string NoVerAfterBadIdentity(Sim& sim, const std::string& image, uint32_t pick) {
    if (sim.Device().HostBytes().find("VER\r\n") != std::string::npos) {
        return "the host asked VER after a bad identity";
    }
    return NoUpdateSent(sim, image, pick);
}

std::string OnlyTheUpdateLine(Sim& sim, const std::string& image, uint32_t) {
    const std::string host = sim.Device().HostBytes();
    return host.ends_with("UPDATE " + Hex(image.size()) + "\r\n")
               ? ""
               : "the host sent more than its UPDATE line";
}

const ReplyCase kReplyCases[] = {
    {"device cancels (CAN) at a random block, CRC", true,
     [](sim::DeviceConfig& c, uint32_t pick) { c.cancelAfterBlocks = int(pick); },
     ResultTransferFail, StageTransfer, BlocksAccepted, true},
    {"device cancels (CAN) at a random block, checksum", false,
     [](sim::DeviceConfig& c, uint32_t pick) { c.cancelAfterBlocks = int(pick); },
     ResultTransferFail, StageTransfer, BlocksAccepted, true},
    {"device refuses UPDATE", true, [](sim::DeviceConfig& c, uint32_t) { c.refuseUpdate = true; },
     ResultTransferFail, StageTransfer, OnlyTheUpdateLine},
    {"verdict \"Abort\"", true, [](sim::DeviceConfig& c, uint32_t) { c.verdict = "Abort"; },
     ResultUpdateFail, StageUpdate, DeviceHoldsImage},
    {"verdict \"done\"", true, [](sim::DeviceConfig& c, uint32_t) { c.verdict = "done"; },
     ResultUpdateFail, StageUpdate, DeviceHoldsImage},
    {"verdict \"Done.\"", true, [](sim::DeviceConfig& c, uint32_t) { c.verdict = "Done."; },
     ResultUpdateFail, StageUpdate, DeviceHoldsImage},
    {"verdict an empty line", true,
     [](sim::DeviceConfig& c, uint32_t) { c.verdictRaw = "\r\n\r\n>"; }, ResultUpdateFail,
     StageUpdate, DeviceHoldsImage},
    {"identity of 7 characters", true,
     [](sim::DeviceConfig& c, uint32_t) { c.identity = "QRV-001"; }, ResultConnectFail,
     StageConnect, NoVerAfterBadIdentity},
    {"identity of 9 characters", true,
     [](sim::DeviceConfig& c, uint32_t) { c.identity = "QRV-00001"; }, ResultConnectFail,
     StageConnect, NoVerAfterBadIdentity},
    {"version \"Ver01.03\"", true, [](sim::DeviceConfig& c, uint32_t) { c.version = "Ver01.03"; },
     ResultConnectFail, StageConnect, NoUpdateSent},
    {"version \"ver01.02\"", true, [](sim::DeviceConfig& c, uint32_t) { c.version = "ver01.02"; },
     ResultConnectFail, StageConnect, NoUpdateSent},
    {"version \"Ver01.0\"", true, [](sim::DeviceConfig& c, uint32_t) { c.version = "Ver01.0"; },
     ResultConnectFail, StageConnect, NoUpdateSent},
};

void Reply(Matrix& m, Row& row, const ReplyCase& c) {
    const size_t size = m.scale().replyImage;
    std::vector<uint32_t> picks;
    TempDir dir;
    for (int run = 0; run < m.Runs(); ++run) {
        const uint64_t seed = m.Seed(run);
        sim::Random random(seed);
        const uint32_t pick = random.Below(Blocks(size, c.crc));
        const std::string image = PatternBytes(size, unsigned(seed));
        const std::string path = dir.Write("image.img", image);
        sim::DeviceConfig config;
        config.crcMode = c.crc;
        c.configure(config, pick);
        Sim sim(config);
        if (!m.Started(row, seed, sim)) continue;
        const JobEnd end = m.Job(row, seed, sim, path, image);

        m.Expect(row, end.result == c.result && end.stage == c.stage && !end.hung, seed,
                 "result " + Label(end) + " at stage " + std::to_string(end.stage) + ", expected " +
                     std::to_string(c.result) + " at stage " + std::to_string(c.stage));
        const std::string wrong = c.check ? c.check(sim, image, pick) : "";
        m.Expect(row, wrong.empty(), seed, wrong);
        picks.push_back(pick);
    }
    if (c.listPicks) m.Figure(row, "CAN after blocks " + List(picks));
}

}  // namespace

std::vector<FaultCase> ReplyCases() {
    return RowsOf(kReplyCases, Reply);
}

}  // namespace faults
