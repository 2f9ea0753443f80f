// Benchmarks measure at full size unless BRACKWATER_BENCH_QUICK is set (to anything but 0): then
// each shrinks its data so that the whole set runs in seconds. CI runs them that way to catch a
// benchmark that no longer sets up or finishes; the figures of a quick run mean nothing.
#pragma once

#include <cstdlib>
#include <string_view>

namespace bw::bench {

inline bool Quick() {
    static const bool quick = [] {
        const char* value = std::getenv("BRACKWATER_BENCH_QUICK");
        return value != nullptr && *value != '\0' && std::string_view(value) != "0";
    }();
    return quick;
}

// `full` normally, `quick` in a quick run.
template <class T>
T FullOrQuick(T full, T quick) {
    return Quick() ? quick : full;
}

}  // namespace bw::bench
