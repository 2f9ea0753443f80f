#include "failures.h"

#include <atomic>
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

}  // namespace

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
    FailureTable& table = Table();
    if (!table.any.load(std::memory_order_acquire)) return std::nullopt;
    std::lock_guard<std::mutex> lock(table.mutex);
    for (auto it = table.armed.begin(); it != table.armed.end(); ++it) {
        if (it->function != function || (it->detail && (!detail || *it->detail != *detail)))
            continue;
        const int status = it->status;
        if (--it->remaining <= 0) table.armed.erase(it);
        table.any.store(!table.armed.empty(), std::memory_order_release);
        return status;
    }
    return std::nullopt;
}

std::optional<int> TakeFailure(std::string_view function, const char* detail) {
    if (detail == nullptr) return TakeFailure(function);
    return TakeFailure(function, std::optional<std::string_view>(detail));
}

std::optional<int> TakeFailure(std::string_view function, CFStringRef detail) {
    FailureTable& table = Table();
    if (!table.any.load(std::memory_order_acquire)) return std::nullopt;
    const std::optional<std::string> text = Utf8Text(detail);
    if (!text) return TakeFailure(function);
    return TakeFailure(function, std::optional<std::string_view>(*text));
}

}  // namespace bw::sim::md
