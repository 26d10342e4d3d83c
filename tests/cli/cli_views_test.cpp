// The terminal front end's views, driven by the real presenter over a scripted job record, a
// fake worker and a fake clock: what each shows for whole runs, tick by tick.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "cli/json.h"
#include "cli/log_view.h"
#include "cli/terminal_view.h"
#include "tests/cli/json_lines.h"
#include "tests/cli/screen.h"
#include "tests/support/temp_dir.h"
#include "ui/presenter.h"

namespace {

class FakeWorker final : public WorkerStatus {
  public:
    uint32_t exitCode = kStillActive;
    bool closed = false;
    bool Start() override { return true; }
    bool GetExitCode(uint32_t* code) override {
        if (closed) return false;
        *code = exitCode;
        return true;
    }
    void Close() override { closed = true; }
};

class FakeClock final : public MillisecondClock {
  public:
    uint32_t now = 0;
    uint32_t NowMs() override { return now; }
};

// The record, the worker and the clock at one tick.
struct Tick {
    uint32_t nowMs;
    UpdateStage stage;
    uint32_t imageSize = 0;
    uint32_t bytesSent = 0;
    uint32_t startMs = 0;
    uint32_t endMs = 0;
    uint32_t exitCode = kStillActive;
};

constexpr uint32_t kSize = 102400;
constexpr uint32_t kStartMs = 250;

// Checks, connects, then sends 9216 bytes a tick from t=400 to 1300, the last 10240 between two
// ticks (the transfer ends at 1380), and succeeds at 1500 after the device's verdict.
std::vector<Tick> SuccessfulRun() {
    std::vector<Tick> run = {{100, StageCheckImage}, {200, StageConnect}};
    for (uint32_t t = 300; t <= 1300; t += 100) {
        run.push_back({t, StageTransfer, kSize, (t - 300) / 100 * 9216, kStartMs});
    }
    run.push_back({1400, StageUpdate, kSize, kSize, kStartMs, 1380});
    run.push_back({1500, StageNone, kSize, kSize, kStartMs, 1380, ResultSuccess});
    return run;
}

// The device refuses the rest of the transfer after 20480 bytes.
std::vector<Tick> RefusedTransfer() {
    return {{100, StageCheckImage},
            {200, StageConnect},
            {300, StageTransfer, kSize, 10240, kStartMs},
            {400, StageTransfer, kSize, 20480, kStartMs, 0, ResultTransferFail}};
}

// The image cannot be opened: the worker has ended before the first tick.
std::vector<Tick> MissingImage() {
    return {{100, StageCheckImage, 0, 0, 0, 0, ResultImageInvalid}};
}

// Runs the presenter over `run`, calling `afterTick` after each tick that did not end it, then
// closes the window as quorvane-cli does and finishes the view.
void Play(ConsoleView& view, const std::vector<Tick>& run, FakeClock& clock,
          const std::function<void(uint32_t nowMs)>& afterTick = nullptr) {
    UpdateJob job;
    FakeWorker worker;
    ProgressPresenter presenter(view, worker, clock, job, "NEC61110");
    ASSERT_TRUE(presenter.OnInitDialog());
    view.Begin();
    for (const Tick& tick : run) {
        clock.now = tick.nowMs;
        job.imageSize = tick.imageSize;
        job.bytesSent = tick.bytesSent;
        job.transferStartMs = tick.startMs;
        job.transferEndMs = tick.endMs;
        job.stage.store(tick.stage, std::memory_order_release);
        worker.exitCode = tick.exitCode;
        presenter.OnTimer();
        if (presenter.TimerStopped()) break;
        view.AfterTick();
        if (afterTick) afterTick(tick.nowMs);
    }
    ASSERT_TRUE(presenter.TimerStopped());
    if (view.ModalResult() == 0) presenter.OnCancel();
    view.Finish(worker.exitCode, "");
}

bool HasControlCharacters(const std::string& text) {
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7F) return true;
    }
    return false;
}

const std::string kBarFull = "[" + std::string(40, '#') + "] 100%";
const std::string kBarEmpty = "[" + std::string(40, '.') + "]   0%";

TEST(TerminalView, RedrawsOneBlockInPlaceAndEndsWithTheLastFrame) {
    const struct {
        const char* what;
        std::vector<Tick> run;
        std::vector<std::string> finalScreen;
    } cases[] = {
        // The window closes on success; the terminal's last frame says so instead.
        {"success",
         SuccessfulRun(),
         {"Update End", "Transfer Size 102400 / 102400 Bytes", kBarFull,
          "Elapse  1 sec / Remain  0 sec"}},
        {"transfer refused",
         RefusedTransfer(),
         {"Transferring Image File...", "Image File Transfer Fail",
          "Transfer Size 20480 / 102400 Bytes", "[########................................]  20%",
          "Elapse  0 sec / Remain  0 sec"}},
        {"ended before the first tick",
         MissingImage(),
         {"Checking Image File...", "Image File Is Invalid", "Transfer Size 0 / 0 Bytes", kBarEmpty,
          "Elapsed  0 sec / Remain  0 sec"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StringOutput out;
        TerminalView view(out);
        view.SetColumns(100);
        Screen screen;
        std::vector<std::string> midTransfer;
        FakeClock clock;
        Play(view, c.run, clock, [&](uint32_t nowMs) {
            screen.Feed(out.Text());
            out.Clear();
            EXPECT_FALSE(screen.CursorVisible()) << "at " << nowMs;
            if (nowMs == 800) midTransfer = screen.Lines();
        });
        screen.Feed(out.Text());
        EXPECT_EQ(screen.Lines(), c.finalScreen);
        EXPECT_TRUE(screen.CursorVisible());
        EXPECT_EQ(screen.CursorRow(), c.finalScreen.size()) << "the cursor is left under the block";
        EXPECT_TRUE(screen.Unknown().empty()) << screen.Unknown().front();
        if (std::string(c.what) == "success") {
            const std::vector<std::string> expected = {
                "Transferring Image File...", "Transfer Size 46080 / 102400 Bytes",
                "[##################......................]  45%", "Elapse  0 sec / Remain  0 sec",
                "[ Cancel ]  Ctrl-C"};
            EXPECT_EQ(midTransfer, expected);
        }
    }
}

TEST(TerminalView, FirstFrameShowsTheWindowsInitialTextsWithTheCursorHidden) {
    StringOutput out;
    TerminalView view(out);
    view.Begin();
    Screen screen;
    screen.Feed(out.Text());
    const std::vector<std::string> expected = {"Idle", "Transfer Size 0 / 0 Bytes", kBarEmpty,
                                               "Elapsed  0 sec / Remain  0 sec",
                                               "[ Cancel ]  Ctrl-C"};
    EXPECT_EQ(screen.Lines(), expected);
    EXPECT_FALSE(screen.CursorVisible());
    // Nothing changed, so nothing is written again.
    out.Clear();
    view.Draw();
    EXPECT_EQ(out.Text(), "");
}

TEST(TerminalView, NarrowTerminalGetsShorterLinesThatNeverWrap) {
    for (const unsigned columns : {20u, 33u, 48u}) {
        SCOPED_TRACE(columns);
        StringOutput out;
        TerminalView view(out);
        view.SetColumns(columns);
        view.SetBarRange(100);
        view.SetBarPosition(50);
        view.CancelPressed(2, "Cancelling: waiting for the device to acknowledge, a long text");
        Screen screen;
        screen.Feed(out.Text());
        ASSERT_EQ(screen.Lines().size(), 5u);
        for (const std::string& line : screen.Lines()) {
            EXPECT_LT(line.size(), columns) << line;
        }
        // The bar keeps its percentage, only the bar itself narrows.
        EXPECT_NE(screen.Lines()[2].find("50%"), std::string::npos) << screen.Lines()[2];
    }
}

TEST(TerminalView, CancelNoticeReplacesTheHintAtOnceAndClearsTheEchoedInterrupt) {
    StringOutput out;
    TerminalView view(out);
    view.Begin();
    Screen screen;
    screen.Feed(out.Text());
    out.Clear();
    // The terminal echoes Ctrl-C where the cursor stands, under the block.
    screen.Feed("^C");
    view.CancelPressed(1, "");
    EXPECT_EQ(out.Text(), "") << "no notice, nothing to redraw";
    view.CancelPressed(2, "Cancelling: waiting for the device");
    screen.Feed(out.Text());
    const std::vector<std::string> expected = {"Idle", "Transfer Size 0 / 0 Bytes", kBarEmpty,
                                               "Elapsed  0 sec / Remain  0 sec",
                                               "[ Cancel ]  Cancelling: waiting for the device"};
    EXPECT_EQ(screen.Lines(), expected);
}

TEST(TerminalView, AfterAStopTheNextFrameStartsBelowWhatTheShellWrote) {
    StringOutput out;
    TerminalView view(out);
    view.Begin();
    Screen screen;
    screen.Feed(out.Text());
    out.Clear();
    screen.Feed("[1]+  Stopped\r\n$ fg\r\n");
    view.StartAfresh();
    view.Draw();
    screen.Feed(out.Text());
    const std::vector<std::string> lines = screen.Lines();
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[5], "[1]+  Stopped");
    EXPECT_EQ(lines[7], "Idle");
}

TEST(PlainLogView, OneLinePerChangeFiguresAtMostOncePerSecondAndAlwaysTheLast) {
    const struct {
        const char* what;
        std::vector<Tick> run;
        std::string log;
    } cases[] = {
        {"success", SuccessfulRun(),
         "stage: Checking Image File...\n"
         "stage: Connecting to Target...\n"
         "stage: Transferring Image File...\n"
         "size: Transfer Size 0 / 102400 Bytes\n"
         "time: Elapse  0 sec / Remain  0 sec\n"
         // 1000 ms after the first figures; the ones between were held back.
         "size: Transfer Size 92160 / 102400 Bytes\n"
         "time: Elapse  1 sec / Remain  0 sec\n"
         // The transfer's final figures, 100 ms later: only the size line changed.
         "size: Transfer Size 102400 / 102400 Bytes\n"
         "stage: Updating Image File...\n"
         // The window never showed it (the job passed it between two ticks); the log names it.
         "stage: Update End\n"},
        {"transfer refused", RefusedTransfer(),
         "stage: Checking Image File...\n"
         "stage: Connecting to Target...\n"
         "stage: Transferring Image File...\n"
         "size: Transfer Size 10240 / 102400 Bytes\n"
         "time: Elapse  0 sec / Remain  0 sec\n"
         "size: Transfer Size 20480 / 102400 Bytes\n"
         "result: Image File Transfer Fail\n"},
        {"ended before the first tick", MissingImage(),
         "stage: Checking Image File...\n"
         "result: Image File Is Invalid\n"},
        {"stages passed between two ticks",
         {{100, StageConnect},
          {200, StageUpdate, 5000, 5000, 150, 180},
          {300, StageNone, 5000, 5000, 150, 180, ResultSuccess}},
         "stage: Checking Image File...\n"
         "stage: Connecting to Target...\n"
         "stage: Transferring Image File...\n"
         "stage: Updating Image File...\n"
         "stage: Update End\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StringOutput out;
        FakeClock clock;
        PlainLogView view(out, clock);
        // The view's throttle reads the same clock the presenter's figures come from.
        Play(view, c.run, clock);
        EXPECT_EQ(out.Text(), c.log);
        EXPECT_FALSE(HasControlCharacters(out.Text()));
    }
}

TEST(JsonLogView, EveryChangeIsOneObjectALineThatParses) {
    TempDir scratch;
    StringOutput out;
    JsonLogView view(out);
    view.Start("dir/\"quoted\" image\n.img", "COM3", "/dev/ttyS2");
    FakeClock clock;
    Play(view, SuccessfulRun(), clock);
    const JsonLines parsed = ParseJsonLines(out.Text(), scratch.Path());
    ASSERT_TRUE(parsed.ok) << parsed.error << out.Text();
    std::vector<std::string> stages;
    std::vector<std::string> progress;
    for (const std::string& line : parsed.canonical) {
        if (line.find("\"event\":\"stage\"") != std::string::npos) stages.push_back(line);
        if (line.find("\"event\":\"progress\"") != std::string::npos) progress.push_back(line);
    }
    EXPECT_EQ(parsed.canonical.front(),
              R"({"device":"/dev/ttyS2","event":"start","image":"dir/\"quoted\" image\n.img",)"
              R"("port":"COM3"})");
    const std::vector<std::string> expectedStages = {
        R"({"event":"stage","stage":1,"text":"Checking Image File..."})",
        R"({"event":"stage","stage":2,"text":"Connecting to Target..."})",
        R"({"event":"stage","stage":3,"text":"Transferring Image File..."})",
        R"({"event":"stage","stage":4,"text":"Updating Image File..."})",
        R"({"event":"stage","stage":5,"text":"Update End"})",
    };
    EXPECT_EQ(stages, expectedStages);
    // Every tick of the transfer, then its final figures.
    ASSERT_EQ(progress.size(), 12u);
    EXPECT_EQ(progress.front(), R"({"elapsed":0,"event":"progress","remaining":0,"sent":0,)"
                                R"("size":102400})");
    EXPECT_EQ(progress[2], R"({"elapsed":0,"event":"progress","remaining":1,"sent":18432,)"
                           R"("size":102400})");
    EXPECT_EQ(progress.back(), R"({"elapsed":1,"event":"progress","remaining":0,"sent":102400,)"
                               R"("size":102400})");
    EXPECT_EQ(parsed.canonical.back(),
              R"({"bytesSent":0,"code":0,"device":"","event":"result","identity":"",)"
              R"("imageSize":0,"systemError":0,"systemErrorText":"","text":"","transferMs":0,)"
              R"("version":""})");
}

TEST(JsonString, AnyBytesBecomeAStringThatDecodesToThem) {
    TempDir scratch;
    const struct {
        std::string bytes;
        std::string decoded;  // as Python's json.dumps writes the decoded text, ASCII only
    } cases[] = {
        {"plain", R"("plain")"},
        {"quote \" and backslash \\", R"("quote \" and backslash \\")"},
        {"tab\tnewline\ncr\rbell\x07" + std::string(1, '\0') + "del\x7f",
         R"("tab\tnewline\ncr\rbell\u0007\u0000del\u007f")"},
        {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
         R"("\u00e9t\u00e9 \u20ac \ud83d\ude00")"},
        // Broken UTF-8: a lone continuation byte, a truncated sequence, an overlong '/', a
        // surrogate, and a byte that never starts one.
        {"a\x80z \xe2\x82 \xc0\xaf \xed\xa0\x80 \xff",
         R"("a\ufffdz \ufffd\ufffd \ufffd\ufffd \ufffd\ufffd\ufffd \ufffd")"},
    };
    std::string lines;
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        lines += "{\"s\":" + JsonString(c.bytes) + "}\n";
        expected.push_back("{\"s\":" + c.decoded + "}");
    }
    const JsonLines parsed = ParseJsonLines(lines, scratch.Path());
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(parsed.canonical, expected);
}

TEST(ReadTwoNumbers, TakesTheFiguresOutOfTheWindowsTexts) {
    const struct {
        const char* text;
        uint32_t first, second;
    } cases[] = {
        {"Transfer Size 1024 / 262144 Bytes", 1024, 262144},
        {"Elapse  5 sec / Remain 60 sec", 5, 60},
        {"Elapse 4294967 sec / Remain 123 sec", 4294967, 123},
        {"no figures", 0, 0},
        {"one 7", 7, 0},
    };
    for (const auto& c : cases) {
        uint32_t first = 99, second = 99;
        ReadTwoNumbers(c.text, &first, &second);
        EXPECT_EQ(first, c.first) << c.text;
        EXPECT_EQ(second, c.second) << c.text;
    }
}

}  // namespace
