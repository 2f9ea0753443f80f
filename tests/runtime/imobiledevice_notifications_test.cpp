// Device arrival and departure through the libimobiledevice runtime, with a usbmuxd of the test's
// own that announces phones on the listening connection: every subscriber hears every change in
// order, a new subscriber first hears the phones already there, a phone keeps its reference, and
// a subscriber may leave from inside its own callback.
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cf/CoreFoundation.h"
#include "runtime/imd_runtime_support.h"

namespace bw {
namespace {

// usbmuxd's framing: a little-endian header of length, version, message type and tag, then an
// XML property list (message type 8).
struct MuxHeader {
    uint32_t length;
    uint32_t version;
    uint32_t message;
    uint32_t tag;
};

bool ReadAll(int fd, void* bytes, size_t length) {
    auto* at = static_cast<char*>(bytes);
    while (length > 0) {
        const ssize_t got = ::read(fd, at, length);
        if (got <= 0) return false;
        at += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

void WritePlist(int fd, plist_t message, uint32_t tag) {
    char* xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(message, &xml, &size);
    MuxHeader header{static_cast<uint32_t>(sizeof(MuxHeader) + size), 1, 8, tag};
    std::string frame(reinterpret_cast<const char*>(&header), sizeof header);
    frame.append(xml, size);
    std::free(xml);
    // A client that went away must not end the test program.
    ASSERT_EQ(::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(frame.size()));
}

// Serves the listening connection: answers "Listen" and then writes the announcements the test
// asks for. A device list asked for on its own connection is empty (the phones are announced
// after); other requests get a refusal, so no client waits.
class UsbmuxdStandIn {
  public:
    explicit UsbmuxdStandIn(const std::string& path) {
        listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listenFd_, 8), 0);
        thread_ = std::thread([this] { Serve(); });
    }
    ~UsbmuxdStandIn() {
        ::shutdown(listenFd_, SHUT_RDWR);
        thread_.join();
        ::close(listenFd_);
        std::lock_guard<std::mutex> lock(mutex_);
        for (int fd : clients_)
            ::close(fd);
    }

    void Attach(uint32_t id, const std::string& serial, bool network) {
        plist_t properties = plist_new_dict();
        plist_dict_set_item(properties, "ConnectionType",
                            plist_new_string(network ? "Network" : "USB"));
        plist_dict_set_item(properties, "DeviceID", plist_new_uint(id));
        plist_dict_set_item(properties, "LocationID", plist_new_uint(0));
        plist_dict_set_item(properties, "ProductID", plist_new_uint(0x12a8));
        plist_dict_set_item(properties, "SerialNumber", plist_new_string(serial.c_str()));
        if (network) {
            const char address[16] = {16, 2, 0, 0, static_cast<char>(192),
                                      0,  2, 1};  // sockaddr_in of 192.0.2.1
            plist_dict_set_item(properties, "NetworkAddress", plist_new_data(address, 16));
        }
        plist_t message = plist_new_dict();
        plist_dict_set_item(message, "MessageType", plist_new_string("Attached"));
        plist_dict_set_item(message, "DeviceID", plist_new_uint(id));
        plist_dict_set_item(message, "Properties", properties);
        Announce(message);
    }

    void Detach(uint32_t id) {
        plist_t message = plist_new_dict();
        plist_dict_set_item(message, "MessageType", plist_new_string("Detached"));
        plist_dict_set_item(message, "DeviceID", plist_new_uint(id));
        Announce(message);
    }

  private:
    void Announce(plist_t message) {
        std::unique_lock<std::mutex> lock(mutex_);
        ASSERT_TRUE(
            listening_.wait_for(lock, std::chrono::seconds(30), [&] { return listener_ >= 0; }));
        WritePlist(listener_, message, 0);
        plist_free(message);
    }

    void Serve() {
        for (;;) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                clients_.push_back(fd);
            }
            MuxHeader header{};
            if (!ReadAll(fd, &header, sizeof header) || header.length < sizeof header ||
                header.length > (1u << 20)) {
                continue;
            }
            std::string body(header.length - sizeof header, '\0');
            if (!ReadAll(fd, body.data(), body.size())) continue;
            plist_t request = nullptr;
            plist_from_memory(body.data(), static_cast<uint32_t>(body.size()), &request);
            char* type = nullptr;
            plist_t typeNode =
                request != nullptr ? plist_dict_get_item(request, "MessageType") : nullptr;
            if (typeNode != nullptr) plist_get_string_val(typeNode, &type);
            const bool listen = type != nullptr && std::strcmp(type, "Listen") == 0;
            const bool list = type != nullptr && std::strcmp(type, "ListDevices") == 0;
            std::free(type);
            if (request != nullptr) plist_free(request);
            if (list) {
                plist_t devices = plist_new_dict();
                plist_dict_set_item(devices, "DeviceList", plist_new_array());
                WritePlist(fd, devices, header.tag);
                plist_free(devices);
                continue;
            }
            plist_t result = plist_new_dict();
            plist_dict_set_item(result, "MessageType", plist_new_string("Result"));
            plist_dict_set_item(result, "Number", plist_new_uint(listen ? 0 : 1));
            WritePlist(fd, result, header.tag);
            plist_free(result);
            if (listen) {
                std::lock_guard<std::mutex> lock(mutex_);
                listener_ = fd;
                listening_.notify_all();
            }
        }
    }

    int listenFd_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable listening_;
    std::vector<int> clients_;
    int listener_ = -1;
};

// What one subscriber heard, in order.
struct Heard {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<rt::AMDeviceRef, uint32_t>> events;
    rt::AMDeviceNotificationRef subscription = nullptr;
    bool leaveOnFirst = false;
    int leaveStatus = -1;

    static void Callback(rt::DeviceNotificationInfo* info, void* context) {
        auto* heard = static_cast<Heard*>(context);
        bool leave = false;
        {
            std::lock_guard<std::mutex> lock(heard->mutex);
            heard->events.emplace_back(info->device, info->message);
            leave = heard->leaveOnFirst && heard->events.size() == 1;
        }
        if (leave) {
            const int status = Runtime().AMDeviceNotificationUnsubscribe(info->subscription);
            std::lock_guard<std::mutex> lock(heard->mutex);
            heard->leaveStatus = status;
        }
        heard->changed.notify_all();
    }

    // Waits (a barrier, not a delay) until `count` events arrived; a copy of them.
    std::vector<std::pair<rt::AMDeviceRef, uint32_t>> AtLeast(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return events.size() >= count; });
        return events;
    }

    void Subscribe() {
        ASSERT_EQ(Runtime().AMDeviceNotificationSubscribe(Callback, 0, 0, this, &subscription), 0);
    }
};

std::string Identifier(rt::AMDeviceRef device) {
    rt::CFStringRef text = Runtime().AMDeviceCopyDeviceIdentifier(device);
    if (text == nullptr) return {};
    char buffer[128] = {};
    CFStringGetCString(reinterpret_cast<CFStringRef>(text), buffer, sizeof buffer,
                       kCFStringEncodingUTF8);
    Runtime().CFRelease(text);
    return buffer;
}

using ImdNotifications = testing::ImdRuntimeTest;

constexpr uint32_t kArrived = 1;
constexpr uint32_t kLeft = 2;
const std::string kSerial = "00008030-001A2B3C4D5E6F70";

TEST_F(ImdNotifications, SubscribersHearPhonesInOrderAndANewOneHearsThoseAlreadyThere) {
    UsbmuxdStandIn usbmuxd(UsbmuxdSocket());
    Heard first;
    Heard second;
    first.Subscribe();
    usbmuxd.Attach(7, kSerial, false);
    usbmuxd.Attach(8, kSerial, true);
    const auto arrived = first.AtLeast(2);
    ASSERT_EQ(arrived.size(), 2u);
    const rt::AMDeviceRef usb = arrived[0].first;
    const rt::AMDeviceRef network = arrived[1].first;
    EXPECT_EQ(arrived[0].second, kArrived);
    EXPECT_EQ(arrived[1].second, kArrived);
    EXPECT_NE(usb, network);
    EXPECT_EQ(Runtime().AMDeviceGetInterfaceType(usb), 1);
    EXPECT_EQ(Runtime().AMDeviceGetInterfaceType(network), 2);
    EXPECT_EQ(Identifier(usb), kSerial);
    EXPECT_EQ(Identifier(network), kSerial);

    second.Subscribe();
    const auto replayed = second.AtLeast(2);
    EXPECT_EQ(replayed, (std::vector<std::pair<rt::AMDeviceRef, uint32_t>>{{usb, kArrived},
                                                                           {network, kArrived}}));

    usbmuxd.Detach(7);
    EXPECT_EQ(first.AtLeast(3).back(), std::make_pair(usb, kLeft));
    EXPECT_EQ(second.AtLeast(3).back(), std::make_pair(usb, kLeft));

    // After unsubscribing, nothing more reaches the second subscriber; the phone that comes back
    // on the same interface is the same reference.
    ASSERT_EQ(Runtime().AMDeviceNotificationUnsubscribe(second.subscription), 0);
    usbmuxd.Detach(8);
    usbmuxd.Attach(9, kSerial, false);
    const auto later = first.AtLeast(5);
    ASSERT_EQ(later.size(), 5u);
    EXPECT_EQ(later[3], std::make_pair(network, kLeft));
    EXPECT_EQ(later[4], std::make_pair(usb, kArrived));
    EXPECT_EQ(second.AtLeast(0).size(), 3u);
    // A phone that left answers calls with a clean failure.
    EXPECT_NE(Runtime().AMDeviceConnect(network), 0);
    EXPECT_EQ(Runtime().AMDeviceNotificationUnsubscribe(first.subscription), 0);
}

TEST_F(ImdNotifications, ASubscriberMayLeaveFromInsideItsOwnCallback) {
    UsbmuxdStandIn usbmuxd(UsbmuxdSocket());
    Heard leaving;
    leaving.leaveOnFirst = true;
    Heard watching;
    leaving.Subscribe();
    watching.Subscribe();
    usbmuxd.Attach(3, kSerial, false);
    usbmuxd.Attach(4, "00008101-000000000000ABCD", false);
    // The dispatcher finishes one change for every subscriber before the next: once the watcher
    // heard the second phone, the leaving subscriber heard all it ever will.
    ASSERT_EQ(watching.AtLeast(2).size(), 2u);
    const auto heard = leaving.AtLeast(1);
    EXPECT_EQ(heard.size(), 1u);
    {
        std::lock_guard<std::mutex> lock(leaving.mutex);
        EXPECT_EQ(leaving.leaveStatus, 0);
    }
    EXPECT_EQ(Runtime().AMDeviceNotificationUnsubscribe(watching.subscription), 0);
}

}  // namespace
}  // namespace bw
