// Host threads and the simulator's thread using the mobile device library at once: AFC on
// several connections, sessions, subscriptions and notifications, and a device leaving in the
// middle. Nothing may crash or deadlock, and every counter returns to zero.
#include <atomic>
#include <thread>
#include <vector>

#include "md_support.h"

namespace bw::sim::mdtest {
namespace {

using SimMdConcurrency = SimMdTest;

TEST_F(SimMdConcurrency, ThreadsShareTheDevice) {
    ImageOptions options = WithUdid('c');
    AMDeviceRef device = AttachDevice(options);
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    // Threads that went once round their loop (or gave up before): the device leaves only when
    // every thread is at work.
    std::atomic<int> started{0};
    const auto atWork = [&started](bool& counted) {
        if (!counted) ++started;
        counted = true;
    };
    std::vector<std::thread> threads;

    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            // The device may leave at any step once every thread is at work, so nothing after
            // the first round may expect success.
            bool counted = false;
            AMDServiceConnectionRef handle = nullptr;
            {
                // A device has one session: threads take turns, as the library's callers must.
                static std::mutex sessionTurn;
                std::lock_guard<std::mutex> turn(sessionTurn);
                if (AMDeviceConnect(device) != 0) {
                    ++failures;
                    atWork(counted);
                    return;
                }
                CFStringRef name = Text("com.apple.afc");
                if (AMDeviceStartSession(device) == 0) {
                    AMDeviceStartService(device, name, &handle, nullptr);
                    AMDeviceStopSession(device);
                }
                CFRelease(name);
                AMDeviceDisconnect(device);
            }
            AFCConnectionRef afc = nullptr;
            if (handle == nullptr || AFCConnectionOpen(handle, 0, &afc) != 0) {
                if (handle != nullptr) CFRelease(handle);
                ++failures;
                atWork(counted);
                return;
            }
            const std::string path = "/thread" + std::to_string(t);
            char block[4096];
            for (int i = 0; !stop; ++i) {
                const std::string bytes(1000 + i, static_cast<char>('a' + t));
                AFCFileRef file = 0;
                if (AFCFileRefOpen(afc, path.c_str(), 3, &file) != 0) break;
                const int written = AFCFileRefWrite(afc, file, bytes.data(), bytes.size());
                AFCFileRefClose(afc, file);
                if (written != 0 || AFCFileRefOpen(afc, path.c_str(), 1, &file) != 0) break;
                size_t length = sizeof block;
                const int read = AFCFileRefRead(afc, file, block, &length);
                AFCFileRefClose(afc, file);
                if (read == 0 && std::string(block, length) != bytes) ++failures;
                AFCDirectoryRef directory = nullptr;
                if (AFCDirectoryOpen(afc, "/", &directory) == 0) AFCDirectoryClose(afc, directory);
                atWork(counted);
            }
            atWork(counted);
            AFCConnectionClose(afc);
        });
    }
    threads.emplace_back([&] {
        bool counted = false;
        while (!stop) {
            Recorder recorder;
            AMDeviceNotificationRef subscription = nullptr;
            if (AMDeviceNotificationSubscribe(&Recorder::Callback, 0, 0, &recorder,
                                              &subscription) != 0) {
                ++failures;
                break;
            }
            BwSimPostDeviceNotification(options.udid.c_str(), "com.example.busy");
            AMDeviceNotificationUnsubscribe(subscription);
            atWork(counted);
        }
        atWork(counted);
    });
    threads.emplace_back([&] {
        bool counted = false;
        while (!stop) {
            CFStringRef key = Text("DeviceName");
            if (AMDeviceConnect(device) == 0) {
                CFTypeRef value = AMDeviceCopyValue(device, nullptr, key);
                if (value != nullptr) CFRelease(value);
                AMDeviceDisconnect(device);
            }
            CFRelease(key);
            atWork(counted);
        }
        atWork(counted);
    });

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (started < static_cast<int>(threads.size()) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(started, static_cast<int>(threads.size()));
    ASSERT_EQ(BwSimDetach(options.udid.c_str()), 0);
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);
    ASSERT_EQ(BwSimWaitForNotifications(5000), 0);
    const BwSimCounters counters = Counters();
    EXPECT_EQ(counters.connectedDevices, 0);
    EXPECT_EQ(counters.sessions, 0);
    EXPECT_EQ(counters.serviceConnections, 0);
    EXPECT_EQ(counters.afcConnections, 0);
    EXPECT_EQ(counters.afcFiles, 0);
    EXPECT_EQ(counters.directories, 0);
    EXPECT_EQ(counters.notificationSubscriptions, 1);  // the fixture's own
}

}  // namespace
}  // namespace bw::sim::mdtest
