// Device arrival and departure. usbmuxd reports events on its own thread; they are queued and
// delivered to subscribers by one dispatcher thread, which also keeps the list of attached
// phones, so that a new subscriber's replay of that list and later events arrive in one order.
#include "devices.h"

#include <usbmuxd.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "cf/cf_foreign.h"
#include "cf_bridge.h"
#include "mapping.h"
#include "status.h"

namespace bw::imd {
namespace {

constexpr uint32_t kConnected = 1;
constexpr uint32_t kDisconnected = 2;
constexpr size_t kMaxPairRecordBytes = 1u << 20;

struct Subscription {
    DeviceNotificationCallback callback;
    void* context;
};

struct MuxEvent {
    int event = 0;
    uint32_t handle = 0;
    std::string udid;
    int interfaceType = 0;
    Subscription* replayTo = nullptr;  // set: deliver the attached phones to one subscriber
};

struct Registry {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::pair<std::string, int>, Device*> byIdentity;
    std::map<const void*, Device*> byObject;

    // The dispatcher's state, also under `mutex`.
    std::deque<MuxEvent> queue;
    std::vector<Device*> attached;              // in arrival order
    std::map<uint32_t, Device*> attachedByMux;  // usbmuxd's handle of each attached phone
    std::set<Subscription*> subscriptions;
    Subscription* delivering = nullptr;
    bool started = false;
    std::thread::id dispatcherThread;
    usbmuxd_subscription_context_t muxSubscription = nullptr;
};

// Never destroyed: usbmuxd's thread and the dispatcher may still run while the process exits.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

Device* FindOrMakeDevice(Registry& registry, const std::string& udid, int interfaceType) {
    const auto key = std::make_pair(udid, interfaceType);
    if (const auto found = registry.byIdentity.find(key); found != registry.byIdentity.end()) {
        return found->second;
    }
    // A plain handle, not a CoreFoundation object: callers never release device references,
    // and a phone's object lives as long as the process (see Device).
    auto* device = new Device(udid, interfaceType);
    device->object = reinterpret_cast<AMDeviceRef>(device);
    registry.byIdentity[key] = device;
    registry.byObject[device->object] = device;
    return device;
}

// With the registry lock held: applies an event to the attached list and says which phone it
// concerns and how, or nothing when it changes nothing.
std::pair<Device*, uint32_t> Apply(Registry& registry, const MuxEvent& event) {
    if (event.event == UE_DEVICE_ADD) {
        if (registry.attachedByMux.count(event.handle) != 0) return {nullptr, 0};
        Device* device = FindOrMakeDevice(registry, event.udid, event.interfaceType);
        if (device == nullptr) return {nullptr, 0};
        // A phone back on the same interface starts from a new device handle (see OpenIdevice).
        device->arrival.fetch_add(1);
        device->attached.store(true);
        registry.attachedByMux[event.handle] = device;
        registry.attached.push_back(device);
        return {device, kConnected};
    }
    if (event.event == UE_DEVICE_REMOVE) {
        const auto found = registry.attachedByMux.find(event.handle);
        if (found == registry.attachedByMux.end()) return {nullptr, 0};
        Device* device = found->second;
        registry.attachedByMux.erase(found);
        std::erase(registry.attached, device);
        device->attached.store(false);
        return {device, kDisconnected};
    }
    return {nullptr, 0};
}

// With the lock held through `lock`: calls one subscriber, unlocked, unless it unsubscribed.
void Deliver(Registry& registry, std::unique_lock<std::mutex>& lock, Subscription* subscription,
             Device* device, uint32_t message) {
    if (registry.subscriptions.count(subscription) == 0) return;
    registry.delivering = subscription;
    const DeviceNotificationCallback callback = subscription->callback;
    void* context = subscription->context;
    lock.unlock();
    DeviceNotificationInfo info{device->object, message,
                                reinterpret_cast<AMDeviceNotificationRef>(subscription)};
    callback(&info, context);
    lock.lock();
    registry.delivering = nullptr;
    registry.changed.notify_all();
}

void Dispatch() {
    Registry& registry = TheRegistry();
    std::unique_lock<std::mutex> lock(registry.mutex);
    for (;;) {
        registry.changed.wait(lock, [&] { return !registry.queue.empty(); });
        MuxEvent event = std::move(registry.queue.front());
        registry.queue.pop_front();
        if (event.replayTo != nullptr) {
            const std::vector<Device*> devices = registry.attached;
            for (Device* device : devices)
                Deliver(registry, lock, event.replayTo, device, kConnected);
            continue;
        }
        const auto [device, message] = Apply(registry, event);
        if (device == nullptr) continue;
        const std::vector<Subscription*> targets(registry.subscriptions.begin(),
                                                 registry.subscriptions.end());
        for (Subscription* subscription : targets)
            Deliver(registry, lock, subscription, device, message);
    }
}

// usbmuxd's thread: copies what it needs and queues it.
void OnMuxEvent(const usbmuxd_event_t* event, void*) {
    if (event == nullptr) return;
    MuxEvent queued;
    queued.event = event->event;
    queued.handle = event->device.handle;
    queued.udid.assign(event->device.udid, strnlen(event->device.udid, sizeof event->device.udid));
    queued.interfaceType = InterfaceTypeOf(event->device.conn_type);
    if (queued.event == UE_DEVICE_ADD &&
        (queued.udid.empty() || queued.interfaceType == 0 || !IsUtf8(queued.udid))) {
        return;
    }
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.queue.push_back(std::move(queued));
    registry.changed.notify_all();
}

// With the registry lock held: starts the dispatcher and the one usbmuxd subscription of the
// process, which stays for the process's life (usbmuxd reports every attached phone to a new
// subscription, and this runtime replays them itself).
int StartWatching(Registry& registry) {
    if (!registry.started) {
        std::thread dispatcher(Dispatch);
        registry.dispatcherThread = dispatcher.get_id();
        dispatcher.detach();
        registry.started = true;
    }
    if (registry.muxSubscription == nullptr &&
        usbmuxd_events_subscribe(&registry.muxSubscription, OnMuxEvent, nullptr) != 0) {
        registry.muxSubscription = nullptr;
        return kAmdMuxError;
    }
    return kAmdSuccess;
}

}  // namespace

IdeviceHandle Device::OpenIdevice() {
    if (!attached.load()) return nullptr;
    const uint64_t current = arrival.load();
    if (openedArrival != current) {
        CloseLockdown();
        idevice.reset();
        openedArrival = current;
    }
    if (idevice) return idevice;
    idevice_t opened = nullptr;
    const auto lookup = interfaceType == 2 ? IDEVICE_LOOKUP_NETWORK : IDEVICE_LOOKUP_USBMUX;
    if (idevice_new_with_options(&opened, udid.c_str(), lookup) != IDEVICE_E_SUCCESS ||
        opened == nullptr) {
        return nullptr;
    }
    idevice = IdeviceHandle(opened, [](idevice_t handle) { idevice_free(handle); });
    return idevice;
}

void Device::CloseLockdown() {
    if (lockdown != nullptr) {
        if (session) lockdownd_stop_session(lockdown, sessionId.c_str());
        lockdownd_client_free(lockdown);
    }
    lockdown = nullptr;
    session = false;
    sessionId.clear();
}

Device* FindDevice(AMDeviceRef reference) {
    if (reference == nullptr) return nullptr;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const auto found = registry.byObject.find(reference);
    return found != registry.byObject.end() ? found->second : nullptr;
}

std::string PairRecordHostId(const std::string& udid) {
    char* bytes = nullptr;
    uint32_t size = 0;
    if (usbmuxd_read_pair_record(udid.c_str(), &bytes, &size) != 0 || bytes == nullptr) return {};
    PlistOwner record;
    if (size > 0 && size <= kMaxPairRecordBytes) plist_from_memory(bytes, size, &record.node);
    std::free(bytes);
    const std::optional<std::string> hostId = PlistString(record.node, "HostID");
    if (!hostId || hostId->size() > 256 || !IsUtf8(*hostId)) return {};
    return *hostId;
}

}  // namespace bw::imd

using namespace bw::imd;

BW_IMD_EXPORT int AMDeviceNotificationSubscribe(DeviceNotificationCallback callback, unsigned int,
                                                unsigned int, void* context,
                                                AMDeviceNotificationRef* out) {
    if (callback == nullptr || out == nullptr) return kAmdInvalidArgument;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (const int status = StartWatching(registry); status != kAmdSuccess) return status;
    auto* subscription = new Subscription{callback, context};
    registry.subscriptions.insert(subscription);
    MuxEvent replay;
    replay.replayTo = subscription;
    registry.queue.push_back(std::move(replay));
    registry.changed.notify_all();
    *out = reinterpret_cast<AMDeviceNotificationRef>(subscription);
    return kAmdSuccess;
}

BW_IMD_EXPORT int AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef reference) {
    auto* subscription = reinterpret_cast<Subscription*>(reference);
    Registry& registry = TheRegistry();
    std::unique_lock<std::mutex> lock(registry.mutex);
    if (registry.subscriptions.erase(subscription) == 0) return kAmdInvalidArgument;
    // A delivery in progress ends before the subscription is gone, unless it is this thread's
    // own: a callback may unsubscribe.
    if (std::this_thread::get_id() != registry.dispatcherThread) {
        registry.changed.wait(lock, [&] { return registry.delivering != subscription; });
        delete subscription;
    }
    // On the dispatcher thread the subscription stays allocated: the delivery still reads it.
    return kAmdSuccess;
}

BW_IMD_EXPORT int AMDeviceGetInterfaceType(AMDeviceRef reference) {
    const Device* device = FindDevice(reference);
    return device != nullptr ? device->interfaceType : 0;
}

BW_IMD_EXPORT CFStringRef AMDeviceCopyDeviceIdentifier(AMDeviceRef reference) {
    const Device* device = FindDevice(reference);
    return device != nullptr ? MakeString(device->udid) : nullptr;
}
