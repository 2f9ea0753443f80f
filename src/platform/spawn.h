// Starting another program hidden, the way ShellExecuteW with a hidden window starts a tool: no
// terminal interaction (its own session, standard input from /dev/null, standard output
// discarded; standard error stays with ours, so a tool's diagnostics reach the log).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/process.h"

namespace bw::platform {

// A started program. Dropping the handle does not end the program; its exit is collected in the
// background so that it never lingers as a zombie.
class ChildProcess {
  public:
    explicit ChildProcess(ProcessId pid) : pid_(pid) {}
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    ProcessId Id() const { return pid_; }
    // Waits up to timeoutMs (-1: no limit) for the program to end; its exit code, or 128 plus
    // the signal number when a signal ended it; nullopt while it still runs.
    std::optional<int> Wait(int timeoutMs);
    bool IsRunning() { return !Wait(0).has_value(); }
    // Ends the program (it cannot refuse) and collects its exit.
    void Kill();

  private:
    ProcessId pid_;
    std::optional<int> exitCode_;
};

// Splits a Windows command line into arguments as the C runtime does: white space separates,
// double quotes group, 2n backslashes before a quote give n backslashes, 2n+1 give n and a
// literal quote, and backslashes elsewhere are literal ("\\.\pipe\X" stays as it is).
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// Starts `program` (a path) with the arguments of the command line. Null (with `error`) when the
// program cannot be started.
std::unique_ptr<ChildProcess> StartHidden(const std::string& program, std::string_view commandLine,
                                          std::string& error);
std::unique_ptr<ChildProcess> StartHidden(const std::string& program,
                                          const std::vector<std::string>& arguments,
                                          std::string& error);

}  // namespace bw::platform
