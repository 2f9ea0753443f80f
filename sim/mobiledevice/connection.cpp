#include "connection.h"

#include <mutex>
#include <unordered_map>
#include <utility>

#include "cf/cf_foreign.h"
#include "lockdown.h"

namespace bw::sim::md {
namespace {

// Socket numbers are small, never 0, and never reused. Secure contexts are fake pointers that
// only serve to be handed back to AFCConnectionSetSecureContext.
constexpr int kFirstSocket = 1000;
constexpr uintptr_t kSecureContextBase = 0x55c0'0000'0000;

struct ConnectionHandle {
    std::shared_ptr<Channel> channel;
    CFTypeRef self = nullptr;
    bool legacyStart = false;
    bool takenOver = false;  // a legacy start whose reference a holder took over
    Holding holding;         // what this handle keeps of the connection it was made on
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<CFTypeRef, ConnectionHandle*> handles;
    std::unordered_map<int, CFTypeRef> sockets;  // socket number -> the handle of the start
    int nextSocket = kFirstSocket;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // never destroyed: handles outlive static cleanup
    return *registry;
}

// Runs on the thread that released the last reference, with no simulator lock held.
void FinalizeHandle(void* payload) {
    auto* handle = static_cast<ConnectionHandle*>(payload);
    Registry& registry = TheRegistry();
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.handles.erase(handle->self);
        const auto socket = registry.sockets.find(handle->channel->socket());
        if (socket != registry.sockets.end() && socket->second == handle->self)
            registry.sockets.erase(socket);
    }
    handle->holding.Release();
    delete handle;  // the channel closes with its last handle
}

// With the registry's lock held. On success the registry owns the handle (its CF object frees
// it); on failure the caller still does.
CFTypeRef Register(Registry& registry, std::unique_ptr<ConnectionHandle>& handle) {
    CFTypeRef self = BwSimCFCreateForeign(handle.get(), &FinalizeHandle);
    if (self == nullptr) return nullptr;
    handle->self = self;
    registry.handles.emplace(self, handle.release());
    return self;
}

ConnectionHandle* FindHandle(Registry& registry, const void* socketOrConnection) {
    const auto byHandle = registry.handles.find(socketOrConnection);
    if (byHandle != registry.handles.end()) return byHandle->second;
    // Callers that keep the socket in an int leave the upper half of the register undefined.
    const auto socket = static_cast<int>(reinterpret_cast<uintptr_t>(socketOrConnection));
    const auto bySocket = registry.sockets.find(socket);
    if (bySocket == registry.sockets.end()) return nullptr;
    const auto handle = registry.handles.find(bySocket->second);
    return handle != registry.handles.end() ? handle->second : nullptr;
}

}  // namespace

Holding::Holding(Holding&& other) noexcept
    : channel(std::move(other.channel)),
      retained(std::exchange(other.retained, nullptr)),
      takenOver(std::exchange(other.takenOver, nullptr)) {}

Holding& Holding::operator=(Holding&& other) noexcept {
    channel = std::move(other.channel);
    retained = std::exchange(other.retained, nullptr);
    takenOver = std::exchange(other.takenOver, nullptr);
    return *this;
}

void Holding::Release() {
    channel.reset();
    if (retained != nullptr) CFRelease(std::exchange(retained, nullptr));
    if (takenOver != nullptr) CFRelease(std::exchange(takenOver, nullptr));
}

int StartServiceConnection(const void* deviceReference, const std::string& name,
                           const std::function<ServiceStart(Device&)>& start, StartKind kind,
                           CFTypeRef* out) {
    if (out == nullptr) return kAmdInvalidArgument;
    Device* device = nullptr;
    ServiceStart started;
    const int status = WithDevice(deviceReference, [&](Device& found) {
        if (const int session = SessionStatus(found); session != kAmdSuccess) return session;
        if (found.switches.passcodeLocked) return kAmdPasswordProtected;
        started = start(found);
        device = &found;
        return started.service != nullptr      ? kAmdSuccess
               : started.status != kAmdSuccess ? started.status
                                               : kAmdInvalidService;
    });
    if (status != kAmdSuccess) return status;

    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const int socket = registry.nextSocket++;
    const uintptr_t context = device->switches.interfaceType == 2
                                  ? kSecureContextBase + 16 * static_cast<uintptr_t>(socket)
                                  : 0;
    auto handle = std::make_unique<ConnectionHandle>();
    handle->channel =
        std::make_shared<Channel>(*device, name, std::move(started.service), socket, context);
    handle->legacyStart = kind == StartKind::Legacy;
    handle->channel->service().OnOpen(*handle->channel);
    const CFTypeRef self = Register(registry, handle);
    if (self == nullptr) return kAmdNoResources;
    registry.sockets.emplace(socket, self);
    *out = self;
    return kAmdSuccess;
}

std::shared_ptr<Channel> FindChannel(CFTypeRef connection) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const auto found = registry.handles.find(connection);
    return found != registry.handles.end() ? found->second->channel : nullptr;
}

std::shared_ptr<Channel> FindChannelOrSocket(const void* socketOrConnection) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const ConnectionHandle* handle = FindHandle(registry, socketOrConnection);
    return handle != nullptr ? handle->channel : nullptr;
}

Holding HoldConnection(const void* socketOrConnection) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    ConnectionHandle* handle = FindHandle(registry, socketOrConnection);
    Holding holding;
    if (handle == nullptr) return holding;
    // CFRetain never runs a finalizer, so it is safe under the lock; taking the reference here
    // keeps a release on another thread from freeing the handle between lookup and retain.
    holding.channel = handle->channel;
    holding.retained = CFRetain(handle->self);
    if (handle->legacyStart && !handle->takenOver) {
        handle->takenOver = true;
        holding.takenOver = handle->self;
    }
    return holding;
}

CFTypeRef NewConnectionOn(Holding holding) {
    Registry& registry = TheRegistry();
    auto handle = std::make_unique<ConnectionHandle>();
    handle->channel = holding.channel;
    handle->holding = std::move(holding);
    std::unique_lock<std::mutex> lock(registry.mutex);
    const CFTypeRef self = Register(registry, handle);
    lock.unlock();
    if (self == nullptr) handle->holding.Release();
    return self;
}

}  // namespace bw::sim::md
