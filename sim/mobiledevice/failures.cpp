#include "failures.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "text.h"

namespace bw::sim::md {
namespace {

struct ArmedFailure {
    std::string function;
    std::optional<std::string> detail;
    int status = 0;
    int remaining = 0;
};

struct FailureTable {
    std::mutex mutex;
    std::vector<ArmedFailure> armed;
    // Read without the lock first: every runtime call asks, and almost always nothing is armed.
    std::atomic<bool> any{false};
};

FailureTable& Table() {
    static FailureTable* table = new FailureTable;  // never destroyed: used until the process ends
    return *table;
}

// One call that a test holds: the `remaining`-th next matching call waits, before it does
// anything, until the test releases it.
struct Hold {
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false;
    std::string function;
    std::optional<std::string> detail;
    int remaining = 0;
    bool blocked = false;  // a call is waiting at the hold
    uint64_t releases = 0;
    std::atomic<bool> any{false};
};

Hold& TheHold() {
    static Hold* hold = new Hold;  // never destroyed: used until the process ends
    return *hold;
}

// Failures named by the environment variable BRACKWATER_SIM_FAILURES are armed when the library
// loads, so that a test can make a program it starts (the command-line host) meet them:
// "FUNCTION,DETAIL,STATUS,COUNT" entries separated by ";", an empty DETAIL matching any call.
// An entry that does not read that way is reported on standard error and skipped.
bool ArmEnvironmentFailures() {
    const char* text = std::getenv("BRACKWATER_SIM_FAILURES");
    if (text == nullptr) return false;
    const std::string list = text;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) end = list.size();
        const std::string entry = list.substr(start, end - start);
        start = end + 1;
        if (entry.empty()) continue;
        std::vector<std::string> fields;
        size_t from = 0;
        for (size_t comma; (comma = entry.find(',', from)) != std::string::npos; from = comma + 1)
            fields.push_back(entry.substr(from, comma - from));
        fields.push_back(entry.substr(from));
        char* statusEnd = nullptr;
        char* countEnd = nullptr;
        const long status = fields.size() == 4 ? std::strtol(fields[2].c_str(), &statusEnd, 0) : 0;
        const long count = fields.size() == 4 ? std::strtol(fields[3].c_str(), &countEnd, 10) : 0;
        if (fields.size() != 4 || fields[0].empty() || statusEnd == nullptr || *statusEnd != '\0' ||
            countEnd == nullptr || *countEnd != '\0' || count < 1 || count > 1000) {
            std::fprintf(stderr,
                         "brackwater simulator: BRACKWATER_SIM_FAILURES: cannot read \"%s\"\n",
                         entry.c_str());
            continue;
        }
        InjectFailure(fields[0],
                      fields[1].empty() ? std::nullopt : std::optional<std::string>(fields[1]),
                      static_cast<int>(status), static_cast<int>(count));
    }
    return true;
}

bool Matches(const std::string& function, const std::optional<std::string>& armedDetail,
             std::string_view calledFunction, std::optional<std::string_view> detail) {
    return function == calledFunction && (!armedDetail || (detail && *armedDetail == *detail));
}

void PassHold(std::string_view function, std::optional<std::string_view> detail) {
    Hold& hold = TheHold();
    if (!hold.any.load(std::memory_order_acquire)) return;
    std::unique_lock<std::mutex> lock(hold.mutex);
    if (!hold.armed || !Matches(hold.function, hold.detail, function, detail)) return;
    if (--hold.remaining > 0) return;
    hold.armed = false;
    hold.any.store(false, std::memory_order_release);
    hold.blocked = true;
    hold.changed.notify_all();
    const uint64_t release = hold.releases;
    hold.changed.wait(lock, [&] { return hold.releases != release; });
    hold.blocked = false;
}

}  // namespace

bool HoldCall(std::string function, std::optional<std::string> detail, int nth) {
    Hold& hold = TheHold();
    std::lock_guard<std::mutex> lock(hold.mutex);
    if (hold.armed || hold.blocked || nth < 1) return false;
    hold.armed = true;
    hold.function = std::move(function);
    hold.detail = std::move(detail);
    hold.remaining = nth;
    hold.any.store(true, std::memory_order_release);
    return true;
}

bool WaitForHeldCall(int timeoutMs) {
    Hold& hold = TheHold();
    std::unique_lock<std::mutex> lock(hold.mutex);
    return hold.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return hold.blocked; });
}

void ReleaseHeldCall() {
    Hold& hold = TheHold();
    std::lock_guard<std::mutex> lock(hold.mutex);
    hold.armed = false;
    hold.any.store(false, std::memory_order_release);
    ++hold.releases;
    hold.changed.notify_all();
}

void InjectFailure(std::string function, std::optional<std::string> detail, int status, int count) {
    FailureTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.armed.push_back({std::move(function), std::move(detail), status, count});
    table.any.store(true, std::memory_order_release);
}

void ClearFailures() {
    FailureTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.armed.clear();
    table.any.store(false, std::memory_order_release);
}

std::optional<int> TakeFailure(std::string_view function, std::optional<std::string_view> detail) {
    PassHold(function, detail);
    FailureTable& table = Table();
    if (!table.any.load(std::memory_order_acquire)) return std::nullopt;
    std::lock_guard<std::mutex> lock(table.mutex);
    for (auto it = table.armed.begin(); it != table.armed.end(); ++it) {
        if (!Matches(it->function, it->detail, function, detail)) continue;
        const int status = it->status;
        if (--it->remaining <= 0) table.armed.erase(it);
        table.any.store(!table.armed.empty(), std::memory_order_release);
        return status;
    }
    return std::nullopt;
}

bool AnyArmed() {
    return Table().any.load(std::memory_order_acquire) ||
           TheHold().any.load(std::memory_order_acquire);
}

std::optional<int> TakeFailure(std::string_view function, const char* detail) {
    if (detail == nullptr) return TakeFailure(function);
    return TakeFailure(function, std::optional<std::string_view>(detail));
}

std::optional<int> TakeFailure(std::string_view function, CFStringRef detail) {
    FailureTable& table = Table();
    if (!table.any.load(std::memory_order_acquire) &&
        !TheHold().any.load(std::memory_order_acquire)) {
        return std::nullopt;
    }
    const std::optional<std::string> text = Utf8Text(detail);
    if (!text) return TakeFailure(function);
    return TakeFailure(function, std::optional<std::string_view>(*text));
}

namespace {
[[maybe_unused]] const bool kEnvironmentFailuresArmed = ArmEnvironmentFailures();
}  // namespace

}  // namespace bw::sim::md
