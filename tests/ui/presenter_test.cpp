#include "ui/presenter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "res/format.h"
#include "tests/support/temp_dir.h"

namespace {

// Logs every call as one line of text, so a test can compare the order of writes.
class RecordingView : public ProgressView {
  public:
    void SetStageLine(const char* text) override { Log("stage:", text); }
    void SetResultLine(const char* text) override { Log("result:", text); }
    void SetSizeLine(const char* text) override { Log("size:", text); }
    void SetTimeLine(const char* text) override { Log("time:", text); }
    void SetBarRange(uint32_t max) override { Log("range:", std::to_string(max)); }
    void SetBarPosition(uint32_t position) override { Log("pos:", std::to_string(position)); }
    void SetButtonCaption(const char* text) override { Log("button:", text); }
    void EndDialog(int modalResult) override { Log("end:", std::to_string(modalResult)); }

    std::vector<std::string> Take() { return std::exchange(calls_, {}); }

  private:
    void Log(const char* what, const std::string& text) { calls_.push_back(what + text); }
    std::vector<std::string> calls_;
};

// Stands in for the worker thread; it behaves like a real handle once closed.
class FakeWorker : public WorkerStatus {
  public:
    bool startSucceeds = true;
    bool queryWorks = true;
    uint32_t exitCode = kStillActive;
    int starts = 0;
    int closes = 0;

    bool Start() override {
        ++starts;
        return startSucceeds;
    }
    bool GetExitCode(uint32_t* code) override {
        if (starts == 0 || !startSucceeds || closes > 0 || !queryWorks) return false;
        *code = exitCode;
        return true;
    }
    void Close() override { ++closes; }
};

class FakeClock : public MillisecondClock {
  public:
    uint32_t now = 0;
    uint32_t NowMs() override { return now; }
};

constexpr uint32_t kRunning = kStillActive;
constexpr uint32_t kWrapMinus4096 = 0xFFFFF000u;  // 4096 ms before the counter wraps to zero

// What the job record, the worker and the clock say when a step runs.
struct World {
    uint32_t exitCode = kRunning;
    bool queryWorks = true;
    UpdateStage stage = StageNone;
    uint32_t imageSize = 0;
    uint32_t bytesSent = 0;
    uint32_t startMs = 0;
    uint32_t endMs = 0;
    uint32_t nowMs = 0;
};

enum class Act { Tick, Cancel };

struct Step {
    Act act;
    World world;
    std::vector<std::string> calls;  // what the view must receive, in order
    bool cancelRequested = false;    // the job's flag after the step
    bool timerStopped = false;
};

struct Scenario {
    const char* name;
    std::vector<Step> steps;
    bool startSucceeds = true;
};

const char* kSizeZero = "size:Transfer Size 0 / 1048576 Bytes";

std::vector<Scenario> Scenarios() {
    return {
        {"EndedAtTheFirstTick",
         {
             // The image cannot be opened: the worker is gone before the first tick.
             {Act::Tick,
              {.exitCode = ResultImageInvalid, .stage = StageCheckImage},
              {"result:Image File Is Invalid", "button:Close", "stage:Checking Image File..."},
              false,
              true},
             // A late tick finds the handle closed and changes nothing.
             {Act::Tick, {.exitCode = ResultImageInvalid, .stage = StageConnect}, {}, false, true},
             {Act::Cancel, {}, {"end:2"}, false, true},
         }},
        {"SuccessClosesWithOkAndKeepsTheLastStageLine",
         {
             {Act::Tick, {.stage = StageCheckImage}, {"stage:Checking Image File..."}},
             {Act::Tick, {.stage = StageCheckImage}, {}},
             {Act::Tick, {.stage = StageConnect}, {"stage:Connecting to Target..."}},
             {Act::Tick,
              {.stage = StageTransfer, .imageSize = 1048576, .startMs = 1000, .nowMs = 1100},
              {"stage:Transferring Image File...", "range:1048576", "pos:0", kSizeZero,
               "time:Elapse  0 sec / Remain  0 sec"}},
             {Act::Tick,
              {.stage = StageTransfer,
               .imageSize = 1048576,
               .bytesSent = 262144,
               .startMs = 1000,
               .nowMs = 21000},
              {"pos:262144", "size:Transfer Size 262144 / 1048576 Bytes",
               "time:Elapse 20 sec / Remain 60 sec"}},
             {Act::Tick,
              {.stage = StageUpdate,
               .imageSize = 1048576,
               .bytesSent = 1048576,
               .startMs = 1000,
               .endMs = 81999,
               .nowMs = 82100},
              {"pos:1048576", "size:Transfer Size 1048576 / 1048576 Bytes",
               "time:Elapse 80 sec / Remain  0 sec", "stage:Updating Image File..."}},
             {Act::Tick,
              {.stage = StageEnd, .imageSize = 1048576, .bytesSent = 1048576},
              {"stage:Update End"}},
             {Act::Tick,
              {.exitCode = ResultSuccess, .stage = StageNone},
              {"end:1", "result:", "button:Close"},
              false,
              true},
         }},
        {"CancelKeepsTheCaptionUntilTheWorkerEnds",
         {
             {Act::Tick, {.stage = StageConnect}, {"stage:Connecting to Target..."}},
             {Act::Cancel, {.stage = StageConnect}, {}, true},
             {Act::Cancel, {.stage = StageConnect}, {}, true},
             {Act::Tick, {.stage = StageConnect}, {}, true},
             {Act::Tick,
              {.exitCode = ResultCancelled, .stage = StageConnect},
              {"end:2", "result:", "button:Close"},
              true,
              true},
         }},
        {"CancelAnsweredWithAnErrorShowsIt",
         {
             {Act::Tick, {.stage = StageConnect}, {"stage:Connecting to Target..."}},
             {Act::Cancel, {.stage = StageConnect}, {}, true},
             {Act::Tick,
              {.exitCode = ResultPortIoError, .stage = StageConnect},
              {"result:Serial Port I/O Error", "button:Close"},
              true,
              true},
             {Act::Cancel, {}, {"end:2"}, true, true},
         }},
        {"TransferFailureRefreshesTheFiguresOnceMoreAndStaysOpen",
         {
             {Act::Tick,
              {.stage = StageTransfer,
               .imageSize = 20480,
               .bytesSent = 10239,
               .startMs = 500,
               .nowMs = 5500},
              {"stage:Transferring Image File...", "range:20480", "pos:10239",
               "size:Transfer Size 10239 / 20480 Bytes", "time:Elapse  5 sec / Remain  0 sec"}},
             // From 10240 bytes on the estimate applies: 10240 left at the same rate is 5 s.
             {Act::Tick,
              {.stage = StageTransfer,
               .imageSize = 20480,
               .bytesSent = 10240,
               .startMs = 500,
               .nowMs = 5500},
              {"pos:10240", "size:Transfer Size 10240 / 20480 Bytes",
               "time:Elapse  5 sec / Remain  5 sec"}},
             {Act::Tick,
              {.exitCode = ResultTransferFail,
               .stage = StageTransfer,
               .imageSize = 20480,
               .bytesSent = 15360,
               .startMs = 500,
               .nowMs = 9500},
              {"result:Image File Transfer Fail", "button:Close", "pos:15360",
               "size:Transfer Size 15360 / 20480 Bytes", "time:Elapse  9 sec / Remain  3 sec"},
              false,
              true},
             {Act::Tick, {.exitCode = ResultTransferFail, .nowMs = 99999}, {}, false, true},
             {Act::Cancel, {}, {"end:2"}, false, true},
             {Act::Cancel, {}, {"end:2"}, false, true},
         }},
        {"ConnectStraightToUpdateLeavesTheTemplateFigures",
         {
             {Act::Tick, {.stage = StageConnect}, {"stage:Connecting to Target..."}},
             {Act::Tick,
              {.stage = StageUpdate, .imageSize = 4096, .bytesSent = 4096, .endMs = 900},
              {"stage:Updating Image File..."}},
             {Act::Tick,
              {.exitCode = ResultUpdateFail, .stage = StageUpdate},
              {"result:Image File Update Fail", "button:Close"},
              false,
              true},
         }},
        {"StagesOutsideTheTableLeaveTheStageLine",
         {
             {Act::Tick, {.stage = StageConnect}, {"stage:Connecting to Target..."}},
             {Act::Tick, {.stage = UpdateStage(9)}, {}},
             {Act::Tick, {.stage = StageConnect}, {"stage:Connecting to Target..."}},
             {Act::Tick, {.stage = UpdateStage(-1)}, {}},
         }},
        {"ExitCodeOutsideTheResultsShowsNoText",
         {
             {Act::Tick, {.stage = StageCheckImage}, {"stage:Checking Image File..."}},
             {Act::Tick,
              {.exitCode = 0xC0000005u, .stage = StageCheckImage},
              {"result:", "button:Close"},
              false,
              true},
             {Act::Cancel, {}, {"end:2"}, false, true},
         }},
        {"ExitCodeEightShowsNoText",
         {
             {Act::Tick,
              {.exitCode = 8, .stage = StageConnect},
              {"result:", "button:Close", "stage:Connecting to Target..."},
              false,
              true},
         }},
        {"FailedQueryChangesNothingUntilItWorksAgain",
         {
             {Act::Tick, {.queryWorks = false, .stage = StageConnect}, {}},
             {Act::Tick,
              {.exitCode = ResultConnectFail, .queryWorks = false, .stage = StageConnect},
              {}},
             {Act::Tick,
              {.exitCode = ResultConnectFail, .stage = StageConnect},
              {"result:Tartget Connect Fail", "button:Close", "stage:Connecting to Target..."},
              false,
              true},
         }},
        {"ElapsedCountsAcrossTheWrap",
         {
             {Act::Tick,
              {.stage = StageTransfer,
               .imageSize = 8192,
               .bytesSent = 1024,
               .startMs = kWrapMinus4096,
               .nowMs = 2048},
              {"stage:Transferring Image File...", "range:8192", "pos:1024",
               "size:Transfer Size 1024 / 8192 Bytes", "time:Elapse  6 sec / Remain  0 sec"}},
             // The final figures wrap the same way.
             {Act::Tick,
              {.stage = StageUpdate,
               .imageSize = 8192,
               .bytesSent = 8192,
               .startMs = kWrapMinus4096,
               .endMs = 7000,
               .nowMs = 7100},
              {"pos:8192", "size:Transfer Size 8192 / 8192 Bytes",
               "time:Elapse 11 sec / Remain  0 sec", "stage:Updating Image File..."}},
         }},
        {"LargestImageAfterAnHour",
         {
             // Half of a 4 GiB - 1 image in an hour: the product needs 64 bits.
             {Act::Tick,
              {.stage = StageTransfer,
               .imageSize = 4294967295u,
               .bytesSent = 2147483648u,
               .startMs = 1000,
               .nowMs = 3601000},
              {"stage:Transferring Image File...", "range:4294967295", "pos:2147483648",
               "size:Transfer Size 2147483648 / 4294967295 Bytes",
               "time:Elapse 3600 sec / Remain 3599 sec"}},
             // Barely started: the quotient itself exceeds 32 bits and keeps its low half.
             {Act::Tick,
              {.stage = StageTransfer,
               .imageSize = 4294967295u,
               .bytesSent = 10240,
               .startMs = 1000,
               .nowMs = 3601000},
              {"pos:10240", "size:Transfer Size 10240 / 4294967295 Bytes",
               "time:Elapse 3600 sec / Remain 2412318 sec"}},
         }},
        {"WorkerThatNeverStartedStaysClosable",
         {
             {Act::Tick, {.stage = StageCheckImage}, {}, false, true},
             {Act::Cancel, {}, {"end:2"}, false, true},
         },
         false},
    };
}

void PrintTo(const Scenario& scenario, std::ostream* os) {
    *os << scenario.name;
}

class PresenterTicks : public testing::TestWithParam<Scenario> {};

TEST_P(PresenterTicks, ViewReceivesExactlyThis) {
    const Scenario& scenario = GetParam();
    RecordingView view;
    FakeWorker worker;
    worker.startSucceeds = scenario.startSucceeds;
    FakeClock clock;
    UpdateJob job;
    ProgressPresenter presenter(view, worker, clock, job);

    ASSERT_EQ(presenter.OnInitDialog(), scenario.startSucceeds);
    const std::vector<std::string> initCalls = view.Take();
    if (scenario.startSucceeds) {
        EXPECT_TRUE(initCalls.empty());
    } else {
        EXPECT_EQ(initCalls, std::vector<std::string>{"button:Close"});
    }
    EXPECT_EQ(presenter.TimerStopped(), !scenario.startSucceeds);
    EXPECT_EQ(worker.starts, 1);

    for (size_t i = 0; i < scenario.steps.size(); ++i) {
        const Step& step = scenario.steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        worker.exitCode = step.world.exitCode;
        worker.queryWorks = step.world.queryWorks;
        clock.now = step.world.nowMs;
        job.imageSize = step.world.imageSize;
        job.bytesSent = step.world.bytesSent;
        job.transferStartMs = step.world.startMs;
        job.transferEndMs = step.world.endMs;
        job.stage = step.world.stage;

        if (step.act == Act::Tick) {
            presenter.OnTimer();
        } else {
            presenter.OnCancel();
        }
        EXPECT_EQ(view.Take(), step.calls);
        EXPECT_EQ(job.cancelRequested.load(), step.cancelRequested);
        EXPECT_EQ(presenter.TimerStopped(), step.timerStopped);
        EXPECT_EQ(presenter.Finished(), step.timerStopped);
        // The handle is released exactly once, in the tick that sees the end.
        EXPECT_EQ(worker.closes, scenario.startSucceeds && step.timerStopped ? 1 : 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, PresenterTicks, testing::ValuesIn(Scenarios()),
                         [](const testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name);
                         });

struct EstimateCase {
    uint32_t imageSize;
    uint32_t bytesSent;
    uint32_t elapsedMs;
    uint32_t remainingMs;
};

TEST(RemainingMs, RateSoFarContinues) {
    const EstimateCase cases[] = {
        {1048576, 262144, 20000, 60000},
        {1048576, 0, 20000, 0},
        {1048576, 10239, 20000, 0},
        {20480, 10240, 5000, 5000},
        {10240, 10240, 5000, 0},
        {4294967295u, 2147483648u, 3600000, 3599999},
        {4294967295u, 10240, 3600000, 2412318752u},  // low 32 bits of 1509945839648
        {4294967295u, 4294967295u, 4294967295u, 0},
        // More sent than the size claims: the 32-bit difference wraps, as the arithmetic says.
        {10240, 20480, 1000, 209714700},  // 4294957056 * 1000 / 20480
    };
    for (const EstimateCase& c : cases) {
        EXPECT_EQ(RemainingMs(c.imageSize, c.bytesSent, c.elapsedMs), c.remainingMs)
            << c.bytesSent << " of " << c.imageSize << " after " << c.elapsedMs;
    }
}

struct IdentityCase {
    const char* text;
    bool check;
    const char* expected;  // 8 bytes
};

TEST(ProgressPresenterInit, IdentityComesFromTheSetting) {
    const IdentityCase cases[] = {
        {"ABCDEFGH12345678", true, "ABCDEFGH"},
        {"NEC61110NEC61110", true, "NEC61110"},
        {"NEC61110", false, "\0\0\0\0\0\0\0\0"},
        {"ABCDEFGH1234567", false, "\0\0\0\0\0\0\0\0"},
        {"ABCDEFGH123456789", false, "\0\0\0\0\0\0\0\0"},
        {"", false, "\0\0\0\0\0\0\0\0"},
        {nullptr, false, "\0\0\0\0\0\0\0\0"},
    };
    for (const IdentityCase& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        RecordingView view;
        FakeWorker worker;
        FakeClock clock;
        UpdateJob job;
        // Left over from an earlier job, to show that both fields are always written.
        job.identityCheck = !c.check;
        std::memset(job.expectedIdentity, 0x5A, sizeof job.expectedIdentity);
        ProgressPresenter presenter(view, worker, clock, job, c.text);
        ASSERT_TRUE(presenter.OnInitDialog());
        EXPECT_EQ(job.identityCheck, c.check);
        EXPECT_EQ(std::memcmp(job.expectedIdentity, c.expected, 8), 0);
    }
}

TEST(ProgressPresenterInit, TheTableSettingLeavesTheCheckOff) {
    RecordingView view;
    FakeWorker worker;
    FakeClock clock;
    UpdateJob job;
    job.identityCheck = true;
    ProgressPresenter presenter(view, worker, clock, job);
    ASSERT_TRUE(presenter.OnInitDialog());
    EXPECT_FALSE(job.identityCheck);
}

// The previous run's cancel request and figures must not leak into this one: the first tick
// may come before the new worker has reset them.
TEST(ProgressPresenterInit, StartsFromACleanRecord) {
    RecordingView view;
    FakeWorker worker;
    FakeClock clock;
    UpdateJob job;
    job.cancelRequested = true;
    job.stage = StageTransfer;
    job.imageSize = 1048576;
    job.bytesSent = 524288;
    ProgressPresenter presenter(view, worker, clock, job);
    ASSERT_TRUE(presenter.OnInitDialog());
    EXPECT_FALSE(job.cancelRequested.load());
    EXPECT_EQ(presenter.ShownStage(), StageNone);
    presenter.OnTimer();
    EXPECT_TRUE(view.Take().empty());
}

TEST(ProgressViewInitial, MatchesTheRowsItStandsFor) {
    char line[64];
    FormatMessagePair(line, sizeof line, LoadString(kIdsTransferSize), 0, 0);
    EXPECT_STREQ(kProgressViewInitial.sizeLine, line);
    // The layout's own wording: "Elapsed" and two spaces, where row 161 says "Elapse".
    EXPECT_STREQ(kProgressViewInitial.timeLine, "Elapsed  0 sec / Remain  0 sec");
    EXPECT_STREQ(kProgressViewInitial.stageLine, "Idle");
    EXPECT_STREQ(kProgressViewInitial.resultLine, "");
    EXPECT_STREQ(kProgressViewInitial.buttonCaption, "Cancel");
    EXPECT_EQ(kProgressViewInitial.barMax, 100u);
    EXPECT_EQ(kProgressViewInitial.barPosition, 0u);
}

// The presenter polling a real worker that runs a real job on a file that does not exist.
TEST(ProgressPresenterThreaded, MissingImageEndsWithItsText) {
    TempDir dir;
    const std::string missing = dir.File("missing.img");
    updateJob.imagePath = missing.c_str();
    updateJob.portDevice = nullptr;

    RecordingView view;
    UpdateWorker worker;
    TickClock clock;
    ProgressPresenter presenter(view, worker, clock);
    ASSERT_TRUE(presenter.OnInitDialog());

    const Deadline deadline = Deadline::After(5000);
    while (!presenter.TimerStopped() && !deadline.Expired()) {
        WaitUntil(Deadline::After(10));
        presenter.OnTimer();
    }
    ASSERT_TRUE(presenter.TimerStopped()) << "the job did not end within 5 s";
    std::vector<std::string> calls = view.Take();
    // The first ticks may see the worker before or after it entered its first stage; the end
    // always comes with this.
    ASSERT_GE(calls.size(), 3u);
    const std::vector<std::string> tail(calls.end() - 3, calls.end());
    const std::vector<std::string> withStage = {"result:Image File Is Invalid", "button:Close",
                                                "stage:Checking Image File..."};
    const std::vector<std::string> stageSeenEarlier = {
        "stage:Checking Image File...", "result:Image File Is Invalid", "button:Close"};
    EXPECT_TRUE(tail == withStage || tail == stageSeenEarlier) << testing::PrintToString(calls);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "stage:Checking Image File..."), 1);
    EXPECT_EQ(updateJob.stage.load(), StageCheckImage);

    presenter.OnTimer();
    EXPECT_TRUE(view.Take().empty());
    presenter.OnCancel();
    EXPECT_EQ(view.Take(), std::vector<std::string>{"end:2"});
    updateJob.imagePath = nullptr;
}

}  // namespace
