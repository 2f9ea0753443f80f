#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/files.h"
#include "platform/process.h"

namespace bw::platform {

namespace {

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// The executable's file name: from the link /proc/PID/exe when we may read it, else from the
// first word of the command line (kernel threads have neither and are skipped).
std::string ExecutableName(const std::string& procFolder) {
    std::string target(4096, '\0');
    const ssize_t n = ::readlink((procFolder + "/exe").c_str(), target.data(), target.size());
    if (n > 0) {
        target.resize(static_cast<size_t>(n));
        constexpr std::string_view kDeleted = " (deleted)";
        if (target.ends_with(kDeleted)) target.resize(target.size() - kDeleted.size());
    } else {
        std::string cmdline;
        if (!ReadWholeFile(procFolder + "/cmdline", cmdline)) return {};
        target = cmdline.substr(0, cmdline.find('\0'));
    }
    const size_t slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

}  // namespace

std::vector<ProcessId> FindProcesses(std::string_view exeName) {
    std::vector<ProcessId> found;
    std::vector<FolderEntry> entries;
    if (!ListFolder("/proc", entries)) return found;
    for (const FolderEntry& entry : entries) {
        if (!entry.isFolder || entry.name.empty() ||
            !std::isdigit(static_cast<unsigned char>(entry.name[0]))) {
            continue;
        }
        if (EqualIgnoringCase(ExecutableName("/proc/" + entry.name), exeName)) {
            found.push_back(std::atoi(entry.name.c_str()));
        }
    }
    return found;
}

bool TerminateProcess(ProcessId pid) {
    return pid > 0 && ::kill(pid, SIGKILL) == 0;
}

void Sleep(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace bw::platform
