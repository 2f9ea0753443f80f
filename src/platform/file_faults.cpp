#include "platform/file_faults.h"

#include <cerrno>
#include <mutex>

namespace bw::platform {
namespace file_faults {

std::atomic<bool> gArmed{false};

namespace {

std::mutex& Lock() {
    static std::mutex lock;
    return lock;
}

struct State {
    FileFaultPlan plan;
    FileFaultReport report;
};

State& Current() {
    static State state;
    return state;
}

int ErrorFor(FileFault fault, FileCall call) {
    switch (fault) {
        case FileFault::kNoSpace:
            return ENOSPC;
        case FileFault::kShortWrite:
            return call == FileCall::kWrite ? ENOSPC : EIO;
        case FileFault::kNatural:
            return call == FileCall::kWrite || call == FileCall::kMakeFolder ? ENOSPC : EIO;
        case FileFault::kIoError:
            break;
    }
    return EIO;
}

}  // namespace

Injected NextSlow(FileCall call) {
    std::function<void(FileCall)> before;
    Injected injected;
    {
        std::lock_guard<std::mutex> guard(Lock());
        State& state = Current();
        if (!gArmed.load(std::memory_order_relaxed)) return {};
        state.report.log.push_back(call);
        if (++state.report.calls != state.plan.failAt) return {};
        state.report.hit = true;
        state.report.hitCall = call;
        before = state.plan.beforeFailing;
        const FileFault fault = state.plan.fault;
        injected.error = ErrorFor(fault, call);
        injected.shortWrite = call == FileCall::kWrite &&
                              (fault == FileFault::kShortWrite || fault == FileFault::kNatural);
    }
    if (before) before(call);
    return injected;
}

}  // namespace file_faults

std::string_view FileCallName(FileCall call) {
    switch (call) {
        case FileCall::kCreate:
            return "create";
        case FileCall::kWrite:
            return "write";
        case FileCall::kSync:
            return "sync";
        case FileCall::kRename:
            return "rename";
        case FileCall::kRemove:
            return "remove";
        case FileCall::kMakeFolder:
            return "make folder";
    }
    return "?";
}

void SetFileFaults(FileFaultPlan plan) {
    std::lock_guard<std::mutex> guard(file_faults::Lock());
    file_faults::Current() = {std::move(plan), {}};
    file_faults::gArmed.store(true, std::memory_order_relaxed);
}

FileFaultReport ClearFileFaults() {
    std::lock_guard<std::mutex> guard(file_faults::Lock());
    file_faults::gArmed.store(false, std::memory_order_relaxed);
    FileFaultReport report = std::move(file_faults::Current().report);
    file_faults::Current() = {};
    return report;
}

}  // namespace bw::platform
