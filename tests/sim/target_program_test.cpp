// quorvane-target as a user runs it: its output lines, its flags, its exit codes.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_side.h"

extern char** environ;

namespace {

using simtest::HostPort;
using Clock = std::chrono::steady_clock;

// One run of the program with its stdout and stderr on pipes.
class Program {
  public:
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
        if (err_ >= 0) close(err_);
    }

    bool Spawn(const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment = {}) {
        int out[2];
        int err[2];
        if (pipe(out) != 0) return false;
        if (pipe(err) != 0) {
            close(out[0]);
            close(out[1]);
            return false;
        }
        for (const int fd : {out[0], out[1], err[0], err[1]})
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);

        std::vector<std::string> args{QUORVANE_TARGET_PROGRAM};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        std::vector<std::string> env = environment;
        for (char** entry = environ; *entry != nullptr; ++entry)
            env.emplace_back(*entry);
        std::vector<char*> envp;  // the first entry of a name wins
        for (std::string& entry : env)
            envp.push_back(entry.data());
        envp.push_back(nullptr);

        const int spawned =
            posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        out_ = out[0];
        err_ = err[0];
        if (spawned != 0) pid_ = -1;
        return spawned == 0;
    }

    // The next line of stdout without its line end; empty on timeout or end of file.
    std::string ReadLine(int timeoutMs = 3000) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const size_t end = stdout_.find('\n', lineStart_);
            if (end != std::string::npos) {
                std::string line = stdout_.substr(lineStart_, end - lineStart_);
                lineStart_ = end + 1;
                return line;
            }
            if (!Pump(deadline, false)) return {};
        }
    }

    // Waits for the program to end; its exit code, or -1 when it did not end in time.
    int Wait(int timeoutMs = 8000) {
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out_ >= 0 || err_ >= 0) {
            if (!Pump(deadline, true)) break;
        }
        if (out_ >= 0 || err_ >= 0) return -1;  // still running; the destructor kills it
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_) return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void Signal(int number) { kill(pid_, number); }
    const std::string& Stdout() const { return stdout_; }
    const std::string& Stderr() const { return stderr_; }

  private:
    // Reads what either pipe has; false at the deadline or, unless `both`, at stdout's end.
    bool Pump(Clock::time_point deadline, bool both) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (poll(fds, 2, int(left)) <= 0) return false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) continue;
            int& fd = i == 0 ? out_ : err_;
            char buffer[4096];
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? stdout_ : stderr_).append(buffer, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                close(fd);
                fd = -1;
                if (i == 0 && !both) return false;
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string stdout_;
    std::string stderr_;
    size_t lineStart_ = 0;
};

const std::string kServing = "quorvane-target: serving on ";

class TemporaryFolder {
  public:
    TemporaryFolder() : path_(simtest::MakeTemporaryFolder("sim-target")) {}
    ~TemporaryFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Wake, announce `image`, send it in 128-byte checksum blocks, end; returns the verdict bytes.
std::string Update(HostPort& host, const std::vector<uint8_t>& image) {
    host.Write(std::string(1, simtest::kEsc));
    host.ReadThrough('>');
    char command[32];
    snprintf(command, sizeof command, "UPDATE %zX\r\n", image.size());
    host.Write(command);
    host.ReadThrough('\n');  // echo
    host.ReadThrough('\n');  // accepted
    if (host.Read(1) != std::string(1, simtest::kNak)) return "no NAK to start with";
    for (size_t start = 0; start < image.size(); start += 128) {
        const size_t size = std::min<size_t>(128, image.size() - start);
        host.Write(simtest::Packet(false, uint8_t(start / 128 + 1),
                                   std::span(image.data() + start, size)));
        if (host.Read(1) != std::string(1, simtest::kAck)) return "block not acknowledged";
    }
    host.Write(std::string(1, simtest::kEot));
    return host.ReadThrough('>');
}

TEST(TargetProgram, HelpListsTheOptions) {
    Program program;
    ASSERT_TRUE(program.Spawn({"--help"}));
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_NE(program.Stdout().find("usage: quorvane-target"), std::string::npos);
    EXPECT_NE(program.Stdout().find("--cancel-after N"), std::string::npos);
}

class BadUsage : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(BadUsage, ExitsWith64BeforeServing) {
    Program program;
    ASSERT_TRUE(program.Spawn(GetParam()));
    EXPECT_EQ(program.Wait(), 64);
    EXPECT_EQ(program.Stdout().find(kServing), std::string::npos);
    EXPECT_NE(program.Stderr().find(GetParam()[0]), std::string::npos) << program.Stderr();
}

INSTANTIATE_TEST_SUITE_P(Cases, BadUsage,
                         ::testing::Values(std::vector<std::string>{"--bogus"},
                                           std::vector<std::string>{"--link"},
                                           std::vector<std::string>{"--link", "COM0"},
                                           std::vector<std::string>{"--verdict-delay", "soon"},
                                           std::vector<std::string>{"--boot-silent", "99999999999"},
                                           std::vector<std::string>{"--cancel-after", "-1"},
                                           std::vector<std::string>{"--nak-block", "0"},
                                           std::vector<std::string>{"--output"}));

TEST(TargetProgram, OnceWritesTheImageAndExitsZero) {
    TemporaryFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    const std::filesystem::path output = folder.Path() / "received.img";
    Program program;
    ASSERT_TRUE(program.Spawn({"--once", "--nak", "--quiet", "--output", output.string()}));
    const std::string line = program.ReadLine();
    ASSERT_EQ(line.rfind(kServing, 0), 0u) << line;
    HostPort host(line.substr(kServing.size()));
    ASSERT_TRUE(host.IsOpen()) << host.Error();

    const std::vector<uint8_t> image = simtest::Pattern(300);
    EXPECT_EQ(Update(host, image), std::string(1, simtest::kAck) + "\r\nDone\r\n>");
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_EQ(program.Stderr(), "");
    std::ifstream file(output, std::ios::binary);
    const std::vector<uint8_t> written((std::istreambuf_iterator<char>(file)),
                                       std::istreambuf_iterator<char>());
    EXPECT_TRUE(written == image) << written.size() << " bytes written";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()),
                            std::filesystem::directory_iterator()),
              1)
        << "a temporary file was left behind";
}

TEST(TargetProgram, OnceExitsOneWhenTheHostCancels) {
    Program program;
    ASSERT_TRUE(program.Spawn({"--once"}));
    const std::string line = program.ReadLine();
    ASSERT_EQ(line.rfind(kServing, 0), 0u) << line;
    HostPort host(line.substr(kServing.size()));
    ASSERT_TRUE(host.IsOpen()) << host.Error();
    ASSERT_TRUE(host.Write("UPDATE 400\r\n"));
    host.ReadThrough('C');
    ASSERT_TRUE(host.Write(std::string(2, simtest::kCan)));
    EXPECT_EQ(program.Wait(), 1);
    EXPECT_NE(program.Stderr().find("transfer aborted"), std::string::npos) << program.Stderr();
}

TEST(TargetProgram, LinkServesUntilTerminatedThenGoes) {
    TemporaryFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    Program program;
    ASSERT_TRUE(program.Spawn({"--link", "COM7", "--identity", "ABCD-123"},
                              {"XDG_CONFIG_HOME=" + folder.Path().string()}));
    const std::string serving = program.ReadLine();
    ASSERT_EQ(serving.rfind(kServing, 0), 0u) << serving;
    const std::string port = serving.substr(kServing.size());
    EXPECT_EQ(program.ReadLine(), "quorvane-target: linked as COM7 -> " + port);
    const std::filesystem::path alias = folder.Path() / "quorvane" / "ports" / "COM7";
    EXPECT_EQ(std::filesystem::read_symlink(alias).string(), port);

    {
        HostPort host(alias.string());
        ASSERT_TRUE(host.IsOpen()) << host.Error();
        ASSERT_TRUE(host.Write(std::string(1, simtest::kEsc) + "IDENT\r\n"));
        EXPECT_EQ(host.ReadThrough('>'), "\r\n>");
        EXPECT_EQ(host.ReadThrough('>'), "IDENT\r\nABCD-123\r\n>");
    }
    program.Signal(SIGTERM);
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(alias));
    EXPECT_NE(program.Stderr().find("quorvane-target: woke\n"), std::string::npos);
    EXPECT_NE(program.Stderr().find("quorvane-target: command IDENT\n"), std::string::npos);
}

}  // namespace
