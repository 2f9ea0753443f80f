#include "device/connect_listener.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <utility>
#include <vector>

#include "device/runtime.h"
#include "platform/process.h"

namespace bw {

namespace {

// Process-wide state. The device list is shared by the runtime's notification thread and the
// host's threads, so it and everything beside it is guarded by `mutex`; the host callback is
// never called with the lock held, because the host may call back into the listener.
struct ProcessState {
    std::mutex mutex;
    std::list<CIPhone*> devices;
    // Every object handed to the host, listed or retired, until the process ends.
    std::vector<std::unique_ptr<CIPhone>> owned;
    std::unordered_set<const CIPhone*> known;
    ::DeviceCallback callback = nullptr;
    void* context = nullptr;
    bool closed = false;  // set at process exit: later notifications are dropped

    std::atomic<bool> openFullFileSystemTwin{false};
    std::atomic<bool> acceptNetworkDevices{false};

    // Subscribing may deliver the first notifications before it returns, on whichever thread the
    // runtime chooses, so it runs under its own lock, never under `mutex`.
    std::mutex subscriptionMutex;
    rt::AMDeviceNotificationRef subscription = nullptr;
    bool restoreRegistered = false;
    int restoreContextWord = 0;

    // Guards creation and deletion of the singleton only.
    std::mutex creationMutex;
    std::atomic<CIPhoneConnectionListener*> listener{nullptr};
};

void FreeDevicesAtExit();

// Never destroyed: notifications may still arrive while the process exits. The device objects
// are freed by FreeDevicesAtExit.
ProcessState& State() {
    static ProcessState* state = [] {
        auto* made = new ProcessState;
        std::atexit(FreeDevicesAtExit);
        return made;
    }();
    return *state;
}

void FreeDevicesAtExit() {
    ProcessState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.closed = true;
    state.devices.clear();
    state.known.clear();
    // The runtime may already be shutting down: connections still open are left to the process
    // end, only the objects are freed.
    for (const std::unique_ptr<CIPhone>& phone : state.owned)
        phone->Abandon();
    state.owned.clear();
}

// Takes ownership of the objects; false when the process is exiting (they are freed at once).
bool Keep(ProcessState& state, std::unique_ptr<CIPhone> phone, std::unique_ptr<CIPhone> twin,
          bool list) {
    if (state.closed) return false;
    if (list) state.devices.push_back(phone.get());
    state.known.insert(phone.get());
    state.owned.push_back(std::move(phone));
    if (twin) {
        state.known.insert(twin.get());
        state.owned.push_back(std::move(twin));
    }
    return true;
}

void Report(CIPhone* phone, uint32_t message) {
    ProcessState& state = State();
    ::DeviceCallback callback;
    void* context;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        callback = state.callback;
        context = state.context;
    }
    if (callback != nullptr) callback(ToHost(phone), message, context);
}

void OnDeviceArrived(rt::AMDeviceRef device) {
    ProcessState& state = State();
    // A new subscription (a listener made or started again) announces every phone still
    // attached. The object already open on it is reported again: a second one would compete with
    // it for the phone's one session and leave two objects listed for one phone.
    CIPhone* listed = nullptr;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        for (CIPhone* phone : state.devices) {
            if (phone->device == device && !phone->IsRetired()) {
                listed = phone;
                break;
            }
        }
    }
    if (listed != nullptr) {
        Report(listed, kDeviceArrived);
        return;
    }
    const bool acceptNetwork = state.acceptNetworkDevices.load();
    auto phone = std::make_unique<CIPhone>(device, kKindMediaArea, acceptNetwork);
    std::unique_ptr<CIPhone> twin;
    if (state.openFullFileSystemTwin.load()) {
        twin = std::make_unique<CIPhone>(device, kKindFullFileSystem, acceptNetwork);
        if (twin->fullFileSystem != 1 || twin->ready == 0) twin.reset();  // closes what it opened
    }
    phone->fullFileSystemTwin = twin.get();
    if (phone->opened == 0) return;  // both objects close what they opened as they go

    CIPhone* reported = phone.get();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!Keep(state, std::move(phone), std::move(twin), reported->ready != 0)) return;
    }
    Report(reported, kDeviceArrived);
}

// Every object still open on the device, listed or not (a twin, or a device the host took out
// of the list with CopyDeviceList).
std::vector<CIPhone*> OpenObjectsOf(ProcessState& state, rt::AMDeviceRef device) {
    std::vector<CIPhone*> objects;
    for (const std::unique_ptr<CIPhone>& phone : state.owned) {
        if (phone->device == device && !phone->IsRetired()) objects.push_back(phone.get());
    }
    return objects;
}

void OnDeviceLeft(rt::AMDeviceRef device) {
    ProcessState& state = State();
    CIPhone* listed = nullptr;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        for (CIPhone* phone : state.devices) {
            if (phone->device == device) {
                listed = phone;
                break;
            }
        }
        if (listed != nullptr) listed->ready.store(0, std::memory_order_release);
    }
    if (listed != nullptr) Report(listed, kDeviceRemoved);
    std::vector<CIPhone*> retiring;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (listed != nullptr) state.devices.remove(listed);
        retiring = OpenObjectsOf(state, device);
    }
    // Outside the lock: retiring waits for an operation that another thread may be running.
    for (CIPhone* phone : retiring)
        phone->Retire();
}

void OnDeviceNotification(rt::DeviceNotificationInfo* info, void*) {
    if (info == nullptr || info->device == nullptr) return;
    if (info->message == rt::kDeviceConnected) {
        OnDeviceArrived(info->device);
    } else if (info->message == rt::kDeviceDisconnected) {
        OnDeviceLeft(info->device);
    }
}

void OnRestoreDevice(void* device, uint32_t message) {
    ProcessState& state = State();
    auto phone = std::make_unique<CIPhone>();
    phone->device = static_cast<rt::AMDeviceRef>(device);
    // Nothing can be done with a restore-mode device through CIPhone; it is retired from the
    // start, so every operation on it fails cleanly while the host holds it.
    phone->Retire();
    CIPhone* reported = phone.get();
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (!Keep(state, std::move(phone), nullptr, false)) return;
    }
    Report(reported, message);
}

// The runtime's four restore-mode callbacks, in its argument order, report codes 3, 5, 4, 6.
void OnRestoreFirst(void* device, void*) {
    OnRestoreDevice(device, kRestoreDeviceEvent1);
}
void OnRestoreSecond(void* device, void*) {
    OnRestoreDevice(device, kRestoreDeviceEvent3);
}
void OnRestoreThird(void* device, void*) {
    OnRestoreDevice(device, kRestoreDeviceEvent2);
}
void OnRestoreFourth(void* device, void*) {
    OnRestoreDevice(device, kRestoreDeviceEvent4);
}

}  // namespace

CIPhone* FromHost(::CIPhone* phone) {
    if (phone == nullptr) return nullptr;
    CIPhone* candidate = reinterpret_cast<CIPhone*>(phone);
    ProcessState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.known.count(candidate) != 0 ? candidate : nullptr;
}

unsigned char CIPhoneConnectionListener::IsListening() {
    return listening_.load();
}

void CIPhoneConnectionListener::StartListening() {
    if (IsListening()) return;
    if (!RuntimeLoaded()) return;
    ProcessState& state = State();
    const RuntimeTable& runtime = Runtime();
    std::lock_guard<std::mutex> lock(state.subscriptionMutex);
    // The restore-mode registration outlives the listener and cannot be undone, so it is made
    // once per process: registering again would report every restore-mode event twice.
    if (!state.restoreRegistered) {
        runtime.AMRestoreRegisterForDeviceNotifications(OnRestoreFirst, OnRestoreSecond,
                                                        OnRestoreThird, OnRestoreFourth, 0,
                                                        &state.restoreContextWord);
        state.restoreRegistered = true;
    }
    listening_.store(1);
    if (state.subscription == nullptr &&
        runtime.AMDeviceNotificationSubscribe(OnDeviceNotification, 0, 0, nullptr,
                                              &state.subscription) != 0) {
        state.subscription = nullptr;
        listening_.store(0);
    }
}

void CIPhoneConnectionListener::StopListening() {
    ProcessState& state = State();
    rt::AMDeviceNotificationRef subscription = nullptr;
    {
        std::lock_guard<std::mutex> lock(state.subscriptionMutex);
        subscription = std::exchange(state.subscription, nullptr);
    }
    // Unsubscribing waits for a notification being delivered, whose host callback may itself
    // start or stop listening, so no lock is held here.
    if (subscription != nullptr && RuntimeLoaded()) {
        Runtime().AMDeviceNotificationUnsubscribe(subscription);
    }
    listening_.store(0);
}

void CIPhoneConnectionListener::WaitForDevice(int32_t seconds, ::CIPhone** device) {
    if (device == nullptr) return;
    ProcessState& state = State();
    const int64_t limit = seconds > 0 ? int64_t{seconds} * 1000 : 0;
    CIPhone* candidate = nullptr;
    for (int64_t elapsed = 0; elapsed < limit; elapsed += 100) {
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (!state.devices.empty()) candidate = state.devices.front();
        }
        if (candidate != nullptr) {
            if (candidate->busy.load() != 0) break;
            if (candidate->ready.load() != 0) {
                *device = ToHost(candidate);
                return;
            }
        }
        platform::Sleep(100);
    }
    if (candidate == nullptr) {
        *device = nullptr;
        return;
    }
    // Objects are never freed while the process runs, so the candidate stays safe to read.
    while (candidate->busy.load() != 0)
        platform::Sleep(100);
    *device = ToHost(candidate);
}

// A list handed in by the host may only name device objects of this process: anything else is
// left out, so that a removal never walks a pointer the library did not make.
void CIPhoneConnectionListener::CopyDeviceList(::DeviceList& list, unsigned char toCaller) {
    ProcessState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (toCaller != 0) {
        list.clear();
        for (CIPhone* phone : state.devices)
            list.push_back(ToHost(phone));
        return;
    }
    std::list<CIPhone*> copy;
    for (::CIPhone* phone : list) {
        CIPhone* candidate = reinterpret_cast<CIPhone*>(phone);
        if (state.known.count(candidate) != 0) copy.push_back(candidate);
    }
    state.devices = std::move(copy);
}

void CIPhoneConnectionListener::SetCallback(::DeviceCallback callback, void* context) {
    if (callback == nullptr) return;
    ProcessState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.callback = callback;
    state.context = context;
}

CIPhoneConnectionListener* NewConnectListener(bool openFullFileSystemTwin,
                                              bool acceptNetworkDevices) {
    ProcessState& state = State();
    if (state.listener.load() == nullptr) {
        std::lock_guard<std::mutex> lock(state.creationMutex);
        if (state.listener.load() == nullptr) {
            auto listener = std::make_unique<CIPhoneConnectionListener>();
            // A runtime that cannot be loaded still gives a listener; it never finds devices.
            LoadMobileDeviceRuntime();
            state.listener.store(listener.release());
        }
    }
    state.openFullFileSystemTwin.store(openFullFileSystemTwin);
    state.acceptNetworkDevices.store(acceptNetworkDevices);
    return state.listener.load();
}

void DeleteConnectListener() {
    ProcessState& state = State();
    std::lock_guard<std::mutex> lock(state.creationMutex);
    delete state.listener.exchange(nullptr);
}

}  // namespace bw
