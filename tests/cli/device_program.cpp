#include "tests/cli/device_program.h"

#include <signal.h>
#include <unistd.h>

namespace {

constexpr uint32_t kStartTimeoutMs = 10000;

const std::string& HelpText() {
    static const std::string help = [] {
        char folder[] = "/tmp/quorvane-device-help.XXXXXX";
        if (mkdtemp(folder) == nullptr) return std::string();
        const std::string out = std::string(folder) + "/help";
        Child child;
        ChildSpec launch;
        launch.argv = {QUORVANE_TARGET_PATH, "--help"};
        launch.stdoutPath = out;
        std::string text;
        if (child.Start(launch) && child.Wait(kStartTimeoutMs) == 0) text = ReadWholeFile(out);
        unlink(out.c_str());
        rmdir(folder);
        return text;
    }();
    return help;
}

}  // namespace

DeviceProgram::~DeviceProgram() {
    if (child_.Signal(SIGTERM)) child_.Wait(kStartTimeoutMs);
}

bool DeviceProgram::Takes(const std::string& flag) {
    return HelpText().find("  " + flag + " ") != std::string::npos;
}

bool DeviceProgram::Start(const std::string& configHome, const std::string& port,
                          const std::string& received, std::vector<std::string> knobs,
                          const std::string& logPath) {
    ChildSpec launch;
    launch.argv = {QUORVANE_TARGET_PATH, "--link", port, "--output", received, "--once"};
    bool rateGiven = false;
    for (const std::string& knob : knobs)
        rateGiven = rateGiven || knob == "--line-rate";
    // A device that paces itself as a real line would make every test take seconds.
    if (!rateGiven && Takes("--line-rate")) knobs.insert(knobs.begin(), {"--line-rate", "0"});
    launch.argv.insert(launch.argv.end(), knobs.begin(), knobs.end());
    launch.env = {{"XDG_CONFIG_HOME", configHome}};
    launch.stdoutPipe = true;
    launch.stderrPath = logPath;
    if (!child_.Start(launch)) return false;
    // The alias is made after the device serves; it is there once the device says so.
    const std::string banner = child_.ReadStdoutUntil("linked as ", kStartTimeoutMs);
    return banner.find("linked as ") != std::string::npos;
}
