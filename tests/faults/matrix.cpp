#include "tests/faults/matrix.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <optional>

#include "platform/platform.h"
#include "tests/support/job_runner.h"

namespace faults {

// ---- Measures of the whole process ------------------------------------------------------------

namespace {
double Seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}
}  // namespace

double WallS() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double ProcessCpuS() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

int OpenFds() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - 1;  // the listing's own descriptor
}

long RssKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// ---- The job, measured ------------------------------------------------------------------------

std::atomic<double> jobCpuS{0};
std::atomic<bool> jobAsNobody{false};

int32_t MeasuredJob(void* parameter) {
    // Root opens any file whatever its mode. A file-system uid of nobody, on this thread alone,
    // takes that away from the job, as if an ordinary user had started it.
    const bool drop = jobAsNobody.load();
    int oldGid = 0, oldUid = 0;
    if (drop) {
        oldGid = setfsgid(65534);
        oldUid = setfsuid(65534);
    }
    const UpdateResult result = RunUpdateJob(parameter);
    if (drop) {
        setfsuid(uid_t(oldUid));
        setfsgid(gid_t(oldGid));
    }
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    jobCpuS = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    return result;
}

// ---- The device, watched ----------------------------------------------------------------------

Sim::Sim(sim::DeviceConfig config) {
    config.onEvent = [this](const sim::Event& event) { On(event); };
    device_ = std::make_unique<sim::Device>(std::move(config));
    started_ = device_->Start(&error_);
}

void Sim::On(const sim::Event& event) {
    std::lock_guard lock(mutex_);
    const auto ended = [this] {
        news_.ended = true;
        news_.endedAtMs = TickMs();
    };
    switch (event.kind) {
        case sim::EventKind::TransferDone:
            news_.completed = true;
            ended();
            break;
        case sim::EventKind::TransferAborted:
            news_.aborted = true;
            news_.abortReason = event.text;
            ended();
            break;
        case sim::EventKind::Verdict:
            news_.verdicts.push_back(event.text);
            break;
        case sim::EventKind::GarbageSent:
            news_.garbage += event.text;
            break;
        default:
            break;
    }
}

DeviceNews Sim::News() const {
    std::lock_guard lock(mutex_);
    return news_;
}

std::string Sim::Received() const {
    const std::vector<uint8_t> bytes = device_->Received();
    return std::string(bytes.begin(), bytes.end());
}

// ---- One job ----------------------------------------------------------------------------------

// A job still waiting this long after the device ended its transfer waits for good: the device
// answers at once, so only a lost reply (the ACK of EOT, the device's CAN) leaves it there.
constexpr uint32_t kHangGraceMs = 3000;

JobEnd RunJob(const std::string& image, Sim& sim, const Watch& watch) {
    JobEnd end;
    JobRunner job(image, sim.Device().PortPath());
    jobCpuS = 0;
    const double start = WallS();
    if (!job.Start(MeasuredJob)) return end;
    const Deadline bound = Deadline::After(watch.boundMs);
    std::optional<Deadline> hold;
    int32_t result = -1;
    while ((result = job.Wait(10)) < 0) {
        if (watch.stopped && !hold && watch.stopped()) hold = Deadline::After(watch.holdMs);
        if (hold && hold->Expired()) {
            end.cancelled = true;
            break;
        }
        const DeviceNews news = sim.News();
        if (news.ended && TickMs() - news.endedAtMs >= kHangGraceMs) {
            end.hung = true;
            break;
        }
        if (bound.Expired()) {
            end.timedOut = true;
            break;
        }
    }
    if (result < 0) {
        job.Cancel();
        result = job.Wait(5000);
    }
    end.result = result;
    end.stage = GetStage();
    end.systemError = updateJob.systemError;
    end.cpuS = jobCpuS.load();
    end.wallS = WallS() - start;
    return end;
}

JobEnd RunJob(const std::string& image, Sim& sim, uint32_t boundMs) {
    Watch watch;
    watch.boundMs = boundMs;
    return RunJob(image, sim, watch);
}

std::string Label(const JobEnd& end) {
    if (end.result < 0) return "none";
    std::string label = std::to_string(end.result);
    if (end.hung) label += "h";
    if (end.timedOut) label += "t";
    return label;
}

// ---- Small helpers ----------------------------------------------------------------------------

uint32_t BlockSize(bool crc) {
    return crc ? 1024 : 128;
}

uint32_t Blocks(size_t size, bool crc) {
    return uint32_t((size + BlockSize(crc) - 1) / BlockSize(crc));
}

std::string Hex(size_t value) {
    char text[32];
    snprintf(text, sizeof text, "%zX", value);
    return text;
}

std::string Fixed(double value, int decimals) {
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string ErrnoName(int error) {
    static const std::pair<int, const char*> kNames[] = {
        {0, "0"},
        {ENOENT, "ENOENT"},
        {EACCES, "EACCES"},
        {EISDIR, "EISDIR"},
        {EINVAL, "EINVAL"},
        {EFBIG, "EFBIG"},
        {ELOOP, "ELOOP"},
        {ENXIO, "ENXIO"},
        {EBUSY, "EBUSY"},
        {ENOTDIR, "ENOTDIR"},
        {EWOULDBLOCK, "EWOULDBLOCK"},
        {EIO, "EIO"},
        {ENODEV, "ENODEV"},
    };
    for (const auto& [value, name] : kNames) {
        if (value == error) return name;
    }
    return std::to_string(error);
}

std::string List(const std::vector<uint32_t>& values) {
    std::string text;
    for (const uint32_t value : values)
        text += (text.empty() ? "" : ", ") + std::to_string(value);
    return text;
}

namespace {

void Count(Counts& counts, const std::string& key, int n = 1) {
    for (auto& [name, count] : counts) {
        if (name == key) {
            count += n;
            return;
        }
    }
    counts.emplace_back(key, n);
}

std::string Differences(const std::string& got, const std::string& image) {
    size_t first = 0;
    while (first < got.size() && first < image.size() && got[first] == image[first])
        ++first;
    size_t differing = 0;
    for (size_t i = 0; i < got.size() && i < image.size(); ++i)
        differing += got[i] != image[i];
    return "device holds " + std::to_string(got.size()) + " bytes for an image of " +
           std::to_string(image.size()) + ", " + std::to_string(differing) +
           " differ, the first at offset " + std::to_string(first);
}

}  // namespace

std::string Join(const Counts& counts) {
    std::string text;
    for (const auto& [name, count] : counts) {
        if (!text.empty()) text += ", ";
        text += name + " x" + std::to_string(count);
    }
    return text;
}

// ---- The matrix -------------------------------------------------------------------------------

std::vector<FaultCase> AllCases() {
    std::vector<FaultCase> all;
    for (auto family : {LineCases, ReplyCases, VanishCases, HeldCases, ImageCases, SoakCases}) {
        for (FaultCase& c : family())
            all.push_back(std::move(c));
    }
    return all;
}

void Matrix::Run(const FaultCase& c) {
    if (!options_.only.empty() && c.name.find(options_.only) == std::string::npos) return;
    if (c.fullOnly && !options_.full) {
        leftOut_.push_back(c.name);
        return;
    }
    rows_.push_back(std::make_unique<Row>());
    Row& row = *rows_.back();
    row.name = row.key = c.name;
    row.startFds = OpenFds();
    row.startWall = WallS();
    row.startCpu = ProcessCpuS();
    fprintf(stderr, "  %-58s ", c.name.c_str());
    fflush(stderr);

    c.run(*this, row);

    row.wallS = WallS() - row.startWall;
    row.cpuS = ProcessCpuS() - row.startCpu;
    row.fdsLeft = OpenFds() - row.startFds;
    Expect(row, row.fdsLeft == 0, options_.seed,
           std::to_string(row.fdsLeft) + " descriptors more open than before the row");
    fprintf(stderr, "%3d runs %8.2f s  %s\n", row.runs, row.wallS, Join(row.seen).c_str());
}

bool Matrix::Started(Row& row, uint64_t seed, const Sim& sim) {
    Expect(row, sim.Ok(), seed, "device: " + sim.Error());
    return sim.Ok();
}

JobEnd Matrix::Job(Row& row, uint64_t seed, Sim& sim, const std::string& path,
                   const std::string& image, std::function<bool()> stopped) {
    Watch watch;
    watch.boundMs = scale_.boundMs;
    watch.stopped = std::move(stopped);
    const JobEnd end = RunJob(path, sim, watch);
    Saw(row, end);
    CheckSuccess(row, end, sim, image, seed);
    return end;
}

void Matrix::Saw(Row& row, const JobEnd& end) {
    ++row.runs;
    Count(row.seen, Label(end));
    row.jobCpuS += end.cpuS;
}

void Matrix::Note(Row& row, const std::string& note, int n) {
    Count(row.notes, note, n);
}

void Matrix::Expect(Row& row, bool ok, uint64_t seed, const std::string& what) {
    if (ok) return;
    ++row.unexpected;
    Problem(row, seed, what);
}

void Matrix::CheckSuccess(Row& row, const JobEnd& end, Sim& sim, const std::string& image,
                          uint64_t seed) {
    if (end.result != ResultSuccess) return;
    ++row.successes;
    const std::string got = sim.Received();
    if (got == image && sim.Device().UpdatesCompleted() >= 1) {
        ++row.verified;
        return;
    }
    ++row.wrong;
    Problem(row, seed, "SUCCESS WITH A WRONG IMAGE: " + Differences(got, image));
}

void Matrix::Problem(const Row& row, uint64_t seed, const std::string& what) {
    std::string text = row.name + " (seed " + std::to_string(seed) + "): " + what +
                       "\n    repeat: build/bin/faults" + (options_.full ? " --full" : "") +
                       " --only '" + row.key + "' --seed " + std::to_string(seed) + " --runs 1";
    fprintf(stderr, "\n  ! %s\n", text.c_str());
    problems_.push_back(std::move(text));
}

}  // namespace faults
