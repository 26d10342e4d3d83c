// What the benchmark programs share: clocks, figures over repeated runs, the machine they ran
// on, and the pieces of docs/PERFORMANCE.md each program leaves for bench/run-all.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Monotonic seconds.
double Now();

// Sleeps until `when` on the monotonic clock (Now()'s scale).
void SleepUntil(double when);

// Sleeps to within half a millisecond of `when`, then spins the rest: for a peer that must act
// on time to the microsecond, where a sleep alone ends 50 to 200 us late.
void WaitUntilPrecisely(double when);

// CPU seconds a thread has used so far, by its clock id; -1 when the clock cannot be read.
double CpuSeconds(clockid_t clock);

struct Spread {
    double median = 0;
    double min = 0;
    double max = 0;
    size_t count = 0;
};
Spread Summarise(std::vector<double> values);
// The p-th quantile (0..1) by nearest rank; 0 for no values.
double Quantile(std::vector<double> values, double p);

// "2 x AMD EPYC" with nproc and the kernel, for the report's header.
std::string Machine();

// printf into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The update job on a worker, with what a benchmark needs to know about its thread: its CPU
// clock while it runs, and when and how it ended. Start the job with WatchedJob as the entry.
struct JobWatch {
    std::atomic<bool> running{false};
    std::atomic<clockid_t> cpuClock{0};
    std::atomic<pid_t> threadId{0};
    std::atomic<double> endedAt{0};     // Now() when RunUpdateJob returned
    std::atomic<double> cpuSeconds{0};  // the worker's whole CPU time, set at its end
};
extern JobWatch jobWatch;
int32_t WatchedJob(void* parameter);

// How often a thread of this process has given up the CPU of its own accord (each wait that
// blocked); -1 when it cannot be read.
long VoluntarySwitches(pid_t threadId);

// Command-line values: `--name VALUE`; the fallback when the option is absent. A number that
// does not parse ends the program with status 64.
std::string Option(int argc, char** argv, const char* name, const std::string& fallback = "");
uint64_t NumberOption(int argc, char** argv, const char* name, uint64_t fallback);

// One program's share of the report: a section of markdown and rows for the summary table
// (figure | measured | goal | limit | met). Written to DIR/<name>.md and DIR/<name>.rows when
// the program was given --report DIR; otherwise only printed.
class Report {
  public:
    Report(int argc, char** argv, std::string name);
    ~Report();  // writes the files
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    // Appends markdown to the section (a line end is added).
    void Line(const std::string& markdown);
    void Row(const std::string& figure, const std::string& measured, const std::string& goal,
             const std::string& limit, const std::string& met);

  private:
    std::string dir_;
    std::string name_;
    std::string section_;
    std::string rows_;
};

// "yes" or "**no**", so a missed goal stands out in the table.
const char* Met(bool met);

}  // namespace bench
