// Counts of what hosts hold open, read by tests through BwSimGetCounters.
#pragma once

#include <atomic>

namespace bw::sim::md {

struct Counters {
    std::atomic<long> attachedDevices{0};
    std::atomic<long> connectedDevices{0};
    std::atomic<long> sessions{0};
    std::atomic<long> serviceConnections{0};
    std::atomic<long> afcConnections{0};
    std::atomic<long> afcFiles{0};
    std::atomic<long> directories{0};
    std::atomic<long> keyValueIterators{0};
    std::atomic<long> notificationSubscriptions{0};
    std::atomic<long> airTrafficConnections{0};
};

inline Counters& GlobalCounters() {
    static constinit Counters counters;
    return counters;
}

}  // namespace bw::sim::md
