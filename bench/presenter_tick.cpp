// One tick of the progress presenter during the transfer (poll the worker, read the record,
// format both lines, set the bar) against a view that does nothing, with Google Benchmark; the
// sender's CRC of one 1K block alongside, for scale. Takes Google Benchmark's own flags too.
//   presenter_tick [--report DIR] [--benchmark_...]
#include <stdio.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "engine/xmodem.h"
#include "tests/support/temp_dir.h"
#include "ui/presenter.h"

namespace {

class NoView final : public ProgressView {
  public:
    void SetStageLine(const char* text) override { benchmark::DoNotOptimize(text); }
    void SetResultLine(const char* text) override { benchmark::DoNotOptimize(text); }
    void SetSizeLine(const char* text) override { benchmark::DoNotOptimize(text); }
    void SetTimeLine(const char* text) override { benchmark::DoNotOptimize(text); }
    void SetBarRange(uint32_t max) override { benchmark::DoNotOptimize(max); }
    void SetBarPosition(uint32_t position) override { benchmark::DoNotOptimize(position); }
    void SetButtonCaption(const char* text) override { benchmark::DoNotOptimize(text); }
    void EndDialog(int modalResult) override { benchmark::DoNotOptimize(modalResult); }
};

// A worker that is always still running, as it is for every tick of a transfer.
class RunningWorker final : public WorkerStatus {
  public:
    bool Start() override { return true; }
    bool GetExitCode(uint32_t* code) override {
        *code = kStillActive;
        return true;
    }
    void Close() override {}
};

class SteppingClock final : public MillisecondClock {
  public:
    uint32_t now = 5000;
    uint32_t NowMs() override { return now += 100; }
};

void PresenterTick(benchmark::State& state) {
    NoView view;
    RunningWorker worker;
    SteppingClock clock;
    UpdateJob job;
    ProgressPresenter presenter(view, worker, clock, job, nullptr);
    presenter.OnInitDialog();
    constexpr uint32_t kImage = 1u << 20;
    job.imageSize.store(kImage);
    job.transferStartMs.store(clock.now);
    job.stage.store(StageTransfer, std::memory_order_release);
    presenter.OnTimer();  // the stage change and the bar's range happen once, not per tick
    uint32_t sent = 0;
    for (auto _ : state) {
        sent = sent + 1024 < kImage ? sent + 1024 : 20480;
        job.bytesSent.store(sent, std::memory_order_relaxed);
        presenter.OnTimer();
    }
    if (presenter.ShownStage() != StageTransfer) state.SkipWithError("left the transfer stage");
}
BENCHMARK(PresenterTick)->Repetitions(5);

void Crc16Of1KBlock(benchmark::State& state) {
    const std::string block = PatternBytes(1024, 3);
    const auto* bytes = reinterpret_cast<const uint8_t*>(block.data());
    for (auto _ : state) {
        benchmark::DoNotOptimize(Crc16Xmodem(bytes, 1024));
    }
}
BENCHMARK(Crc16Of1KBlock)->Repetitions(5);

// Google Benchmark's console output, with each repetition's time kept for the report.
class Keeper final : public benchmark::ConsoleReporter {
  public:
    // Colour only on a terminal: a log or a pipe gets plain text.
    Keeper() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}

    std::map<std::string, std::vector<double>> ns;  // per benchmark, per repetition
    std::map<std::string, bool> failed;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const std::string name = run.run_name.function_name;
            if (run.error_occurred) failed[name] = true;
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            ns[name].push_back(run.GetAdjustedRealTime() * NsPer(run.time_unit));
        }
        ConsoleReporter::ReportRuns(runs);
    }

  private:
    static double NsPer(benchmark::TimeUnit unit) {
        switch (unit) {
            case benchmark::kSecond:
                return 1e9;
            case benchmark::kMillisecond:
                return 1e6;
            case benchmark::kMicrosecond:
                return 1e3;
            default:
                return 1;
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    bench::Report report(argc, argv, "6-presenter-tick");
    // Our own option is not Google Benchmark's; take it out before it sees the rest.
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::string(argv[i]) == "--report" && i + 1 < argc) {
            ++i;
            continue;
        }
        rest.push_back(argv[i]);
    }
    int restCount = int(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 64;
    Keeper keeper;
    benchmark::RunSpecifiedBenchmarks(&keeper);
    benchmark::Shutdown();

    const bench::Spread tick = bench::Summarise(keeper.ns["PresenterTick"]);
    const bench::Spread crc = bench::Summarise(keeper.ns["Crc16Of1KBlock"]);
    const bool tickOk = tick.count > 0 && !keeper.failed["PresenterTick"];
    report.Line("## 6. Presenter tick\n");
    report.Line(bench::Format(
        "Google Benchmark of one `ProgressPresenter::OnTimer` during `StageTransfer` with a "
        "view that does nothing: it polls the worker, reads the job record, works out the "
        "estimate, formats the size and time lines and sets the bar; `bytesSent` moves on "
        "every tick. %zu repetitions, each Google Benchmark's own choice of iterations. The "
        "sender's CRC of one 1K block is there for scale.\n",
        tick.count));
    report.Line("| benchmark | median | fastest | slowest repetition |");
    report.Line("|---|---:|---:|---:|");
    report.Line(bench::Format("| one tick during the transfer | %.0f ns | %.0f ns | %.0f ns |",
                              tick.median, tick.min, tick.max));
    report.Line(bench::Format("| CRC-16 of a 1024-byte block | %.0f ns | %.0f ns | %.0f ns |",
                              crc.median, crc.min, crc.max));
    report.Line("");
    report.Row("6. Presenter tick (one OnTimer in StageTransfer)",
               tickOk ? bench::Format("%.2f us (slowest repetition %.2f us)", tick.median / 1e3,
                                      tick.max / 1e3)
                      : "failed",
               "a few us at most", "100 ms tick period", bench::Met(tickOk && tick.max < 5000));
    return 0;
}
