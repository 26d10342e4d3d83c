// A child program with its standard input and output on pipes (lrzsz peers, our own programs).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class PipedChild {
  public:
    // Starts `argv` in `workDir` (empty: the current one). Check Running().
    PipedChild(const std::vector<std::string>& argv, const std::string& workDir = "");
    ~PipedChild();  // kills a child that still runs
    PipedChild(const PipedChild&) = delete;
    PipedChild& operator=(const PipedChild&) = delete;

    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    int In() const { return in_; }    // write end of the child's stdin
    int Out() const { return out_; }  // read end of the child's stdout
    void CloseIn();
    // Waits for the exit; the status as from waitpid, or -1.
    int Wait();

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
};

// Copies bytes both ways between a pty master and a child's pipes until the child has closed its
// stdout, then reaps it. Returns the child's exit status.
int RelayUntilExit(int ptyMaster, PipedChild& child);

// Where a program lives on PATH, or "" when it is not installed.
std::string FindProgram(const std::string& name);
