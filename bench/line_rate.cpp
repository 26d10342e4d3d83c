// Line efficiency at 115200 bit/s. Whole updates into the simulated device paced as a real line,
// in both XMODEM modes, as a share of what the framing allows; the same sender into a peer of
// our own that keeps exact line time (replies cost their byte on the wire, idle host time is
// never made up) and times the host's turn-around per block; how exact the device's pacing is
// (its intake and output rates, and a sender of ours with nothing to do between blocks); and
// throughput against image size, drawn as an SVG.
//   line_rate [--size BYTES] [--exact-size BYTES] [--sizes A,B,...] [--report DIR] [--svg FILE]
#include <stdio.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "bench/line_peers.h"
#include "engine/update_job.h"
#include "tests/engine/dialogue.h"
#include "tests/support/job_runner.h"
#include "tests/support/pty.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xmodem_bytes.h"

namespace {

using namespace bench;

std::string SizeText(size_t bytes) {
    if (bytes % (1u << 20) == 0) return Format("%zu MiB", bytes >> 20);
    if (bytes % 1024 == 0) return Format("%zu KiB", bytes >> 10);
    return Format("%zu B", bytes);
}

std::string Percent(double ratio) {
    return Format("%.2f %%", ratio * 100);
}

double Mean(const std::vector<double>& values) {
    double sum = 0;
    for (const double v : values)
        sum += v;
    return values.empty() ? 0 : sum / double(values.size());
}

std::string Image(size_t size) {
    return PatternBytes(size, 7);
}

// ---- How exact the device's pacing is ----------------------------------------------------------

struct PaceCheck {
    bool ok = false;
    double intakeBps = 0;
    double outputBps = 0;
};

PaceCheck CheckPacing() {
    PaceCheck check;
    sim::DeviceConfig config;
    config.lineRateBps = kLineBps;
    EventLog events;
    events.Attach(config);
    sim::Device device(config);
    if (!StartDevice(device)) return check;
    HostPort port(device.PortPath());
    if (!port.IsOpen() || !port.Write(wire::Bytes(wire::kEsc)) ||
        !port.ReadUntil(">", 3000).ends_with(">")) {
        return check;
    }

    // NUL bytes cost the console line time and nothing else. The first command empties the
    // device's burst allowance, so what lies between the two commands passes at the bare rate.
    const size_t span = 65536;
    const std::string quiet = std::string(1024, '\0') + "A\r" + std::string(span, '\0') + "B\r";
    events.Clear();
    if (!port.Write(quiet, 20000)) return check;
    const double first = events.WaitFor(sim::EventKind::Command, 20000, 1);
    const double second = events.WaitFor(sim::EventKind::Command, 20000, 2);
    if (first == 0 || second == 0) return check;
    check.intakeBps = double(span + 2) / (second - first);
    const std::string unknown = "B\r\n?Unknown command\r\n>";
    if (!port.ReadUntil(unknown, 3000).ends_with(unknown)) return check;

    // Output: each two-byte command brings back its echo, a line end and a one-line reply, so
    // the device's sending side is the bottleneck. Timed from the 2000th byte received on, when
    // the device's burst allowance is long spent.
    const int commands = 1500;
    std::string burst;
    for (int i = 0; i < commands; ++i)
        burst += "Z\r";
    if (!port.Write(burst)) return check;
    size_t received = 0;
    int prompts = 0;
    double from = 0;
    size_t fromBytes = 0;
    double last = 0;
    while (prompts < commands) {
        const int byte = port.ReadByte(3000);
        if (byte < 0) return check;
        ++received;
        if (byte == '>') ++prompts;
        if (received == 2000) {
            from = Now();
            fromBytes = received;
        }
        last = Now();
    }
    check.outputBps = double(received - fromBytes) / (last - from);
    check.ok = true;
    return check;
}

// ---- Senders into the simulated device ---------------------------------------------------------

struct Timed {
    bool ok = false;
    double seconds = 0;        // the sender's own measure (see each function)
    double deviceSeconds = 0;  // the device's: from UPDATE accepted to EOT acknowledged
};

sim::DeviceConfig PacedDevice(const XmodemMode& mode, EventLog& events) {
    sim::DeviceConfig config;
    config.lineRateBps = kLineBps;
    config.crcMode = mode.crc;
    events.Attach(config);
    return config;
}

double DeviceSeconds(EventLog& events) {
    const double announced = events.WaitFor(sim::EventKind::UpdateAnnounced, 0);
    const double done = events.WaitFor(sim::EventKind::TransferDone, 3000);
    return announced > 0 && done > announced ? done - announced : 0;
}

// A sender of ours with nothing to do between blocks: every packet is built before the transfer
// and written the moment the last ACK has been read. Waits for the receiver's "C" or NAK, then
// times from there to the ACK of EOT.
bool SendPrebuilt(HostPort& port, const XmodemMode& mode, const std::string& image,
                  double* seconds) {
    std::vector<std::string> packets;
    for (size_t at = 0, number = 1; at < image.size(); at += mode.block, ++number) {
        packets.push_back(Packet(uint8_t(number), image.substr(at, mode.block), mode.crc));
    }
    const int ask = mode.crc ? wire::kCrcAsk : wire::kNak;
    for (int byte = 0; byte != ask;) {
        if ((byte = port.ReadByte(5000)) < 0) return false;
    }
    const double start = Now();
    for (const std::string& packet : packets) {
        if (!port.Write(packet) || port.ReadByte(5000) != wire::kAck) return false;
    }
    if (!port.Write(wire::Bytes(wire::kEot)) || port.ReadByte(5000) != wire::kAck) return false;
    *seconds = Now() - start;
    return true;
}

// The unthrottled sender into the paced device: what it reaches is the ceiling of the device
// model, whatever a host does.
Timed UnthrottledIntoDevice(const XmodemMode& mode, size_t size) {
    Timed t;
    EventLog events;
    sim::Device device(PacedDevice(mode, events));
    if (!StartDevice(device)) return t;
    HostPort port(device.PortPath());
    const std::string update = Format("UPDATE %zX\r", size);
    if (!port.IsOpen() || !port.Write(wire::Bytes(wire::kEsc)) ||
        !port.ReadUntil(">", 3000).ends_with(">") || !port.Write(update) ||
        !port.ReadUntil("Ready for XMODEM\r\n", 3000).ends_with("Ready for XMODEM\r\n")) {
        return t;
    }
    const std::string image = Image(size);
    if (!SendPrebuilt(port, mode, image, &t.seconds)) return t;
    t.deviceSeconds = DeviceSeconds(events);
    const std::vector<uint8_t> received = device.Received();
    t.ok = events.TransferOk() && std::string(received.begin(), received.end()) == image;
    return t;
}

// The real job into the paced device. Timed by the job's own transfer stage (transferStartMs to
// transferEndMs: the UPDATE exchange and the XMODEM transfer).
Timed OursIntoDevice(const XmodemMode& mode, size_t size) {
    Timed t;
    EventLog events;
    sim::Device device(PacedDevice(mode, events));
    if (!StartDevice(device)) return t;
    TempDir dir;
    const std::string image = Image(size);
    JobRunner job(dir.Write("image.img", image), device.PortPath());
    updateJob.identityCheck = false;
    if (!job.Start(WatchedJob)) return t;
    const uint32_t timeoutMs = uint32_t(double(size) / 10000 * 1000) + 30000;
    const int32_t result = job.Wait(timeoutMs);
    t.seconds =
        double(uint32_t(updateJob.transferEndMs.load() - updateJob.transferStartMs.load())) /
        1000.0;
    t.deviceSeconds = DeviceSeconds(events);
    const std::vector<uint8_t> received = device.Received();
    t.ok = result == ResultSuccess && std::string(received.begin(), received.end()) == image;
    return t;
}

// ---- An exact line ------------------------------------------------------------------------------

struct Exact {
    bool ok = false;
    double seconds = 0;       // from our "C" or NAK to our ACK of EOT
    double stageSeconds = 0;  // the job's transfer stage, when the sender is the job
    double cpu = 0;           // the job's worker, console included, when the sender is the job
    size_t blocks = 0;
    std::vector<double> turnaround;  // per block: our ACK written to the next packet's first byte
    std::vector<double> late;        // per reply: how much later than due our ACK went out
};

// An XMODEM receiver on a bare pty master whose line costs exactly ten bits a byte both ways:
// a packet that starts arriving at t is on the wire until t + its bytes, and our ACK then takes
// one byte's time to reach the sender. Time the sender spends between our ACK and its next
// packet is lost for good, as on a real line. Asks, receives `image`, acknowledges EOT.
Exact ExactReceiver(FdStream& line, const XmodemMode& mode, const std::string& image) {
    Exact e;
    std::string data;
    if (!line.Write(wire::Bytes(mode.crc ? wire::kCrcAsk : wire::kNak))) return e;
    const double start = Now();
    double lineFree = start + kByteSeconds;  // our ask on the wire
    double ackWritten = 0;
    for (uint8_t number = 1;; ++number) {
        if (!line.Fill(5000)) return e;
        const double now = Now();
        const double arrived = std::max(now, lineFree);
        if (ackWritten > 0) e.turnaround.push_back(now - ackWritten);
        std::string packet = line.ReadCount(1, 100);
        const bool eot = packet == wire::Bytes(wire::kEot);
        if (packet.empty()) return e;
        if (!eot) packet += line.ReadCount(mode.packet - 1, 3000);
        if (!eot && packet.size() != mode.packet) return e;
        // The ACK reaches the sender once the packet (or EOT) and then the ACK have passed.
        const double due = arrived + ((eot ? 1 : mode.packet) + 1) * kByteSeconds;
        WaitUntilPrecisely(due);
        if (!line.Write(wire::Bytes(wire::kAck))) return e;
        ackWritten = Now();
        e.late.push_back(ackWritten - due);
        lineFree = ackWritten;
        if (eot) break;
        if (packet != Packet(number, image.substr(data.size(), mode.block), mode.crc)) {
            fprintf(stderr, "exact line: block %u is not what was sent\n", unsigned(number));
            return e;
        }
        data.append(packet, 3, mode.block);
        ++e.blocks;
    }
    e.seconds = Now() - start;
    data.resize(std::min(data.size(), image.size()));
    e.ok = data == image;
    return e;
}

// The unthrottled sender on a thread of its own, on the far end of the exact line: the ceiling
// of this rig (its pty wake-ups and our own timing) for any host.
Exact UnthrottledOnExactLine(const XmodemMode& mode, size_t size) {
    const std::string image = Image(size);
    PtyPeer line;
    bool sent = false;
    double senderSeconds = 0;
    std::thread sender([&] {
        HostPort port(line.SlavePath());
        sent = port.IsOpen() && SendPrebuilt(port, mode, image, &senderSeconds);
    });
    Exact e = ExactReceiver(line, mode, image);
    sender.join();
    e.ok = e.ok && sent;
    return e;
}

// The real job on the exact line, the console played by hand before the transfer.
Exact OursOnExactLine(const XmodemMode& mode, size_t size) {
    const std::string image = Image(size);
    Dialogue d(image, nullptr, WatchedJob);
    if (!d.Console()) return {};
    Exact e = ExactReceiver(d.Peer(), mode, image);
    if (!e.ok) return e;
    d.Send("\r\nDone\r\n>");
    const int32_t result = d.Result(5000);
    e.stageSeconds =
        double(uint32_t(updateJob.transferEndMs.load() - updateJob.transferStartMs.load())) /
        1000.0;
    e.cpu = jobWatch.cpuSeconds;
    e.ok = result == ResultSuccess;
    return e;
}

// Whether the job met the goal on the exact line; when it did not, whether the unthrottled
// sender did any better there, which tells the rig's limit from the host's.
std::string ExactVerdict(const Exact& ours, const Exact& unthrottled, size_t size,
                         const XmodemMode& mode) {
    if (!ours.ok) return Met(false);
    const double share = double(size) / ours.seconds / mode.FramingLimit();
    if (share >= 0.99) return "yes";
    if (unthrottled.ok && ours.seconds <= unthrottled.seconds * 1.001) {
        return "**no**, nor the unthrottled sender: the rig's limit on this run";
    }
    return Met(false);
}

// ---- The plot -----------------------------------------------------------------------------------

struct Point {
    size_t size;
    double bps;  // image bytes a second of the transfer stage
};

struct Series {
    const XmodemMode* mode;
    std::vector<Point> points;  // into the simulated device
    Point exact{0, 0};          // the job on the exact line, drawn on its own
};

enum class Marker { None, Dot, Square };

const char* kColours[] = {"#1f5fa8", "#c0392b"};

// Throughput of the transfer stage against image size (log scale), with both modes' framing
// limits and the device model's ceilings.
std::string Svg(const std::vector<Series>& series) {
    const double width = 720, height = 440, left = 80, right = 200, top = 40, bottom = 60;
    const double plotW = width - left - right, plotH = height - top - bottom;
    double lo = 1e9, hi = 0;
    size_t smallest = SIZE_MAX, largest = 0;
    for (const XmodemMode& m : kModes) {
        lo = std::min(lo, m.FramingLimit());
        hi = std::max(hi, m.FreeAckCeiling());
    }
    for (const Series& s : series) {
        if (s.exact.bps > 0) lo = std::min(lo, s.exact.bps);
        for (const Point& p : s.points) {
            if (p.bps > 0) lo = std::min(lo, p.bps), hi = std::max(hi, p.bps);
            smallest = std::min(smallest, p.size);
            largest = std::max(largest, p.size);
        }
    }
    if (smallest == SIZE_MAX || smallest == largest) return "";
    const double step = 100;
    lo = std::floor((lo - 150) / step) * step;
    hi = std::ceil((hi + 50) / step) * step;
    const double x0 = std::log2(double(smallest)), x1 = std::log2(double(largest));
    auto X = [&](double size) { return left + (std::log2(size) - x0) / (x1 - x0) * plotW; };
    auto Y = [&](double bps) { return top + (hi - bps) / (hi - lo) * plotH; };

    std::ostringstream svg;
    svg << Format(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
        "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\" font-size=\"12\">\n",
        width, height, width, height);
    svg << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg << Format(
        "<text x=\"%.0f\" y=\"22\" font-size=\"14\" font-weight=\"bold\">Transfer stage "
        "throughput at 115200 bit/s</text>\n",
        left);
    for (double v = lo; v <= hi + 0.5; v += step) {
        svg << Format(
            "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e5e5e5\"/>"
            "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%.0f</text>\n",
            left, Y(v), left + plotW, Y(v), left - 6, Y(v) + 4, v);
    }
    for (size_t s = smallest; s <= largest; s *= 2) {
        const bool labelled = (std::countr_zero(s) - std::countr_zero(smallest)) % 2 == 0;
        svg << Format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#e5e5e5\"/>",
                      X(double(s)), top, X(double(s)), top + plotH);
        if (labelled) {
            svg << Format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>",
                          X(double(s)), top + plotH + 18, SizeText(s).c_str());
        }
        svg << "\n";
    }
    svg << Format(
        "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" "
        "stroke=\"#444\"/>\n",
        left, top, plotW, plotH);
    svg << Format(
        "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">image size</text>\n"
        "<text transform=\"translate(20 %.1f) rotate(-90)\" text-anchor=\"middle\">image bytes "
        "per second</text>\n",
        left + plotW / 2, height - 18, top + plotH / 2);

    double legendY = top + 10;
    auto square = [&](double x, double y, const char* colour) {
        svg << Format(
            "<rect x=\"%.1f\" y=\"%.1f\" width=\"8\" height=\"8\" fill=\"white\" "
            "stroke=\"%s\" stroke-width=\"2\"/>",
            x - 4, y - 4, colour);
    };
    auto legend = [&](const char* colour, const std::string& dash, Marker marker,
                      const std::string& text) {
        const double lx = left + plotW + 14;
        if (dash != "") {
            svg << Format(
                "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
                "stroke-width=\"2\" stroke-dasharray=\"%s\"/>",
                lx, legendY, lx + 26, legendY, colour, dash.c_str());
        }
        if (marker == Marker::Dot) {
            svg << Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3.5\" fill=\"%s\"/>", lx + 13,
                          legendY, colour);
        } else if (marker == Marker::Square) {
            square(lx + 13, legendY, colour);
        }
        svg << Format("<text x=\"%.1f\" y=\"%.1f\">%s</text>\n", lx + 32, legendY + 4,
                      text.c_str());
        legendY += 20;
    };
    for (size_t i = 0; i < 2; ++i) {
        const XmodemMode& m = kModes[i];
        svg << Format(
            "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
            "stroke-dasharray=\"8 4\"/>\n"
            "<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" "
            "stroke-dasharray=\"2 3\" opacity=\"0.6\"/>\n",
            left, Y(m.FramingLimit()), left + plotW, Y(m.FramingLimit()), kColours[i], left,
            Y(m.FreeAckCeiling()), left + plotW, Y(m.FreeAckCeiling()), kColours[i]);
    }
    for (size_t i = 0; i < series.size() && i < 2; ++i) {
        std::string path;
        for (const Point& p : series[i].points) {
            if (p.bps <= 0) continue;
            path += Format("%s%.1f,%.1f", path.empty() ? "" : " ", X(double(p.size)), Y(p.bps));
            svg << Format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3.5\" fill=\"%s\"/>\n",
                          X(double(p.size)), Y(p.bps), kColours[i]);
        }
        svg << Format("<polyline points=\"%s\" fill=\"none\" stroke=\"%s\" stroke-width=\"2\"/>\n",
                      path.c_str(), kColours[i]);
        if (series[i].exact.bps > 0) {
            square(X(double(series[i].exact.size)), Y(series[i].exact.bps), kColours[i]);
            svg << "\n";
        }
    }
    for (size_t i = 0; i < 2; ++i) {
        const XmodemMode& m = kModes[i];
        legend(kColours[i], "none", Marker::Dot, Format("simulated device, %s", m.name));
        legend(kColours[i], "", Marker::Square, Format("exact line, %s", m.name));
        legend(kColours[i], "8 4", Marker::None, Format("framing limit %.0f", m.FramingLimit()));
        legend(kColours[i], "2 3", Marker::None,
               Format("ACK-free ceiling %.0f", m.FreeAckCeiling()));
    }
    svg << "</svg>\n";
    return svg.str();
}

std::vector<size_t> ParseSizes(const std::string& text) {
    std::vector<size_t> sizes;
    std::stringstream list(text);
    for (std::string item; std::getline(list, item, ',');) {
        const size_t value = strtoull(item.c_str(), nullptr, 0);
        if (value > 0) sizes.push_back(value);
    }
    return sizes;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t size = NumberOption(argc, argv, "--size", 1u << 20);
    const size_t exactSize = NumberOption(argc, argv, "--exact-size", 256u << 10);
    const std::vector<size_t> sizes =
        ParseSizes(Option(argc, argv, "--sizes", "16384,65536,262144"));
    const std::string svgPath = Option(argc, argv, "--svg");
    Report report(argc, argv, "1-line-rate");
    Report plot(argc, argv, "7-size-plot");
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("line_rate: 115200 bit/s, one run of each, on %s\n", Machine().c_str());

    const PaceCheck pace = CheckPacing();
    printf("device pacing: intake %.1f B/s, output %.1f B/s, against %.0f B/s on the line%s\n",
           pace.intakeBps, pace.outputBps, kLineBytesPerSecond, pace.ok ? "" : "  FAILED");

    struct ModeRuns {
        Timed unthrottled, ours;
        Exact exactUnthrottled, exactOurs;
    } runs[2];
    for (size_t m = 0; m < 2; ++m) {
        const XmodemMode& mode = kModes[m];
        ModeRuns& r = runs[m];
        r.unthrottled = UnthrottledIntoDevice(mode, exactSize);
        printf("device, unthrottled sender, %s, %s: %.3f s, %.0f B/s%s\n", mode.name,
               SizeText(exactSize).c_str(), r.unthrottled.seconds,
               double(exactSize) / r.unthrottled.seconds, r.unthrottled.ok ? "" : "  FAILED");
        r.ours = OursIntoDevice(mode, size);
        printf("device, quorvane, %s, %s: stage %.3f s (%.0f B/s), XMODEM %.3f s (%.0f B/s)%s\n",
               mode.name, SizeText(size).c_str(), r.ours.seconds, double(size) / r.ours.seconds,
               r.ours.deviceSeconds, double(size) / r.ours.deviceSeconds,
               r.ours.ok ? "" : "  FAILED");
        for (const bool job : {false, true}) {
            Exact& e = job ? r.exactOurs : r.exactUnthrottled;
            e = job ? OursOnExactLine(mode, exactSize) : UnthrottledOnExactLine(mode, exactSize);
            printf(
                "exact line, %s, %s, %s: %.3f s (%.0f B/s), turn-around median %.0f us, "
                "p99 %.0f us; ACK late by median %.0f us%s\n",
                job ? "quorvane" : "unthrottled sender", mode.name, SizeText(exactSize).c_str(),
                e.seconds, double(exactSize) / e.seconds, Summarise(e.turnaround).median * 1e6,
                Quantile(e.turnaround, 0.99) * 1e6, Summarise(e.late).median * 1e6,
                e.ok ? "" : "  FAILED");
        }
    }

    std::vector<Series> series;
    for (size_t m = 0; m < 2; ++m) {
        Series s{&kModes[m], {}, {}};
        const Exact& e = runs[m].exactOurs;
        s.exact = {exactSize, e.ok && e.seconds > 0 ? double(exactSize) / e.seconds : 0};
        for (const size_t n : sizes) {
            if (n == size) continue;
            const Timed t = OursIntoDevice(kModes[m], n);
            s.points.push_back({n, t.ok ? double(n) / t.seconds : 0});
            printf("device, quorvane, %s, %s: stage %.3f s (%.0f B/s)%s\n", kModes[m].name,
                   SizeText(n).c_str(), t.seconds, double(n) / t.seconds, t.ok ? "" : "  FAILED");
        }
        s.points.push_back({size, runs[m].ours.ok ? double(size) / runs[m].ours.seconds : 0});
        std::sort(s.points.begin(), s.points.end(),
                  [](const Point& a, const Point& b) { return a.size < b.size; });
        series.push_back(s);
    }
    if (!svgPath.empty()) {
        const std::string svg = Svg(series);
        if (!svg.empty()) std::ofstream(svgPath) << svg;
    }

    // ---- The report ----
    auto rate = [](bool ok, size_t bytes, double seconds) {
        return ok && seconds > 0 ? double(bytes) / seconds : 0.0;
    };
    report.Line("## 1. Line efficiency at 115200 bit/s\n");
    report.Line(
        "One full update in each mode into the simulated device paced as a 115200 bit/s line "
        "(`sim::Device` with `lineRateBps = 115200`, in process), timed by the job's own transfer "
        "stage (`transferEndMs - transferStartMs`: the UPDATE exchange and the XMODEM transfer) "
        "and by the device's events (UPDATE accepted to EOT acknowledged: XMODEM alone). The "
        "framing limit counts every packet's bytes and its ACK as line time: " +
        Format("%.0f B/s for 1K/CRC (11520 x 1024 / 1030), %.0f B/s for 128/sum (11520 x 128 / "
               "133).",
               kModes[0].FramingLimit(), kModes[1].FramingLimit()));
    report.Line("");
    report.Line("| peer | sender | mode | image | seconds | image B/s | of the framing limit |");
    report.Line("|---|---|---|---|---:|---:|---:|");
    for (size_t m = 0; m < 2; ++m) {
        const XmodemMode& mode = kModes[m];
        const ModeRuns& r = runs[m];
        auto row = [&](const char* peer, const char* sender, size_t bytes, double seconds,
                       bool ok) {
            const double bps = rate(ok, bytes, seconds);
            report.Line(Format("| %s | %s | %s | %s | %.3f | %.0f | %s |", peer, sender, mode.name,
                               SizeText(bytes).c_str(), seconds, bps,
                               ok ? Percent(bps / mode.FramingLimit()).c_str() : "failed"));
        };
        row("simulated device", "quorvane, transfer stage", size, r.ours.seconds, r.ours.ok);
        row("simulated device", "quorvane, XMODEM alone", size, r.ours.deviceSeconds, r.ours.ok);
        row("simulated device", "unthrottled", exactSize, r.unthrottled.seconds, r.unthrottled.ok);
        row("exact line", "quorvane", exactSize, r.exactOurs.seconds, r.exactOurs.ok);
        row("exact line", "unthrottled", exactSize, r.exactUnthrottled.seconds,
            r.exactUnthrottled.ok);
    }
    report.Line("");
    report.Line(
        "**How exact the device model is.** Each direction keeps to the line's rate; it can fall "
        "a little behind when its thread wakes late, never run ahead, and whatever it loses "
        "lowers the ratios above by as much (measured from the host's end of its pty: intake "
        "timed between two console commands 65538 bytes apart, output over the replies to 1500 "
        "commands):");
    report.Line("");
    report.Line("| direction | measured B/s | line B/s | deviation |");
    report.Line("|---|---:|---:|---:|");
    report.Line(Format("| host to device | %.1f | %.0f | %+.3f %% |", pace.intakeBps,
                       kLineBytesPerSecond, (pace.intakeBps / kLineBytesPerSecond - 1) * 100));
    report.Line(Format("| device to host | %.1f | %.0f | %+.3f %% |", pace.outputBps,
                       kLineBytesPerSecond, (pace.outputBps / kLineBytesPerSecond - 1) * 100));
    report.Line("");
    report.Line(Format(
        "But the model is kinder than a line in two ways, which the unthrottled sender (every "
        "packet built beforehand, each written the moment the previous ACK is read) shows: its "
        "one-byte replies pass at once (it paces each direction on its own, and the reply "
        "direction is idle), and its intake allows a 5 ms burst, so up to 5 ms of host time per "
        "block is made up by the next packet. Its ceiling is therefore the packet bytes alone: "
        "%.0f B/s for 1K/CRC (%s of the limit) and %.0f B/s for 128/sum (%s), and any host that "
        "answers within 5 ms reaches it. Against the simulated device the ratio above says the "
        "host is not slower than that; it cannot say by how much it is faster.",
        kModes[0].FreeAckCeiling(),
        Percent(kModes[0].FreeAckCeiling() / kModes[0].FramingLimit()).c_str(),
        kModes[1].FreeAckCeiling(),
        Percent(kModes[1].FreeAckCeiling() / kModes[1].FramingLimit()).c_str()));
    report.Line("");
    report.Line(
        "**The exact line** measures the host instead: a receiver of our own on a bare pty that "
        "charges every byte its 86.8 us both ways and never makes up idle time. It writes each "
        "ACK when the packet and the ACK itself would have passed on the wire, and stamps the "
        "moment the next packet starts to arrive. The turn-around is that gap: the pty's two "
        "wake-ups (ours and the sender's) plus the sender's own work, so it is an upper bound "
        "on what the host adds; its mean is what throughput pays. The unthrottled sender on the "
        "same rig shows what the pty and this machine's scheduler cost any sender. Our job's CPU "
        "per block is the sender's own work.");
    report.Line("");
    report.Line(
        "| mode | sender | blocks | of the framing limit | turn-around mean | median | p99 | max "
        "| ACK later than due, median | CPU per block |");
    report.Line("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|");
    for (size_t m = 0; m < 2; ++m) {
        const ModeRuns& r = runs[m];
        for (const bool job : {true, false}) {
            const Exact& e = job ? r.exactOurs : r.exactUnthrottled;
            const double bps = rate(e.ok, exactSize, e.seconds);
            report.Line(Format(
                "| %s | %s | %zu | %s | %.0f us | %.0f us | %.0f us | %.0f us | %.0f us | %s |",
                kModes[m].name, job ? "quorvane" : "unthrottled", e.blocks,
                e.ok ? Percent(bps / kModes[m].FramingLimit()).c_str() : "failed",
                Mean(e.turnaround) * 1e6, Summarise(e.turnaround).median * 1e6,
                Quantile(e.turnaround, 0.99) * 1e6, Summarise(e.turnaround).max * 1e6,
                Summarise(e.late).median * 1e6,
                job && e.blocks > 0 ? Format("%.1f us", e.cpu / double(e.blocks) * 1e6).c_str()
                                    : ""));
        }
    }
    report.Line("");
    plot.Line("## 7. Throughput against image size\n");
    plot.Line(
        "The transfer stage of the real job into the simulated device at 115200 bit/s, one run "
        "per point, both modes, with each mode's framing limit (dashed) and the device model's "
        "ACK-free ceiling (dotted); the squares are the job on the exact line (section 1).\n");
    plot.Line("![Throughput against image size](performance.svg)\n");
    plot.Line("| image | 1K/CRC B/s | of limit | 128/sum B/s | of limit |");
    plot.Line("|---|---:|---:|---:|---:|");
    for (size_t i = 0; i < series[0].points.size() && i < series[1].points.size(); ++i) {
        const Point& a = series[0].points[i];
        const Point& b = series[1].points[i];
        plot.Line(Format("| %s | %.0f | %s | %.0f | %s |", SizeText(a.size).c_str(), a.bps,
                         Percent(a.bps / kModes[0].FramingLimit()).c_str(), b.bps,
                         Percent(b.bps / kModes[1].FramingLimit()).c_str()));
    }
    plot.Line("");
    for (size_t m = 0; m < 2; ++m) {
        double worst = 1e9;
        bool allOk = !series[m].points.empty();
        for (const Point& p : series[m].points) {
            allOk = allOk && p.bps > 0;
            worst = std::min(worst, p.bps / kModes[m].FramingLimit());
        }
        plot.Row(Format("7. Throughput against size, %s, %s .. %s", kModes[m].name,
                        SizeText(series[m].points.front().size).c_str(),
                        SizeText(series[m].points.back().size).c_str()),
                 allOk ? Format("lowest %s of the limit", Percent(worst).c_str()) : "failed",
                 ">= 99 %", Format("%.0f B/s", kModes[m].FramingLimit()),
                 Met(allOk && worst >= 0.99));
    }

    for (size_t m = 0; m < 2; ++m) {
        const XmodemMode& mode = kModes[m];
        const ModeRuns& r = runs[m];
        const double stage = rate(r.ours.ok, size, r.ours.seconds);
        const double alone = rate(r.ours.ok, size, r.ours.deviceSeconds);
        report.Row(
            Format("1. Line efficiency, %s, %s, transfer stage", mode.name, SizeText(size).c_str()),
            Format("%.0f B/s = %s", stage, Percent(stage / mode.FramingLimit()).c_str()), ">= 99 %",
            Format("%.0f B/s", mode.FramingLimit()), Met(stage >= 0.99 * mode.FramingLimit()));
        report.Row(
            Format("1. Line efficiency, %s, %s, XMODEM alone", mode.name, SizeText(size).c_str()),
            Format("%.0f B/s = %s", alone, Percent(alone / mode.FramingLimit()).c_str()), ">= 99 %",
            Format("%.0f B/s", mode.FramingLimit()), Met(alone >= 0.99 * mode.FramingLimit()));
        const Exact& e = r.exactOurs;
        const double exactRate = rate(e.ok, exactSize, e.seconds);
        report.Row(Format("1. Exact line, %s, %s: line efficiency", mode.name,
                          SizeText(exactSize).c_str()),
                   e.ok ? Format("%.0f B/s = %s (unthrottled sender: %s)", exactRate,
                                 Percent(exactRate / mode.FramingLimit()).c_str(),
                                 Percent(rate(r.exactUnthrottled.ok, exactSize,
                                              r.exactUnthrottled.seconds) /
                                         mode.FramingLimit())
                                     .c_str())
                        : "failed",
                   ">= 99 %", Format("%.0f B/s", mode.FramingLimit()),
                   ExactVerdict(e, r.exactUnthrottled, exactSize, mode));
        report.Row(Format("1. Exact line, %s: host turn-around per block, mean", mode.name),
                   e.ok ? Format("%.0f us (median %.0f us, CPU %.1f us)", Mean(e.turnaround) * 1e6,
                                 Summarise(e.turnaround).median * 1e6,
                                 e.blocks > 0 ? e.cpu / double(e.blocks) * 1e6 : 0.0)
                        : "failed",
                   "< 1 ms", Format("%.1f ms a block", (mode.packet + 1) * kByteSeconds * 1e3),
                   Met(e.ok && Mean(e.turnaround) < 1e-3));
    }
    const double worst = std::max(std::abs(pace.intakeBps / kLineBytesPerSecond - 1),
                                  std::abs(pace.outputBps / kLineBytesPerSecond - 1));
    report.Row("1. Device model's pacing, both directions",
               pace.ok ? Format("%.1f / %.1f B/s", pace.intakeBps, pace.outputBps) : "failed",
               "exact (within 0.25 %)", "11520 B/s", Met(pace.ok && worst < 0.0025));
    return 0;
}
