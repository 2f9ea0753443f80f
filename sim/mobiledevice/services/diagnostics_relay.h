// The diagnostics relay's side of the control API: how long a restart keeps a device away, and a
// barrier for tests that wait for it to come back.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace bw::sim::md {

// The time the device `udid` stays away when it restarts, for every later restart of it; no
// value: its image's "RestartSeconds" switch again.
void SetRestartDelay(const std::string& udid, std::optional<std::chrono::milliseconds> delay);

// The control API detached `udid` (no value: every device): restarts under way leave it away.
void CancelRestarts(const std::optional<std::string>& udid);

enum class RestartOutcome {
    Finished,   // every restart asked for has brought the device back, every shutdown has ended
    NoneAsked,  // no restart or shutdown
    TimedOut,
    Failed,  // the device could not come back (error says why)
};

RestartOutcome WaitForRestarts(const std::string& udid, std::chrono::milliseconds timeout,
                               std::string& error);

}  // namespace bw::sim::md
