// Children over pipes, as a many-board run uses them: what they write comes back, closing their
// input is their end of input, their exit codes and signals are told apart; and records that are
// appended durably or replaced in one step.

#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/process.h"
#include "tests/support/temp_dir.h"

namespace {

std::string ReadUntilEnd(ChildProcess* child) {
    std::string out;
    char buffer[256];
    for (const Deadline wait = Deadline::After(5000); !wait.Expired();) {
        ChildProcess* children[] = {child};
        WaitForChildren(children, 1, 100);
        const int n = ReadChildOutput(child, buffer, sizeof buffer);
        if (n < 0) break;
        out.append(buffer, size_t(n));
    }
    return out;
}

TEST(ChildProcesses, OutputInputAndExitCodes) {
    const struct {
        const char* what;
        std::vector<std::string> argv;
        std::string input;  // written, then the input is closed
        std::string output;
        int exitCode;
    } cases[] = {
        {"echoes its input until its end", {"/bin/cat"}, "one\ntwo\n", "one\ntwo\n", 0},
        {"an exit code", {"/bin/sh", "-c", "echo bye; exit 3"}, "", "bye\n", 3},
        {"a signal", {"/bin/sh", "-c", "kill -TERM $$"}, "", "", 128 + 15},
        {"stderr is not on the output", {"/bin/sh", "-c", "echo hidden >&2"}, "", "", 0},
        {"a program that is not there", {"/nonexistent/program"}, "", "", 127},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ChildProcess child;
        int error = 0;
        ASSERT_TRUE(StartChildProcess(c.argv, &child, &error)) << error;
        if (!c.input.empty()) {
            EXPECT_TRUE(WriteChildInput(&child, c.input.data(), c.input.size()));
        }
        close(int(child.input));  // the child reads the end of its input
        child.input = -1;
        EXPECT_EQ(ReadUntilEnd(&child), c.output);
        EXPECT_TRUE(ReapChildProcess(&child, 5000));
        EXPECT_EQ(child.exitCode, c.exitCode);
        CloseChildProcess(&child);
    }
}

TEST(ChildProcesses, OwnExecutableIsThisTest) {
    const std::string path = OwnExecutablePath();
    EXPECT_NE(path.find("platform_process_test"), std::string::npos) << path;
}

TEST(Records, AppendedDurablyAndReplacedInOneStep) {
    TempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    const std::string report = dir.File("report.jsonl");
    int error = 0;
    EXPECT_TRUE(AppendDurably(report.c_str(), "{\"a\":1}\n", &error));
    EXPECT_TRUE(AppendDurably(report.c_str(), "{\"b\":2}\n", &error));
    std::string text;
    EXPECT_TRUE(ReadWholeFileInto(report.c_str(), &text, &error));
    EXPECT_EQ(text, "{\"a\":1}\n{\"b\":2}\n");

    const std::string junit = dir.File("junit.xml");
    EXPECT_TRUE(ReplaceFileAtomically(junit.c_str(), "old", &error));
    EXPECT_TRUE(ReplaceFileAtomically(junit.c_str(), "new", &error));
    EXPECT_TRUE(ReadWholeFileInto(junit.c_str(), &text, &error));
    EXPECT_EQ(text, "new");
    EXPECT_EQ(MatchDeviceNames((dir.Path() + "/*").c_str()),
              (std::vector<std::string>{junit, report}));  // no temporary file left

    EXPECT_FALSE(AppendDurably(dir.File("missing/report.jsonl").c_str(), "x", &error));
    EXPECT_EQ(error, ENOENT);
    EXPECT_TRUE(IsFolder(dir.Path().c_str()));
    EXPECT_FALSE(IsFolder(report.c_str()));
}

}  // namespace
