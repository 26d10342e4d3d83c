#include "tests/cli/terminal_child.h"

#include "platform/platform.h"

bool TerminalChild::Start(const std::vector<std::string>& argv,
                          const std::vector<std::pair<std::string, std::string>>& env,
                          const std::string& cwd, unsigned columns, unsigned rows) {
    Launch launch;
    launch.argv = argv;
    launch.env = env;
    launch.cwd = cwd;
    launch.terminal = true;
    launch.columns = columns;
    launch.rows = rows;
    return child_.Start(launch);
}

void TerminalChild::Catch() {
    const std::string_view all = Transcript();
    screen_.Feed(all.substr(shown_));
    shown_ = all.size();
}

bool TerminalChild::ReadUntil(const std::function<bool(const Screen&)>& done, uint32_t timeoutMs) {
    const Deadline deadline = Deadline::After(timeoutMs);
    FdStream& terminal = child_.Out();
    for (Catch(); !done(screen_); Catch()) {
        if (deadline.Expired() || terminal.Ended()) return false;
        terminal.Fill(deadline.RemainingMs());
    }
    return true;
}

int TerminalChild::Wait(uint32_t timeoutMs) {
    const int code = child_.Wait(timeoutMs);
    Catch();
    return code;
}
