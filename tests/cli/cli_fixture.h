// The built quorvane-cli run as a person runs it, with its own working directory, a private
// config folder whose COM1 alias leads to a real pseudo-terminal, and an empty folder in place of
// /dev, so nothing on the machine running the tests changes what the program finds.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/pty.h"
#include "tests/support/temp_dir.h"

namespace cli_testing {

namespace fs = std::filesystem;

constexpr uint32_t kRunTimeoutMs = 10000;
constexpr int kExitUsage = 64;

// Every path below `root`, so a test can tell that a run created or removed nothing.
inline std::set<std::string> Listing(const std::string& root) {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        paths.insert(entry.path().string());
    }
    return paths;
}

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A working directory with an image in it, a private config folder whose COM1 alias leads to a
// real pseudo-terminal, an empty device folder, a private lock folder, and files that catch the
// program's output.
class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(work_.Path().empty());
        ASSERT_FALSE(config_.Path().empty());
        ASSERT_FALSE(output_.Path().empty());
        ASSERT_FALSE(devices_.Path().empty());
        ASSERT_FALSE(locks_.Path().empty());
        ASSERT_TRUE(device_.Ok());
        image_ = work_.Write("image.img", PatternBytes(4000, 7));
        fs::create_directories(config_.Path() + "/quorvane/ports");
        fs::create_symlink(device_.SlavePath(), config_.Path() + "/quorvane/ports/COM1");
    }

    struct Run {
        int exitCode;
        std::string out;
        std::string err;
    };

    // Starts the program in the working directory with the private config folder.
    bool Start(Child* child, const std::vector<std::string>& args) const {
        Launch launch;
        launch.argv.push_back(QUORVANE_CLI_PATH);
        launch.argv.insert(launch.argv.end(), args.begin(), args.end());
        launch.env = {{"XDG_CONFIG_HOME", configHome_.empty() ? config_.Path() : configHome_},
                      {"QUORVANE_DEVICE_DIR", devices_.Path()},
                      {"QUORVANE_LOCK_DIR", locks_.Path()}};
        launch.cwd = runIn_.empty() ? work_.Path() : runIn_;
        launch.out = Stdio::File(output_.File("stdout"));
        launch.err = Stdio::File(output_.File("stderr"));
        return child->Start(launch);
    }

    Run RunCli(const std::vector<std::string>& args) const {
        Child child;
        if (!Start(&child, args)) return {-2, "", ""};
        const int code = child.Wait(kRunTimeoutMs);
        return {code, ReadWholeFile(output_.File("stdout")), ReadWholeFile(output_.File("stderr"))};
    }

    TempDir work_;
    TempDir config_;
    TempDir output_;
    TempDir devices_;
    TempDir locks_;  // the lock folder in place of /run/lock
    PtyPeer device_;
    std::string image_;
    std::string configHome_;  // empty: config_
    std::string runIn_;       // the working directory; empty: work_
};

}  // namespace cli_testing
