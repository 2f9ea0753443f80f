// Device tests against the simulated runtime: a temporary folder, a registry file that points the
// runtime loader at the simulator's libraries, device images, the simulator's control API (loaded
// by path, as the library loads the runtime), and the check that a test left nothing open.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "brackwater/device.h"
#include "cf/CoreFoundation.h"
#include "device/connect_listener.h"
#include "device/iphone.h"
#include "image/image_builder.h"
#include "mobiledevice/sim_control.h"
#include "platform/environment.h"
#include "support/build_paths.h"
#include "support/runtime_registry.h"
#include "support/temp_folder.h"
#include "support/test_images.h"

#ifdef BW_WIRE_RUNTIME
#include <stdlib.h>

#include <memory>

#include "wire/wire_server.h"
#endif

namespace bw::testing {

// What a listed wired device keeps open for its lifetime: the file service's AFC connection, and
// the service connection under it and the notification proxy.
inline constexpr long kWiredAfc = 1, kWiredServices = 2;

// The simulator's control functions (the test program links the simulator's library, the same
// one the runtime loader loads by path).
class SimControl {
  public:
    // The attached device's identifier, or empty (with a test failure) when it did not attach.
    std::string Attach(const std::string& image) {
        char udid[128] = {};
        if (BwSimAttach(image.c_str(), udid, sizeof udid) != 0) {
            ADD_FAILURE() << "attach failed: " << BwSimLastError();
            return {};
        }
        return udid;
    }
    bool Detach(const std::string& udid) { return BwSimDetach(udid.c_str()) == 0; }
    int DetachAll() { return BwSimDetachAll(); }
    BwSimCounters Counters() const {
        BwSimCounters counters{};
        BwSimGetCounters(&counters);
        return counters;
    }
    bool InjectFailure(const char* function, const char* detail, int status, int count = 1) {
        return BwSimInjectFailure(function, detail, status, count) == 0;
    }
    void ClearFailures() { BwSimClearFailures(); }
    // Holds the `nth` next call of `function` (with `detail`, or any) until Release; WaitBlocked
    // is true once it waits there.
    bool BlockCall(const char* function, const char* detail, int nth) {
        return BwSimBlockCall(function, detail, nth) == 0;
    }
    bool WaitBlocked(int timeoutMs = 10000) { return BwSimWaitBlocked(timeoutMs) == 0; }
    void Release() { BwSimRelease(); }
    bool FireRestoreCallback(int index) { return BwSimFireRestoreCallback(index) == 0; }
    // Posts a notification on the device; the number of proxies that relay it.
    int PostDeviceNotification(const std::string& udid, const char* name) {
        return BwSimPostDeviceNotification(udid.c_str(), name);
    }
    long CountHostNotifications(const std::string& udid, const char* name) {
        return BwSimCountHostNotifications(udid.c_str(), name);
    }
    // Waits until the simulator delivered every queued notification.
    bool Settle(int timeoutMs = 10000) { return BwSimWaitForNotifications(timeoutMs) == 0; }
    // How long a restart keeps the device away (0: it arrives again at once).
    bool SetRestartDelay(const std::string& udid, int milliseconds) {
        return BwSimSetRestartDelay(udid.c_str(), milliseconds) == 0;
    }
    // Waits until every restart asked of the device has brought it back and its arrival has been
    // delivered.
    bool WaitForRestart(const std::string& udid, int timeoutMs = 10000) {
        const bool done = BwSimWaitForRestart(udid.c_str(), timeoutMs) == 0;
        if (!done) ADD_FAILURE() << BwSimLastError();
        return done;
    }
};

// Polls `condition` every 10 ms for up to `timeoutMs`.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Records the listener's callbacks in the order they arrive.
class CallbackLog {
  public:
    struct Event {
        ::CIPhone* device;
        uint32_t message;
    };

    static void Record(::CIPhone* device, uint32_t message, void* context) {
        auto* log = static_cast<CallbackLog*>(context);
        std::lock_guard<std::mutex> lock(log->mutex_);
        log->events_.push_back({device, message});
    }

    std::vector<Event> Events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    size_t Count(uint32_t message) const {
        size_t count = 0;
        for (const Event& event : Events())
            count += event.message == message ? 1 : 0;
        return count;
    }
    // The devices whose last event was an arrival: those the listener lists.
    size_t Present() const {
        std::map<::CIPhone*, uint32_t> last;
        for (const Event& event : Events())
            if (event.message == kDeviceArrived || event.message == kDeviceRemoved)
                last[event.device] = event.message;
        return static_cast<size_t>(std::count_if(last.begin(), last.end(), [](const auto& entry) {
            return entry.second == kDeviceArrived;
        }));
    }

    // The device of the n-th event with this message, or null.
    CIPhone* Device(uint32_t message, size_t n = 0) const {
        for (const Event& event : Events()) {
            if (event.message == message && n-- == 0) {
                return reinterpret_cast<CIPhone*>(event.device);
            }
        }
        return nullptr;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

#ifdef BW_WIRE_RUNTIME
// The same tests over the real device protocols: the library loads the device runtime over
// libimobiledevice, which reaches the simulator's devices through the wire-level simulator's
// usbmuxd socket. One server serves the whole test program: the runtime's usbmuxd listener
// stays connected to the socket it found first.
inline constexpr bool kOverWire = true;

inline std::unique_ptr<sim::wire::WireServer>& WireServerForTests() {
    static std::unique_ptr<sim::wire::WireServer> server;
    return server;
}

inline bool StartWireServerForTests() {
    std::unique_ptr<sim::wire::WireServer>& server = WireServerForTests();
    static std::string error;
    if (server == nullptr) {
        const char* tmp = std::getenv("TMPDIR");
        std::string folder =
            std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp").append("/bw-wire-XXXXXX");
        if (::mkdtemp(folder.data()) == nullptr) return false;
        const std::string socket = folder + "/usbmuxd";
        server = sim::wire::WireServer::Start(socket, error);
        if (server == nullptr) {
            ADD_FAILURE() << "the wire-level simulator did not start: " << error;
            return false;
        }
        ::setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + socket).c_str(), 1);
    }
    return true;
}
#else
inline constexpr bool kOverWire = false;
#endif

// The simulator call that starts a service for the library: the library's own call, or over the
// wire the one the wire-level simulator makes for lockdown's StartService request, so that a
// failure injected there still reaches the library.
inline constexpr const char* kStartServiceCall =
    kOverWire ? "AMDeviceSecureStartService" : "AMDeviceStartService";

// A test with the simulator as the runtime. The registry points at the simulator's folder; the
// CoreFoundation stand-in's live objects are counted from the start of the test.
class SimDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.path().empty());
#ifdef BW_WIRE_RUNTIME
        ASSERT_TRUE(StartWireServerForTests());
        UseRegistry(folder_,
                    RuntimeRegistryText(BRACKWATER_SIM_RUNTIME_DIR, BW_DEVICE_RUNTIME_LIBRARY));
#else
        UseRegistry(folder_, RuntimeRegistryText(
                                 BRACKWATER_SIM_RUNTIME_DIR,
                                 std::string(BRACKWATER_SIM_RUNTIME_DIR) + "/libMobileDevice.so"));
#endif
        liveObjectsAtStart_ = BwSimCFLiveObjects();
    }

    // Makes a device image below the test's folder.
    std::string MakeImage(const std::string& name, sim::ImageOptions options = {}) {
        const std::string image = folder_ / name;
        std::string error;
        EXPECT_TRUE(testing::MakeTestImage(image, options, error)) << error;
        return image;
    }

    // What a test may leave open: the AFC connections and notification proxies that listed
    // devices keep for their lifetime. Over the wire the simulator's side closes a link once it
    // has read the end of it, which comes a moment after the runtime closed its socket.
    void ExpectOpen(long afcConnections, long serviceConnections) {
        const auto settled = [&] {
            const BwSimCounters now = sim_.Counters();
            return now.afcConnections == afcConnections &&
                   now.serviceConnections == serviceConnections && now.connectedDevices == 0 &&
                   now.sessions == 0 && now.afcFiles == 0 && now.directories == 0 &&
                   now.keyValueIterators == 0;
        };
        if (kOverWire) WaitUntil(settled);
        const BwSimCounters counters = sim_.Counters();
        EXPECT_EQ(counters.afcConnections, afcConnections);
        EXPECT_EQ(counters.serviceConnections, serviceConnections);
        EXPECT_EQ(counters.connectedDevices, 0);
        EXPECT_EQ(counters.sessions, 0);
        EXPECT_EQ(counters.afcFiles, 0);
        EXPECT_EQ(counters.directories, 0);
        EXPECT_EQ(counters.keyValueIterators, 0);
    }

    void ExpectNothingOpen() {
        ExpectOpen(0, 0);
    }

    // Over the wire the simulator's side lets go of its objects when it has read the end of the
    // runtime's links, a moment after the library released its own.
    void ExpectLiveObjectsBackAtStart() {
        if (kOverWire) WaitUntil([&] { return BwSimCFLiveObjects() == liveObjectsAtStart_; });
        EXPECT_EQ(BwSimCFLiveObjects(), liveObjectsAtStart_);
    }

    // Checks the runtime's subscriptions to device notifications: the simulator counts them, and
    // over the wire they are the usbmuxd clients listening (the device runtime listens while it
    // has subscribers), whose links come and go on the runtime's threads.
    void ExpectSubscriptions(long expected) {
#ifdef BW_WIRE_RUNTIME
        const auto listening = [] { return static_cast<long>(WireServerForTests()->Listeners()); };
        WaitUntil([&] { return listening() == expected; });
        EXPECT_EQ(listening(), expected);
        // The wire-level simulator's own subscription stays for the program.
        EXPECT_EQ(sim_.Counters().notificationSubscriptions, 1);
#else
        EXPECT_EQ(sim_.Counters().notificationSubscriptions, expected);
#endif
    }

    // Waits until the simulator delivered its notifications and, over the wire, until the
    // listener saw `arrivals` arrivals in all, which still travel through usbmuxd and the
    // runtime's dispatcher. False when the simulator did not settle.
    bool SettleUntilArrived(size_t arrivals) {
        if (!sim_.Settle()) return false;
        if (kOverWire) WaitUntil([&] { return log_.Count(kDeviceArrived) >= arrivals; });
        return true;
    }

    // Creates the listener with the two flags, records its callbacks and starts it.
    IConnectListener* Listen(bool openFullFileSystemTwin = false,
                             bool acceptNetworkDevices = false) {
        listener_ = NewConnectListener(openFullFileSystemTwin, acceptNetworkDevices);
        listener_->SetCallback(CallbackLog::Record, &log_);
        listener_->StartListening();
        EXPECT_TRUE(listener_->IsListening());
        return listener_;
    }

    // Attaches the image and waits until the simulator delivered its arrival; the device the
    // listener reported for it, or null.
    CIPhone* Arrive(const std::string& image, std::string* udidOut = nullptr) {
        const size_t before = log_.Count(kDeviceArrived);
        const std::string udid = sim_.Attach(image);
        if (udidOut != nullptr) *udidOut = udid;
        EXPECT_TRUE(sim_.Settle());
        // Over the wire the arrival still travels through usbmuxd to the runtime's listener.
        if (kOverWire) WaitUntil([&] { return log_.Count(kDeviceArrived) > before; });
        if (log_.Count(kDeviceArrived) == before) return nullptr;
        return log_.Device(kDeviceArrived, before);
    }

    // Detaches the device and waits until its removal was delivered.
    void Leave(const std::string& udid) {
        const size_t before = log_.Count(kDeviceRemoved);
        EXPECT_TRUE(sim_.Detach(udid));
        EXPECT_TRUE(sim_.Settle());
        if (kOverWire) WaitUntil([&] { return log_.Count(kDeviceRemoved) > before; });
    }

    // Ends the test's listener: detaches every device, stops and deletes the listener, and
    // checks that nothing stays open and no CoreFoundation object is left.
    void EndListening() {
        sim_.DetachAll();
        EXPECT_TRUE(sim_.Settle());
        // Over the wire the removals still travel through usbmuxd to the runtime's listener; the
        // listener is stopped once every listed device has left.
        if (kOverWire && listener_ != nullptr) {
            WaitUntil([&] {
                ::DeviceList listed;
                listener_->CopyDeviceList(listed, 1);
                return listed.empty();
            });
        }
        if (listener_ != nullptr) listener_->StopListening();
        DeleteConnectListener();
        listener_ = nullptr;
        ExpectNothingOpen();
        ExpectSubscriptions(0);
        ExpectLiveObjectsBackAtStart();
    }

    TempFolder folder_;
    SimControl sim_;
    CallbackLog log_;
    IConnectListener* listener_ = nullptr;
    long liveObjectsAtStart_ = 0;
};

// A test of one listed phone: the listener, an image made with the options, and the device that
// arrived for it.
class OnePhoneTest : public SimDeviceTest {
  protected:
    CIPhone* ArriveWith(const sim::ImageOptions& options = {}) {
        Listen();
        image_ = MakeImage("phone", options);
        CIPhone* phone = Arrive(image_, &udid_);
        EXPECT_NE(phone, nullptr);
        return phone;
    }

    std::string image_;
    std::string udid_;
};

}  // namespace bw::testing
