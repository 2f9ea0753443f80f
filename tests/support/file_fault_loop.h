// Runs an operation once to count its mutating file calls, then once per call with that call
// failing (or with the process ending just before it, as a crash would), and checks after each
// run what the operation left behind.
#pragma once

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/file_faults.h"

namespace bw::testing {

struct FileFaultLoop {
    // Puts the starting state back; runs without faults before every run.
    std::function<void()> prepare;
    // The operation whose calls are counted and failed.
    std::function<void()> run;
    // Checks what a run left. `failedAt` is 0 after the counting run, else the call that failed
    // (or that the process ended before).
    std::function<void(uint64_t failedAt, platform::FileCall call)> check;
    platform::FileFault fault = platform::FileFault::kNatural;
    // End the process just before the call instead of failing it. `run` then happens in a forked
    // child, and `check` in this process.
    bool crash = false;
};

struct FileFaultLoopResult {
    uint64_t calls = 0;                   // of the counting run
    std::vector<platform::FileCall> log;  // the counting run's calls in order
    uint64_t hits = 0;                    // runs whose planned call was reached

    size_t Count(platform::FileCall call) const {
        size_t n = 0;
        for (const platform::FileCall seen : log)
            n += seen == call ? 1 : 0;
        return n;
    }
};

namespace file_fault_loop {

// Runs the operation in a child that ends itself with status 86 just before call `failAt`.
inline bool CrashesAt(const FileFaultLoop& loop, uint64_t failAt) {
    const pid_t child = ::fork();
    if (child == 0) {
        platform::FileFaultPlan plan;
        plan.failAt = failAt;
        plan.beforeFailing = [](platform::FileCall) { ::_exit(86); };
        platform::SetFileFaults(std::move(plan));
        loop.run();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 86;
}

}  // namespace file_fault_loop

inline FileFaultLoopResult FailEveryFileCall(const FileFaultLoop& loop) {
    FileFaultLoopResult result;
    loop.prepare();
    platform::SetFileFaults({});
    loop.run();
    platform::FileFaultReport counted = platform::ClearFileFaults();
    result.calls = counted.calls;
    result.log = std::move(counted.log);
    loop.check(0, platform::FileCall::kCreate);
    for (uint64_t n = 1; n <= result.calls && !::testing::Test::HasFatalFailure(); ++n) {
        const platform::FileCall call = result.log[n - 1];
        SCOPED_TRACE("call " + std::to_string(n) + " of " + std::to_string(result.calls) + " (" +
                     std::string(platform::FileCallName(call)) + ")");
        loop.prepare();
        if (loop.crash) {
            const bool crashed = file_fault_loop::CrashesAt(loop, n);
            EXPECT_TRUE(crashed) << "the run never reached the call";
            result.hits += crashed ? 1 : 0;
        } else {
            platform::SetFileFaults({n, loop.fault, {}});
            loop.run();
            const platform::FileFaultReport report = platform::ClearFileFaults();
            EXPECT_TRUE(report.hit) << "the run never reached the call";
            EXPECT_EQ(report.hitCall, call) << "the run took another way than the counting run";
            result.hits += report.hit ? 1 : 0;
        }
        loop.check(n, call);
    }
    return result;
}

}  // namespace bw::testing
