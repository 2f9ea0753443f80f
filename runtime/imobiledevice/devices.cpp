// Device arrival and departure. usbmuxd reports events on its own thread; they are queued and
// delivered to subscribers by one dispatcher thread, which also keeps the list of attached
// phones, so that a new subscriber's replay of that list and later events arrive in one order.
// The runtime listens to usbmuxd while it has subscribers, and no longer: a host that stopped
// listening holds no connection to usbmuxd.
#include "devices.h"

#include <usbmuxd.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "cf/cf_foreign.h"
#include "cf_bridge.h"
#include "mapping.h"
#include "status.h"
#include "usbmux_listener.h"

namespace bw::imd {
namespace {

constexpr int kMuxAdd = 1;
constexpr int kMuxRemove = 2;
constexpr uint32_t kConnected = 1;
constexpr uint32_t kDisconnected = 2;
constexpr size_t kMaxPairRecordBytes = 1u << 20;

struct Subscription {
    DeviceNotificationCallback callback;
    void* context;
    uint64_t since = 0;  // hears the events queued after this point; earlier ones by the replay
};

struct MuxEvent {
    int event = 0;
    uint32_t handle = 0;
    std::string udid;
    int interfaceType = 0;
    Subscription* replayTo = nullptr;  // set: deliver the attached phones to one subscriber
    uint64_t sequence = 0;             // the order of queueing
};

struct Registry {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::pair<std::string, int>, Device*> byIdentity;
    std::map<const void*, Device*> byObject;

    // The dispatcher's state, also under `mutex`.
    std::deque<MuxEvent> queue;
    uint64_t queued = 0;                        // events queued so far
    std::vector<Device*> attached;              // in arrival order
    std::map<uint32_t, Device*> attachedByMux;  // usbmuxd's handle of each attached phone
    std::set<Subscription*> subscriptions;
    Subscription* delivering = nullptr;
    bool started = false;
    std::thread::id dispatcherThread;
    // Guards starting and ending the usbmuxd listener, taken before `mutex`; never taken on the
    // listener's thread, which its end waits for.
    std::mutex muxMutex;
    std::unique_ptr<UsbmuxListener> listener;
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
    if (event.event == kMuxAdd) {
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
    if (event.event == kMuxRemove) {
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

// With the registry lock held: queues an event for the dispatcher.
void Enqueue(Registry& registry, MuxEvent event) {
    event.sequence = ++registry.queued;
    registry.queue.push_back(std::move(event));
    registry.changed.notify_all();
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
        // A subscriber that came after the event was queued hears of it in its replay.
        std::vector<Subscription*> targets;
        for (Subscription* subscription : registry.subscriptions)
            if (subscription->since < event.sequence) targets.push_back(subscription);
        for (Subscription* subscription : targets)
            Deliver(registry, lock, subscription, device, message);
    }
}

// The listener's thread: queues the events of the phones it reports.
void QueueMuxEvent(int kind, const MuxDevice& device) {
    MuxEvent queued;
    queued.event = kind;
    queued.handle = device.handle;
    queued.udid = device.udid;
    queued.interfaceType = device.interfaceType;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    Enqueue(registry, std::move(queued));
}

// The listener's thread, when a connection starts or ends: the phones known so far are
// forgotten. usbmuxd announces those still there on the new connection (their handles may be
// another usbmuxd's by then), and a phone back after a departure opens afresh.
void ForgetAttached() {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    std::vector<uint32_t> known;
    for (const auto& [handle, device] : registry.attachedByMux)
        known.push_back(handle);
    for (const uint32_t handle : known) {
        MuxEvent removal;
        removal.event = kMuxRemove;
        removal.handle = handle;
        Enqueue(registry, std::move(removal));
    }
}

// With `muxMutex` held: starts the dispatcher once, and the usbmuxd listener when there is none.
int StartWatching(Registry& registry) {
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        if (!registry.started) {
            std::thread dispatcher(Dispatch);
            registry.dispatcherThread = dispatcher.get_id();
            dispatcher.detach();
            registry.started = true;
        }
    }
    if (registry.listener) return kAmdSuccess;
    UsbmuxListener::Callbacks callbacks;
    callbacks.connected = ForgetAttached;
    callbacks.changed = [](bool attached, const MuxDevice& device) {
        QueueMuxEvent(attached ? kMuxAdd : kMuxRemove, device);
    };
    // usbmuxd went away, and its phones with it; they come again when it is back.
    callbacks.lost = ForgetAttached;
    registry.listener = std::make_unique<UsbmuxListener>(std::move(callbacks));
    return kAmdSuccess;
}

// With `muxMutex` held and the registry unlocked (the listener's thread may be waiting for it
// while it ends): ends the listener once no one subscribes.
void StopWatchingIfUnused(Registry& registry) {
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        if (!registry.subscriptions.empty()) return;
    }
    registry.listener.reset();
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
    std::lock_guard<std::mutex> muxLock(registry.muxMutex);
    if (const int status = StartWatching(registry); status != kAmdSuccess) return status;
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto* subscription = new Subscription{callback, context};
    MuxEvent replay;
    replay.replayTo = subscription;
    Enqueue(registry, std::move(replay));
    subscription->since = registry.queued;
    registry.subscriptions.insert(subscription);
    *out = reinterpret_cast<AMDeviceNotificationRef>(subscription);
    return kAmdSuccess;
}

BW_IMD_EXPORT int AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef reference) {
    auto* subscription = reinterpret_cast<Subscription*>(reference);
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> muxLock(registry.muxMutex);
    {
        std::unique_lock<std::mutex> lock(registry.mutex);
        if (registry.subscriptions.erase(subscription) == 0) return kAmdInvalidArgument;
        // A delivery in progress ends before the subscription is gone, unless it is this
        // thread's own: a callback may unsubscribe.
        if (std::this_thread::get_id() != registry.dispatcherThread) {
            registry.changed.wait(lock, [&] { return registry.delivering != subscription; });
            delete subscription;
        }
        // On the dispatcher thread the subscription stays allocated: the delivery still reads
        // it.
    }
    StopWatchingIfUnused(registry);
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
