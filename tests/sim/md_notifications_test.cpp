// Device notifications of the simulator's mobile device library: arrivals and removals in order,
// one callback at a time on the simulator's thread, and an unsubscription that waits for the
// running callback. The library's listener relies on all three.
#include <atomic>
#include <condition_variable>
#include <set>
#include <thread>

#include "md_support.h"
#include "support/thread_state.h"

namespace bw::sim::mdtest {
namespace {

using SimMdNotifications = SimMdTest;
using namespace std::chrono_literals;

TEST_F(SimMdNotifications, ArrivalsAndRemovalsComeInOrder) {
    const std::string first = Attach(MakeImage(WithUdid('1')));
    Recorder recorder;
    AMDeviceNotificationRef subscription = nullptr;
    ASSERT_EQ(AMDeviceNotificationSubscribe(&Recorder::Callback, 0, 0, &recorder, &subscription),
              0);
    EXPECT_EQ(Counters().notificationSubscriptions, 1);
    const std::string second = Attach(MakeImage(WithUdid('2')));
    ASSERT_EQ(BwSimDetach(first.c_str()), 0);
    ASSERT_EQ(BwSimDetach(second.c_str()), 0);
    ASSERT_EQ(BwSimWaitForNotifications(5000), 0);

    const std::vector<Arrival> events = recorder.Events();
    ASSERT_EQ(events.size(), 4u);
    const std::vector<std::pair<std::string, uint32_t>> expected = {
        {first, 1}, {second, 1}, {first, 2}, {second, 2}};
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(TakeText(AMDeviceCopyDeviceIdentifier(events[i].device)), expected[i].first);
        EXPECT_EQ(events[i].message, expected[i].second);
        EXPECT_EQ(events[i].subscription, subscription);
    }
    // The removal carries the reference the arrival did.
    EXPECT_EQ(events[0].device, events[2].device);
    EXPECT_EQ(AMDeviceNotificationUnsubscribe(subscription), 0);
    EXPECT_EQ(Counters().notificationSubscriptions, 0);
}

// A callback that stays inside until the test opens its gate, and notes the threads it ran on.
struct Gated {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    bool entered = false;
    std::set<std::thread::id> threads;
    std::atomic<bool> finished{false};
    std::atomic<int> calls{0};
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};

    static void Callback(am_device_notification_callback_info*, void* context) {
        auto* gated = static_cast<Gated*>(context);
        if (gated->inside.fetch_add(1) != 0) ++gated->overlaps;
        ++gated->calls;
        {
            std::unique_lock<std::mutex> lock(gated->mutex);
            gated->threads.insert(std::this_thread::get_id());
            gated->entered = true;
            gated->changed.notify_all();
            gated->changed.wait_for(lock, 20s, [&] { return gated->open; });
        }
        gated->finished = true;
        gated->inside.fetch_sub(1);
    }

    bool WaitEntered() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return entered; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }
};

TEST_F(SimMdNotifications, UnsubscribeWaitsForTheRunningCallback) {
    Gated gated;
    AMDeviceNotificationRef subscription = nullptr;
    ASSERT_EQ(AMDeviceNotificationSubscribe(&Gated::Callback, 0, 0, &gated, &subscription), 0);
    Attach(MakeImage(WithUdid('5')));
    ASSERT_TRUE(gated.WaitEntered());
    std::atomic<pid_t> unsubscriber{0};
    std::atomic<bool> returned{false};
    std::atomic<bool> finishedAtReturn{false};
    std::thread thread([&] {
        unsubscriber = bw::testing::CurrentThreadId();
        EXPECT_EQ(AMDeviceNotificationUnsubscribe(subscription), 0);
        finishedAtReturn = gated.finished.load();
        returned = true;
    });
    // Unsubscribe blocks while the callback is inside; the callback ends only when let go.
    EXPECT_TRUE(bw::testing::WaitUntilBlockedIn(unsubscriber, SYS_futex, returned));
    EXPECT_FALSE(returned);
    gated.Open();
    thread.join();
    EXPECT_TRUE(finishedAtReturn);
}

TEST_F(SimMdNotifications, CallbacksNeverRunTwoAtOnce) {
    Gated gated;
    gated.Open();
    AMDeviceNotificationRef first = nullptr;
    AMDeviceNotificationRef second = nullptr;
    ASSERT_EQ(AMDeviceNotificationSubscribe(&Gated::Callback, 0, 0, &gated, &first), 0);
    ASSERT_EQ(AMDeviceNotificationSubscribe(&Gated::Callback, 0, 0, &gated, &second), 0);
    std::thread attacher([&] { Attach(MakeImage(WithUdid('6'))); });
    Attach(MakeImage(WithUdid('7')));
    attacher.join();
    ASSERT_EQ(BwSimWaitForNotifications(5000), 0);
    // Two arrivals for two subscriptions, all on the one notification thread, none inside another.
    EXPECT_EQ(gated.calls, 4);
    EXPECT_EQ(gated.overlaps, 0);
    EXPECT_EQ(gated.threads.size(), 1u);
    EXPECT_EQ(gated.threads.count(std::this_thread::get_id()), 0u);
    EXPECT_EQ(AMDeviceNotificationUnsubscribe(first), 0);
    EXPECT_EQ(AMDeviceNotificationUnsubscribe(second), 0);
}

// The post a host makes when a sync has finished is counted for that device only, once per post,
// and its count ends with the device.
TEST_F(SimMdNotifications, SyncDidFinishPostsAreCountedPerDevice) {
    constexpr char kSyncDidFinish[] = "com.apple.itunes-mobdev.syncDidFinish";
    const std::string udid = Attach(MakeImage(WithUdid('8')));
    const std::string other = Attach(MakeImage(WithUdid('9')));
    AMDeviceRef device = Device(udid);
    AMDServiceConnectionRef proxy = StartService(device, "com.apple.mobile.notification_proxy");
    ASSERT_NE(proxy, nullptr);
    EXPECT_EQ(BwSimCountHostNotifications(udid.c_str(), kSyncDidFinish), 0);
    CFStringRef name = Text(kSyncDidFinish);
    EXPECT_EQ(AMDPostNotification(proxy, name, nullptr), 0);
    EXPECT_EQ(AMDPostNotification(proxy, name, nullptr), 0);
    EXPECT_EQ(BwSimCountHostNotifications(udid.c_str(), kSyncDidFinish), 2);
    EXPECT_EQ(BwSimCountHostNotifications(other.c_str(), kSyncDidFinish), 0);
    EXPECT_EQ(BwSimCountHostNotifications(udid.c_str(), "com.apple.itunes-mobdev.syncWillStart"),
              0);
    CloseService(proxy);
    CFRelease(name);
    ASSERT_EQ(BwSimDetach(udid.c_str()), 0);
    EXPECT_EQ(BwSimCountHostNotifications(udid.c_str(), kSyncDidFinish), -1);
}

}  // namespace
}  // namespace bw::sim::mdtest
