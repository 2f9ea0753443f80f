#include <gtest/gtest.h>

#include <thread>

#include "support/sim_device.h"
#include "support/thread_state.h"

namespace bw {
namespace {

using testing::SimDeviceTest;

using testing::kWiredAfc;
using testing::kWiredServices;

class Listener : public SimDeviceTest {
  protected:
    sim::ImageOptions Seeded(uint64_t seed) {
        sim::ImageOptions options;
        options.seed = seed;
        return options;
    }
};

TEST_F(Listener, CreatedOncePerProcessAndTheFlagsStoredOnEveryCall) {
    CIPhoneConnectionListener* first = NewConnectListener(false, false);
    EXPECT_EQ(NewConnectListener(true, false), first);
    EXPECT_FALSE(first->IsListening());
    // The flags of the latest call apply to the next arrival.
    first->SetCallback(testing::CallbackLog::Record, &log_);
    first->StartListening();
    sim::ImageOptions options;
    options.hasAfc2 = true;
    CIPhone* phone = Arrive(MakeImage("phone", options));
    ASSERT_NE(phone, nullptr);
    EXPECT_NE(phone->fullFileSystemTwin, nullptr);
    listener_ = first;
    EndListening();
    // A later call makes a new listener.
    EXPECT_NE(NewConnectListener(false, false), nullptr);
    DeleteConnectListener();
}

TEST_F(Listener, StartingTwiceSubscribesOnceAndStopThenStartSubscribesAgain) {
    IConnectListener* listener = Listen();
    listener->StartListening();
    ExpectSubscriptions(1);
    listener->StopListening();
    EXPECT_FALSE(listener->IsListening());
    ExpectSubscriptions(0);
    listener->StopListening();  // nothing to stop
    listener->StartListening();
    EXPECT_TRUE(listener->IsListening());
    ExpectSubscriptions(1);
    // A device attached while listening arrives; one attached while stopped does not.
    std::string udid;
    EXPECT_NE(Arrive(MakeImage("phone"), &udid), nullptr);
    Leave(udid);
    listener->StopListening();
    // With no subscription left nothing can reach the callback.
    ExpectSubscriptions(0);
    sim_.Attach(MakeImage("other", Seeded(2)));
    ASSERT_TRUE(sim_.Settle());
    EXPECT_EQ(log_.Count(kDeviceArrived), 1u);
    EndListening();
}

TEST_F(Listener, DevicesAttachedBeforeListeningArriveWhenItStarts) {
    const std::string udid = sim_.Attach(MakeImage("phone"));
    ASSERT_FALSE(udid.empty());
    Listen();
    ASSERT_TRUE(SettleUntilArrived(1));
    ASSERT_EQ(log_.Count(kDeviceArrived), 1u);
    EXPECT_EQ(log_.Device(kDeviceArrived)->udid, udid);
    EndListening();
}

TEST_F(Listener, ArrivalsAndRemovalsReachTheCallbackInOrder) {
    Listen();
    std::string firstUdid, secondUdid;
    CIPhone* first = Arrive(MakeImage("first", Seeded(1)), &firstUdid);
    CIPhone* second = Arrive(MakeImage("second", Seeded(2)), &secondUdid);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    DeviceList listed;
    listener_->CopyDeviceList(listed, 1);
    EXPECT_EQ(listed, (DeviceList{ToHost(first), ToHost(second)}));
    ExpectOpen(2 * kWiredAfc, 2 * kWiredServices);

    Leave(firstUdid);
    const auto events = log_.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].device, ToHost(first));
    EXPECT_EQ(events[0].message, kDeviceArrived);
    EXPECT_EQ(events[1].device, ToHost(second));
    EXPECT_EQ(events[1].message, kDeviceArrived);
    EXPECT_EQ(events[2].device, ToHost(first));
    EXPECT_EQ(events[2].message, kDeviceRemoved);
    listener_->CopyDeviceList(listed, 1);
    EXPECT_EQ(listed, DeviceList{ToHost(second)});
    // The removed device closed everything it held.
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(Listener, RemovedDeviceStillAnswersWithFailures) {
    Listen(/*openFullFileSystemTwin=*/true);
    sim::ImageOptions options;
    options.hasAfc2 = true;
    std::string udid;
    CIPhone* phone = Arrive(MakeImage("phone", options), &udid);
    ASSERT_NE(phone, nullptr);
    CIPhone* twin = phone->fullFileSystemTwin;
    ASSERT_NE(twin, nullptr);
    void* device = phone->device;
    Leave(udid);
    ExpectNothingOpen();

    EXPECT_TRUE(phone->IsRetired());
    EXPECT_EQ(phone->ready.load(), 0);
    EXPECT_EQ(phone->device, device);
    EXPECT_EQ(phone->udid, udid);
    EXPECT_FALSE(phone->FileExists("/DCIM"));
    std::vector<std::string> names;
    EXPECT_FALSE(phone->ListDirectory("/", names));
    EXPECT_TRUE(names.empty());
    EXPECT_FALSE(phone->MakeDirectory("/New"));
    EXPECT_FALSE(phone->CopyFileFromDevice("/DCIM/100APPLE/IMG_0001.JPG", folder_ / "x.jpg"));
    EXPECT_FALSE(platform::PathExists(folder_ / "x.jpg"));
    EXPECT_FALSE(phone->ConnectAndStartSession());
    EXPECT_FALSE(phone->IsFindMyPhoneOn());
    EXPECT_EQ(phone->ReadDeviceValueText("", "DeviceName"), "");
    EXPECT_EQ(phone->OpenCrashReportService(), nullptr);
    EXPECT_FALSE(twin->IsDirectory("/var"));
    EXPECT_TRUE(twin->IsRetired());
    EndListening();
}

TEST_F(Listener, WaitWithZeroSecondsReturnsNullEvenWithAReadyDevice) {
    IConnectListener* listener = Listen();
    ASSERT_NE(Arrive(MakeImage("phone")), nullptr);
    ::CIPhone* found = reinterpret_cast<::CIPhone*>(&found);
    listener->WaitForDevice(0, &found);
    EXPECT_EQ(found, nullptr);
    listener->WaitForDevice(1, &found);
    EXPECT_EQ(found, ToHost(log_.Device(kDeviceArrived)));
    EndListening();
}

TEST_F(Listener, WaitWithAnEmptyListForTheWholeTimeReturnsNull) {
    IConnectListener* listener = Listen();
    ::CIPhone* found = reinterpret_cast<::CIPhone*>(&found);
    const auto start = std::chrono::steady_clock::now();
    listener->WaitForDevice(1, &found);
    EXPECT_EQ(found, nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    EndListening();
}

TEST_F(Listener, WaitReturnsADeviceThatArrivesAndOpensMeanwhile) {
    IConnectListener* listener = Listen();
    const std::string image = MakeImage("phone");
    ::CIPhone* found = nullptr;
    std::atomic<pid_t> waiterThread{0};
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        waiterThread = testing::CurrentThreadId();
        listener->WaitForDevice(20, &found);
        returned = true;
    });
    // Asleep between two looks at the list: it has seen the list empty.
    EXPECT_TRUE(testing::WaitUntilBlockedIn(waiterThread, SYS_clock_nanosleep, returned));
    EXPECT_FALSE(returned);
    sim_.Attach(image);
    waiter.join();
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(reinterpret_cast<CIPhone*>(found)->ready.load(), 1);
    EXPECT_EQ(found, ToHost(log_.Device(kDeviceArrived)));
    EndListening();
}

TEST_F(Listener, NullCallbackIsIgnored) {
    IConnectListener* listener = Listen();
    listener->SetCallback(nullptr, nullptr);
    EXPECT_NE(Arrive(MakeImage("phone")), nullptr);
    EXPECT_EQ(log_.Count(kDeviceArrived), 1u);
    EndListening();
}

TEST_F(Listener, CallerListReplacesTheDeviceListWithItsKnownDevicesOnly) {
    IConnectListener* listener = Listen();
    CIPhone* first = Arrive(MakeImage("first", Seeded(1)));
    std::string secondUdid;
    CIPhone* second = Arrive(MakeImage("second", Seeded(2)), &secondUdid);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    int stranger = 0;
    DeviceList mine{ToHost(second), reinterpret_cast<::CIPhone*>(&stranger)};
    listener->CopyDeviceList(mine, 0);
    DeviceList listed;
    listener->CopyDeviceList(listed, 1);
    EXPECT_EQ(listed, DeviceList{ToHost(second)});
    EXPECT_EQ(FromHost(reinterpret_cast<::CIPhone*>(&stranger)), nullptr);
    EXPECT_EQ(FromHost(ToHost(first)), first);
    // The device the host took out of the list is not reported when it leaves, but it still
    // closes its connections (checked when the test ends). Departures are reported in order:
    // once the second phone's is in, the first one's would have been.
    EXPECT_TRUE(sim_.Detach(first->udid));
    Leave(secondUdid);
    ASSERT_EQ(log_.Count(kDeviceRemoved), 1u);
    EXPECT_EQ(log_.Device(kDeviceRemoved), second);
    EXPECT_TRUE(first->IsRetired());
    EndListening();
}

TEST_F(Listener, RestoreModeCallbacksReportTheirCodes) {
    // Phones in recovery or restore mode are not reported by usbmuxd; the device runtime over
    // libimobiledevice takes the registrations and never calls them.
    if (testing::kOverWire) GTEST_SKIP() << "no restore-mode notifications over usbmuxd";
    Listen();
    for (int index = 0; index < 4; ++index)
        ASSERT_TRUE(sim_.FireRestoreCallback(index));
    ASSERT_TRUE(sim_.Settle());
    const auto events = log_.Events();
    ASSERT_EQ(events.size(), 4u);
    const uint32_t expected[] = {3, 5, 4, 6};
    for (int index = 0; index < 4; ++index) {
        EXPECT_EQ(events[index].message, expected[index]);
        CIPhone* phone = FromHost(events[index].device);
        ASSERT_NE(phone, nullptr);
        EXPECT_NE(phone->device, nullptr);
        EXPECT_EQ(phone->kind, kKindRestoreMode);
        EXPECT_FALSE(phone->FileExists("/"));
    }
    EXPECT_NE(events[0].device, events[1].device);
    EndListening();
}

TEST_F(Listener, ListenerDeletedWhileSubscribedStillListsDevices) {
    Listen();
    DeleteConnectListener();
    listener_ = nullptr;
    // The subscription outlives the listener, as the host was told.
    ExpectSubscriptions(1);
    EXPECT_NE(Arrive(MakeImage("phone")), nullptr);
    listener_ = NewConnectListener(false, false);
    EXPECT_FALSE(listener_->IsListening());
    DeviceList listed;
    listener_->CopyDeviceList(listed, 1);
    EXPECT_EQ(listed.size(), 1u);
    // Starting the new listener finds the subscription there and makes no second one.
    listener_->StartListening();
    ExpectSubscriptions(1);
    EndListening();
}

TEST_F(Listener, ListeningAgainReportsTheObjectAlreadyOpenOnAnAttachedPhone) {
    Listen();
    CIPhone* phone = Arrive(MakeImage("phone"));
    ASSERT_NE(phone, nullptr);
    const auto sessions = sim_.Counters().sessions;
    // A host that stops, deletes and makes its listener again, as a second command of one
    // process does: the runtime announces the attached phone once more.
    listener_->StopListening();
    DeleteConnectListener();
    Listen();
    ASSERT_TRUE(SettleUntilArrived(2));
    ASSERT_EQ(log_.Count(kDeviceArrived), 2u);
    EXPECT_EQ(log_.Device(kDeviceArrived, 1), phone);
    DeviceList listed;
    listener_->CopyDeviceList(listed, 1);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed.front(), ToHost(phone));
    // Nothing else was opened on the phone, and the object still works.
    EXPECT_EQ(sim_.Counters().sessions, sessions);
    EXPECT_TRUE(phone->FileExists("/DCIM"));
    // Stopping and starting the same listener does the same.
    listener_->StopListening();
    listener_->StartListening();
    ASSERT_TRUE(SettleUntilArrived(3));
    ASSERT_EQ(log_.Count(kDeviceArrived), 3u);
    EXPECT_EQ(log_.Device(kDeviceArrived, 2), phone);
    EndListening();
}

// The stub runtime counts the registrations the simulator would merge.
TEST(ListenerOnStubRuntime, RestoreCallbacksAreRegisteredOncePerProcess) {
    testing::TempFolder folder;
    ASSERT_TRUE(testing::LoadStubRuntime(folder));
    const auto count = reinterpret_cast<int (*)(const char*)>(
        platform::FindSymbol(Runtime().mobileDevice, "StubCallCount"));
    ASSERT_NE(count, nullptr);
    CIPhoneConnectionListener* listener = NewConnectListener(false, false);
    listener->StartListening();
    listener->StartListening();
    EXPECT_EQ(count("AMDeviceNotificationSubscribe"), 1);
    listener->StopListening();
    EXPECT_EQ(count("AMDeviceNotificationUnsubscribe"), 1);
    listener->StartListening();
    EXPECT_TRUE(listener->IsListening());
    EXPECT_EQ(count("AMDeviceNotificationSubscribe"), 2);
    EXPECT_EQ(count("AMRestoreRegisterForDeviceNotifications"), 1);
    DeleteConnectListener();
    // The new listener finds the subscription and does not subscribe again.
    NewConnectListener(false, false)->StartListening();
    EXPECT_EQ(count("AMDeviceNotificationSubscribe"), 2);
    DeleteConnectListener();
}

TEST(ListenerWithoutRuntime, ListenerIsMadeButNeverListens) {
    testing::TempFolder folder;
    testing::UseRegistry(folder, "REGEDIT4\n");
    CIPhoneConnectionListener* listener = NewConnectListener(false, false);
    ASSERT_NE(listener, nullptr);
    listener->StartListening();
    EXPECT_FALSE(listener->IsListening());
    ::CIPhone* found = reinterpret_cast<::CIPhone*>(&found);
    listener->WaitForDevice(0, &found);
    EXPECT_EQ(found, nullptr);
    DeleteConnectListener();
}

}  // namespace
}  // namespace bw
