#include "bench/bench_support.h"

#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>

#include "engine/update_job.h"

namespace bench {

double Now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

void SleepUntil(double when) {
    timespec at{};
    at.tv_sec = time_t(when);
    at.tv_nsec = long((when - double(at.tv_sec)) * 1e9);
    if (at.tv_nsec >= 1000000000L) {
        at.tv_sec += 1;
        at.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

void WaitUntilPrecisely(double when) {
    SleepUntil(when - 0.0005);
    while (Now() < when) {
    }
}

double CpuSeconds(clockid_t clock) {
    timespec t{};
    if (clock_gettime(clock, &t) != 0) return -1;
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

namespace {
double Seconds(const timeval& t) {
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}
}  // namespace

Spread Summarise(std::vector<double> values) {
    Spread s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    s.count = values.size();
    s.min = values.front();
    s.max = values.back();
    const size_t n = values.size();
    s.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return s;
}

double Quantile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p * double(values.size()));
    const size_t index = rank < 1 ? 0 : size_t(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

std::string Machine() {
    std::string model = "unknown CPU";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0) {
            const size_t colon = line.find(':');
            if (colon != std::string::npos)
                model = line.substr(line.find_first_not_of(' ', colon + 1));
            break;
        }
    }
    utsname system{};
    uname(&system);
    return Format("%ld x %s (nproc %ld), Linux %s", sysconf(_SC_NPROCESSORS_ONLN), model.c_str(),
                  sysconf(_SC_NPROCESSORS_ONLN), system.release);
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(length > 0 ? size_t(length) : 0, '\0');
    if (length > 0) vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

JobWatch jobWatch;

int32_t WatchedJob(void* parameter) {
    clockid_t clock{};
    if (pthread_getcpuclockid(pthread_self(), &clock) == 0) jobWatch.cpuClock = clock;
    jobWatch.threadId = gettid();
    jobWatch.running = true;
    const UpdateResult result = RunUpdateJob(parameter);
    jobWatch.endedAt = Now();
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    jobWatch.cpuSeconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
    jobWatch.running = false;
    return result;
}

long VoluntarySwitches(pid_t threadId) {
    std::ifstream status(Format("/proc/self/task/%d/status", int(threadId)));
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return atol(line.c_str() + 24);
    }
    return -1;
}

std::string Option(int argc, char** argv, const char* name, const std::string& fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], name) == 0) return argv[i + 1];
    }
    return fallback;
}

uint64_t NumberOption(int argc, char** argv, const char* name, uint64_t fallback) {
    const std::string text = Option(argc, argv, name);
    if (text.empty()) return fallback;
    char* end = nullptr;
    const unsigned long long value = strtoull(text.c_str(), &end, 0);
    if (end == text.c_str() || *end != '\0') {
        fprintf(stderr, "%s takes a number, not \"%s\"\n", name, text.c_str());
        exit(64);
    }
    return value;
}

Report::Report(int argc, char** argv, std::string name)
    : dir_(Option(argc, argv, "--report")), name_(std::move(name)) {}

Report::~Report() {
    if (dir_.empty()) return;
    std::ofstream(dir_ + "/" + name_ + ".md") << section_;
    std::ofstream(dir_ + "/" + name_ + ".rows") << rows_;
}

void Report::Line(const std::string& markdown) {
    section_ += markdown + "\n";
}

void Report::Row(const std::string& figure, const std::string& measured, const std::string& goal,
                 const std::string& limit, const std::string& met) {
    rows_ += "| " + figure + " | " + measured + " | " + goal + " | " + limit + " | " + met + " |\n";
}

const char* Met(bool met) {
    return met ? "yes" : "**no**";
}

}  // namespace bench
