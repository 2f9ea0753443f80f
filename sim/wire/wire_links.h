// What the server's links share: lockdown on a device's port 62078, the services lockdown
// starts, and the socket helpers they read and write with.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "mobiledevice/MobileDevice.h"
#include "wire_protocol.h"
#include "wire_server.h"

namespace bw::sim::wire {

inline constexpr uint16_t kLockdownPort = 62078;

enum class ServiceKind {
    Messages,     // property lists pumped to and from the simulator's service connection
    Afc,          // AFC served from an AFC connection on the service connection
    CrashMover,   // says "ping" once the crash logs are moved, then nothing
    HouseArrest,  // one vend request, then AFC on the application's folder
};

// A service lockdown started that waits for its client to connect to `port`.
struct PendingService {
    uint32_t deviceId = 0;
    uint16_t port = 0;
    std::string name;
    ServiceKind kind = ServiceKind::Messages;
    AMDServiceConnectionRef connection = nullptr;  // ours to release; null for the wire's own
    std::chrono::steady_clock::time_point started;
    int tcpFd = -1;  // a network phone's: the TCP socket listening on the port
};

struct LockdownContext {
    int fd;
    AMDeviceRef device;
    uint32_t deviceId;
    std::string udid;
    WireServer::State* server;
};

// Serves lockdown requests on the socket until the client says goodbye or closes. The device is
// connected (AMDeviceConnect) for as long as this runs; a session it starts ends with it.
void ServeLockdown(const LockdownContext& context);

// Serves a started service on the socket until either side closes, then releases the service.
void ServeService(int fd, AMDeviceRef device, PendingService service);

// The HostID of the pair record the server keeps for `udid`.
std::optional<std::string> PairRecordHostId(WireServer::State* server, const std::string& udid);
// Keeps `service` until a client connects to the port returned; nothing when the server stops.
std::optional<uint16_t> AddPendingService(WireServer::State* server, PendingService service);

bool WriteAll(int fd, std::string_view bytes);
bool ReceiveExactly(int fd, char* buffer, size_t length);
// One framed property list from the socket; nothing when it closes or sends a broken frame.
std::optional<FramedMessage> ReceiveFramed(int fd);

}  // namespace bw::sim::wire
