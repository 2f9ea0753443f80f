// Service connection handles: CF objects (so hosts release them with CFRelease) over channels,
// and the small socket numbers that stand for them.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "cf/CoreFoundation.h"
#include "channel.h"
#include "service.h"

namespace bw::sim::md {

// How a connection was started. A legacy start (AMDeviceStartService, the house-arrest start)
// stood for a socket in older runtimes, which the AFC connection or service connection made on
// it took over; the first one made on such a handle takes over the caller's reference too.
enum class StartKind { Legacy, Secure };

// Runs the checks every service start makes (device known and attached, lockdown connection,
// session, passcode lock), then `start` with DeviceMutex held, and hands out a new connection
// (+1) in *out. An AMD status.
int StartServiceConnection(const void* deviceReference, const std::string& name,
                           const std::function<ServiceStart(Device&)>& start, StartKind kind,
                           CFTypeRef* out);

// The channel behind a connection handle, or null for anything this runtime did not hand out
// or has freed.
std::shared_ptr<Channel> FindChannel(CFTypeRef connection);

// The channel behind a connection handle or a socket number (G10: callers pass either, as a
// pointer-sized value).
std::shared_ptr<Channel> FindChannelOrSocket(const void* socketOrConnection);

// What a new holder (an AFC connection, a service connection made with
// AMDServiceConnectionCreate) keeps of the connection it was made on: one reference of its own,
// and the caller's reference of a legacy start it took over. Release() drops both; call it with
// no simulator lock held.
struct Holding {
    Holding() = default;
    Holding(Holding&& other) noexcept;
    Holding& operator=(Holding&& other) noexcept;
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;
    ~Holding() = default;  // Release() is explicit: it must not run under a lock by accident

    void Release();

    std::shared_ptr<Channel> channel;
    CFTypeRef retained = nullptr;
    CFTypeRef takenOver = nullptr;
};

// Null channel when `socketOrConnection` is no live connection.
Holding HoldConnection(const void* socketOrConnection);

// A new handle (+1) on the channel of `holding`, which it keeps until it is freed.
CFTypeRef NewConnectionOn(Holding holding);

}  // namespace bw::sim::md
