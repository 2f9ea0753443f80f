#include "notifications.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "counters.h"
#include "status.h"

namespace bw::sim::md {
namespace {

// Subscription handles are numbers in a range of their own, never reused, so a stale one is
// recognised instead of reaching a later subscription.
constexpr uintptr_t kSubscriptionBase = 0x5b5c'0000'0000;

struct Subscription {
    am_device_notification_callback callback;
    void* context;
};

struct Event {
    uintptr_t subscription = 0;  // 0: a task
    Device* device = nullptr;
    uint32_t message = 0;
    std::function<void()> task;
};

// A stand-in for the restore-mode device record the real runtime passes.
struct RestoreModeDevice {
    uint32_t mode;
};
constinit RestoreModeDevice g_restoreDevices[4] = {{1}, {2}, {3}, {4}};

struct Dispatcher {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Event> queue;
    std::unordered_map<uintptr_t, Subscription> subscriptions;
    uintptr_t nextSubscription = kSubscriptionBase;
    am_restore_device_callback restoreCallbacks[4] = {};
    void* restoreUserInfo = nullptr;
    bool threadStarted = false;
    std::thread::id threadId;
    uintptr_t delivering = 0;  // the subscription whose callback runs, or 1 for a task
};

// Never destroyed: its thread runs until the process ends.
Dispatcher& TheDispatcher() {
    static Dispatcher* dispatcher = new Dispatcher;
    return *dispatcher;
}

void Deliver(Dispatcher& dispatcher, std::unique_lock<std::mutex>& lock, Event& event) {
    if (event.task) {
        dispatcher.delivering = 1;
        lock.unlock();
        event.task();
        lock.lock();
        return;
    }
    const auto found = dispatcher.subscriptions.find(event.subscription);
    if (found == dispatcher.subscriptions.end()) return;  // unsubscribed meanwhile
    const Subscription subscription = found->second;
    dispatcher.delivering = event.subscription;
    lock.unlock();
    am_device_notification_callback_info info{};
    info.dev = reinterpret_cast<AMDeviceRef>(event.device);
    info.msg = event.message;
    info.subscription = reinterpret_cast<AMDeviceNotificationRef>(event.subscription);
    subscription.callback(&info, subscription.context);
    lock.lock();
}

void Run(Dispatcher& dispatcher) {
    std::unique_lock<std::mutex> lock(dispatcher.mutex);
    for (;;) {
        dispatcher.changed.wait(lock, [&] { return !dispatcher.queue.empty(); });
        Event event = std::move(dispatcher.queue.front());
        dispatcher.queue.pop_front();
        Deliver(dispatcher, lock, event);
        dispatcher.delivering = 0;
        dispatcher.changed.notify_all();
    }
}

// With the dispatcher's lock held.
void StartThread(Dispatcher& dispatcher) {
    if (dispatcher.threadStarted) return;
    std::thread thread([&dispatcher] { Run(dispatcher); });
    dispatcher.threadId = thread.get_id();
    thread.detach();
    dispatcher.threadStarted = true;
}

void Enqueue(Dispatcher& dispatcher, Event event) {
    StartThread(dispatcher);
    dispatcher.queue.push_back(std::move(event));
    dispatcher.changed.notify_all();
}

}  // namespace

void QueueDeviceEvent(Device* device, uint32_t message) {
    Dispatcher& dispatcher = TheDispatcher();
    std::lock_guard<std::mutex> lock(dispatcher.mutex);
    for (const auto& [handle, subscription] : dispatcher.subscriptions)
        Enqueue(dispatcher, Event{handle, device, message, {}});
}

int Subscribe(am_device_notification_callback callback, void* context,
              const std::vector<Device*>& attached, AMDeviceNotificationRef* out) {
    if (callback == nullptr || out == nullptr) return kAmdInvalidArgument;
    Dispatcher& dispatcher = TheDispatcher();
    std::lock_guard<std::mutex> lock(dispatcher.mutex);
    dispatcher.nextSubscription += 16;
    const uintptr_t handle = dispatcher.nextSubscription;
    dispatcher.subscriptions.emplace(handle, Subscription{callback, context});
    ++GlobalCounters().notificationSubscriptions;
    for (Device* device : attached)
        Enqueue(dispatcher, Event{handle, device, kDeviceArrived, {}});
    StartThread(dispatcher);
    *out = reinterpret_cast<AMDeviceNotificationRef>(handle);
    return kAmdSuccess;
}

int Unsubscribe(AMDeviceNotificationRef subscription) {
    Dispatcher& dispatcher = TheDispatcher();
    const auto handle = reinterpret_cast<uintptr_t>(subscription);
    std::unique_lock<std::mutex> lock(dispatcher.mutex);
    if (dispatcher.subscriptions.erase(handle) == 0) return kAmdInvalidArgument;
    --GlobalCounters().notificationSubscriptions;
    if (std::this_thread::get_id() != dispatcher.threadId)
        dispatcher.changed.wait(lock, [&] { return dispatcher.delivering != handle; });
    return kAmdSuccess;
}

unsigned int RegisterRestoreCallbacks(const am_restore_device_callback callbacks[4],
                                      void* userInfo) {
    Dispatcher& dispatcher = TheDispatcher();
    std::lock_guard<std::mutex> lock(dispatcher.mutex);
    for (int i = 0; i < 4; ++i)
        dispatcher.restoreCallbacks[i] = callbacks[i];
    dispatcher.restoreUserInfo = userInfo;
    return 0;
}

bool FireRestoreCallback(int index) {
    if (index < 0 || index > 3) return false;
    Dispatcher& dispatcher = TheDispatcher();
    std::lock_guard<std::mutex> lock(dispatcher.mutex);
    const am_restore_device_callback callback = dispatcher.restoreCallbacks[index];
    if (callback == nullptr) return false;
    void* const userInfo = dispatcher.restoreUserInfo;
    RestoreModeDevice* const restoreDevice = &g_restoreDevices[index];
    Enqueue(dispatcher, Event{0, nullptr, 0, [callback, restoreDevice, userInfo] {
                                  callback(restoreDevice, userInfo);
                              }});
    return true;
}

void QueueTask(std::function<void()> task) {
    Dispatcher& dispatcher = TheDispatcher();
    std::lock_guard<std::mutex> lock(dispatcher.mutex);
    Enqueue(dispatcher, Event{0, nullptr, 0, std::move(task)});
}

bool WaitUntilDelivered(int timeoutMs) {
    Dispatcher& dispatcher = TheDispatcher();
    std::unique_lock<std::mutex> lock(dispatcher.mutex);
    if (dispatcher.threadStarted && std::this_thread::get_id() == dispatcher.threadId) return false;
    return dispatcher.changed.wait_for(
        lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
        [&] { return dispatcher.queue.empty() && dispatcher.delivering == 0; });
}

}  // namespace bw::sim::md
