// The fault matrix: the update job, in process, against the simulated device over real ptys,
// through line noise, device faults, unplugged devices, a held port, bad images and a long run of
// jobs with random knobs. One row per case: the results seen, how many successes left the device
// holding exactly the image, time, CPU and the descriptors left open.
//
// This is the harness the families of cases share and the report they make. The test suite
// (faults_test.cpp) runs every row at the short scale; bench/faults.cpp is the program that
// prints the matrix at either scale.
#pragma once

#include <stdio.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "engine/update_job.h"
#include "sim/random.h"
#include "sim/sim_device.h"

namespace faults {

// ---- Measures of the whole process ------------------------------------------------------------

double WallS();
// User and system time of every thread: the job's worker, the device's thread and this one.
double ProcessCpuS();
int OpenFds();
long RssKiB();

// ---- Scale and options ------------------------------------------------------------------------

struct Options {
    bool full = false;
    std::string markdown;
    std::string only;
    uint64_t seed = 1;
    int runs = 0;          // 0: the scale's
    bool judgeRss = true;  // off under sanitizers, whose allocators hold freed memory back
};

struct Scale {
    int runs;           // per case
    size_t noiseImage;  // corrupted lines
    size_t dropImage;   // lossy lines: every lost byte costs the receiver's second of silence
    size_t replyImage;  // device faults, vanishing, the held port
    int soakJobs;
    size_t soakMaxImage;
    uint32_t boundMs;  // a job still running this long is cancelled and counted as wrong
};

constexpr Scale kShort{2, 16384, 2048, 8192, 50, 8192, 120000};
constexpr Scale kFull{10, 65536, 16384, 65536, 1000, 32768, 900000};

// ---- The job, measured ------------------------------------------------------------------------

extern std::atomic<double> jobCpuS;    // the last MeasuredJob's worker CPU seconds
extern std::atomic<bool> jobAsNobody;  // the next job runs with file-system uid 65534
int32_t MeasuredJob(void* parameter);  // RunUpdateJob with the two above

// ---- The device, watched ----------------------------------------------------------------------

struct DeviceNews {
    bool ended = false;      // its transfer ended, one way or the other
    bool completed = false;  // EOT acknowledged
    bool aborted = false;
    std::string abortReason;
    uint32_t endedAtMs = 0;
    std::vector<std::string> verdicts;
    std::string garbage;
};

// A started simulated device whose events are collected as they happen.
class Sim {
  public:
    explicit Sim(sim::DeviceConfig config = {});
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;

    bool Ok() const { return started_; }
    const std::string& Error() const { return error_; }
    sim::Device& Device() { return *device_; }
    DeviceNews News() const;
    std::string Received() const;

  private:
    void On(const sim::Event& event);

    mutable std::mutex mutex_;
    DeviceNews news_;  // outlives the device, whose thread reports to it
    std::unique_ptr<sim::Device> device_;
    std::string error_;
    bool started_ = false;
};

// ---- One job ----------------------------------------------------------------------------------

struct Watch {
    uint32_t boundMs = 60000;
    // True once the device has stopped answering for good (stalled, unplugged): the job must still
    // be waiting holdMs later, and is then cancelled, as a person would.
    std::function<bool()> stopped;
    uint32_t holdMs = 300;
};

struct JobEnd {
    int32_t result = -1;  // -1: did not end, even when cancelled
    UpdateStage stage = StageNone;
    int systemError = 0;
    bool cancelled = false;  // by the harness, once Watch::stopped had held for holdMs
    bool hung = false;       // waited on after the device had ended its transfer; cancelled
    bool timedOut = false;   // still running at its bound; cancelled
    double cpuS = 0;
    double wallS = 0;
};

JobEnd RunJob(const std::string& image, Sim& sim, const Watch& watch);
JobEnd RunJob(const std::string& image, Sim& sim, uint32_t boundMs);

// The result as the table shows it: "3", "1h" (hung, then cancelled), "1t" (at its bound).
std::string Label(const JobEnd& end);

// ---- Small helpers the families share ----------------------------------------------------------

uint32_t BlockSize(bool crc);
uint32_t Blocks(size_t size, bool crc);
std::string Hex(size_t value);
std::string Fixed(double value, int decimals);
std::string ErrnoName(int error);
std::string List(const std::vector<uint32_t>& values);

// ---- Rows -------------------------------------------------------------------------------------

using Counts = std::vector<std::pair<std::string, int>>;
// "0 x2, 6 x1"
std::string Join(const Counts& counts);

struct Row {
    std::string name;  // as the table shows it
    std::string key;   // the case's name, which --only matches
    int runs = 0;
    Counts seen;
    int successes = 0;
    int verified = 0;
    int wrong = 0;
    int unexpected = 0;
    double wallS = 0;
    double cpuS = 0;
    double jobCpuS = 0;
    int fdsLeft = 0;
    Counts notes;
    std::vector<std::string> figures;
    double startWall = 0;
    double startCpu = 0;
    int startFds = 0;
};

class Matrix;

// One row of the matrix: its name and what runs its jobs.
struct FaultCase {
    std::string name;
    std::function<void(Matrix&, Row&)> run;
    bool fullOnly = false;  // left out of the short run: its case cannot promise a pass there
};

// The families, one file each, in the order the matrix shows them.
std::vector<FaultCase> LineCases();    // a clean line, noise, the ACK of EOT, garbage
std::vector<FaultCase> ReplyCases();   // what the device says
std::vector<FaultCase> VanishCases();  // the device goes away or falls silent
std::vector<FaultCase> HeldCases();    // another program holds the port
std::vector<FaultCase> ImageCases();   // bad images
std::vector<FaultCase> SoakCases();    // many jobs in a row with random knobs
std::vector<FaultCase> AllCases();

class Matrix {
  public:
    Matrix(const Options& options, const Scale& scale) : options_(options), scale_(scale) {}

    const Options& options() const { return options_; }
    const Scale& scale() const { return scale_; }
    bool Full() const { return options_.full; }
    bool JudgeRss() const { return options_.judgeRss; }
    int Runs(int fallback) const { return options_.runs > 0 ? options_.runs : fallback; }
    int Runs() const { return Runs(scale_.runs); }
    uint64_t Seed(int run) const { return options_.seed + uint64_t(run); }

    // Runs the case as a row, unless --only leaves it out or it is left to --full.
    void Run(const FaultCase& c);

    // False, with the reason in the row, when the run's device did not start.
    bool Started(Row& row, uint64_t seed, const Sim& sim);
    // The job on the file at `path` into `sim`, within the scale's bound (and cancelled once
    // `stopped` has held a moment): seen by the row, and a success checked against `image`.
    JobEnd Job(Row& row, uint64_t seed, Sim& sim, const std::string& path, const std::string& image,
               std::function<bool()> stopped = nullptr);

    void Saw(Row& row, const JobEnd& end);
    void Note(Row& row, const std::string& note, int n = 1);
    void Figure(Row& row, const std::string& figure) { row.figures.push_back(figure); }
    void Expect(Row& row, bool ok, uint64_t seed, const std::string& what);
    // A success must mean the device holds exactly the image: anything else is the worst fault
    // this matrix can find.
    void CheckSuccess(Row& row, const JobEnd& end, Sim& sim, const std::string& image,
                      uint64_t seed);

    bool Failed() const { return !problems_.empty(); }
    // Each with the command line that repeats it.
    const std::vector<std::string>& Problems() const { return problems_; }
    // The rows of the short run left to --full.
    const std::vector<std::string>& LeftOut() const { return leftOut_; }

    // The report (report.cpp): the table as text, and as markdown under `header`.
    void Print(FILE* out) const;
    bool WriteMarkdown(const std::string& path, const std::string& header) const;

  private:
    void Problem(const Row& row, uint64_t seed, const std::string& what);

    Options options_;
    Scale scale_;
    std::vector<std::unique_ptr<Row>> rows_;
    std::vector<std::string> problems_;
    std::vector<std::string> leftOut_;
};

// One row for each entry of a family's table of cases, each run by `run` with its entry.
template <typename Case, size_t N>
std::vector<FaultCase> RowsOf(const Case (&table)[N], void (*run)(Matrix&, Row&, const Case&)) {
    std::vector<FaultCase> rows;
    for (const Case& c : table)
        rows.push_back({c.name, [run, &c](Matrix& m, Row& row) { run(m, row, c); }});
    return rows;
}

// What the results and columns mean, for under the table.
extern const char kLegend[];
// "faults --short, seed 1, <date>, <machine>", and the rows left to --full.
std::string Header(const Matrix& matrix);

}  // namespace faults
