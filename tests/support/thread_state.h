// Where another thread of the test program waits, read from /proc, so that a test can act once a
// thread is inside a wait instead of guessing how long getting there takes.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace bw::testing {

// The number of threads of the test program right now.
inline size_t ThreadCount() {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++count;
    }
    return count;
}

// The calling thread's kernel id, for another thread to watch.
inline pid_t CurrentThreadId() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

// The system call the thread is blocked in; -1 while it runs or when it is gone.
inline long BlockedSystemCall(pid_t thread) {
    std::ifstream file("/proc/self/task/" + std::to_string(thread) + "/syscall");
    std::string first;
    if (!(file >> first) || first.empty() || first[0] < '0' || first[0] > '9') return -1;
    return std::stol(first);
}

// Waits until the thread recorded in `thread` (0 until it is known) is blocked in `systemCall`,
// or until `done` is set (the thread got past the wait without blocking); false after timeoutMs.
inline bool WaitUntilBlockedIn(const std::atomic<pid_t>& thread, long systemCall,
                               const std::atomic<bool>& done, int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const pid_t id = thread.load();
        if (done.load() || (id != 0 && BlockedSystemCall(id) == systemCall)) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace bw::testing
