// Processes by executable name, and sleeping.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace bw::platform {

using ProcessId = int;

// Running processes whose executable file name equals exeName, ignoring letter case.
std::vector<ProcessId> FindProcesses(std::string_view exeName);

// Ends the process (it cannot refuse). False when it does not exist or may not be signalled.
bool TerminateProcess(ProcessId pid);

void Sleep(unsigned milliseconds);

}  // namespace bw::platform
