#include "tests/support/target_program.h"

#include <signal.h>

#include "platform/platform.h"

const std::string kServing = "quorvane-target: serving on ";

namespace {

constexpr uint32_t kStartTimeoutMs = 10000;

const std::string& HelpText() {
    static const std::string help = [] {
        TargetProgram program;
        if (!program.Spawn({"--help"}) || program.Wait(kStartTimeoutMs) != 0) return std::string();
        return program.Stdout();
    }();
    return help;
}

}  // namespace

TargetProgram::~TargetProgram() {
    if (child_.Signal(SIGTERM)) child_.Wait(kStartTimeoutMs);
}

bool TargetProgram::Takes(const std::string& flag) {
    return HelpText().find("  " + flag + " ") != std::string::npos;
}

bool TargetProgram::Spawn(const std::vector<std::string>& arguments, const Environment& environment,
                          const std::string& stderrPath) {
    Launch launch;
    launch.argv = {QUORVANE_TARGET_PATH};
    launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
    launch.env = environment;
    launch.out = Stdio::Pipe();
    launch.err = stderrPath.empty() ? Stdio::Pipe() : Stdio::File(stderrPath);
    lineStart_ = 0;
    return child_.Start(launch);
}

std::string TargetProgram::Serve(const std::vector<std::string>& arguments,
                                 const Environment& environment) {
    if (!Spawn(arguments, environment)) return {};
    const std::string line = ReadLine();
    return line.starts_with(kServing) ? line.substr(kServing.size()) : std::string();
}

bool TargetProgram::Link(const std::string& configHome, const std::string& port,
                         const std::string& received, std::vector<std::string> knobs,
                         const std::string& logPath) {
    std::vector<std::string> arguments = {"--link", port, "--output", received, "--once"};
    bool rateGiven = false;
    for (const std::string& knob : knobs)
        rateGiven = rateGiven || knob == "--line-rate";
    // A device that paces itself as a real line would make every test take seconds.
    if (!rateGiven && Takes("--line-rate")) knobs.insert(knobs.begin(), {"--line-rate", "0"});
    arguments.insert(arguments.end(), knobs.begin(), knobs.end());
    if (!Spawn(arguments, {{"XDG_CONFIG_HOME", configHome}}, logPath)) return false;
    // The alias is made after the device serves; it is there once the device says so.
    const Deadline deadline = Deadline::After(kStartTimeoutMs);
    for (std::string line = ReadLine(kStartTimeoutMs); !line.empty() && !deadline.Expired();
         line = ReadLine(deadline.RemainingMs())) {
        if (line.find("linked as ") != std::string::npos) return true;
    }
    return false;
}

std::string TargetProgram::ReadLine(uint32_t timeoutMs) {
    FdStream& out = child_.Out();
    const Deadline deadline = Deadline::After(timeoutMs);
    for (;;) {
        // Stdout keeps everything, so the lines are found in place rather than taken.
        const std::string_view all = out.Unread();
        const size_t end = all.find('\n', lineStart_);
        if (end != std::string_view::npos) {
            const std::string line(all.substr(lineStart_, end - lineStart_));
            lineStart_ = end + 1;
            return line;
        }
        if (deadline.Expired() || out.Ended() || !out.Fill(deadline.RemainingMs())) return {};
    }
}
