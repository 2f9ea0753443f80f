// What the tests of the simulator's mobile device library share: images made in a temporary
// folder, a subscription that records arrivals, the open sequence the library runs, and AFC
// helpers. Every test checks at its end that the CoreFoundation objects it made are gone.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cf/CoreFoundation.h"
#include "common/plist_tree.h"
#include "image/image_builder.h"
#include "mobiledevice/MobileDevice.h"
#include "mobiledevice/sim_control.h"
#include "support/temp_folder.h"

namespace bw::sim::mdtest {

inline CFStringRef Text(const char* utf8) {
    return CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8);
}

// The UTF-8 text of a CF string, released afterwards; "<null>" for NULL.
inline std::string TakeText(CFTypeRef value) {
    if (value == nullptr) return "<null>";
    char buffer[1024] = {};
    const bool ok = CFGetTypeID(value) == CFStringGetTypeID() &&
                    CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer,
                                       kCFStringEncodingUTF8);
    CFRelease(value);
    return ok ? buffer : "<not text>";
}

inline BwSimCounters Counters() {
    BwSimCounters counters{};
    BwSimGetCounters(&counters);
    return counters;
}

struct Arrival {
    AMDeviceRef device;
    uint32_t message;
    AMDeviceNotificationRef subscription;
};

// Records every device notification of one subscription.
class Recorder {
  public:
    static void Callback(am_device_notification_callback_info* info, void* context) {
        auto* recorder = static_cast<Recorder*>(context);
        std::lock_guard<std::mutex> lock(recorder->mutex_);
        recorder->events_.push_back({info->dev, info->msg, info->subscription});
    }

    std::vector<Arrival> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

  private:
    std::mutex mutex_;
    std::vector<Arrival> events_;
};

class SimMdTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.path().empty());
        liveAtStart_ = BwSimCFLiveObjects();
        misusesAtStart_ = BwSimCFMisuses();
    }

    void TearDown() override {
        if (subscription_ != nullptr) AMDeviceNotificationUnsubscribe(subscription_);
        BwSimDetachAll();
        EXPECT_EQ(BwSimWaitForNotifications(5000), 0);
        EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_) << "CF objects left behind";
        EXPECT_EQ(BwSimCFMisuses(), misusesAtStart_) << "CF calls the real library would crash on";
    }

    // A new image below the test's folder.
    std::string MakeImage(ImageOptions options = {}) {
        const std::string path = folder_ / ("image" + std::to_string(images_++));
        std::string error;
        EXPECT_TRUE(CreateImage(path, options, error)) << error;
        return path;
    }

    static ImageOptions WithUdid(char digit) {
        ImageOptions options;
        options.udid = std::string(40, digit);
        return options;
    }

    std::string Attach(const std::string& image) {
        char udid[64] = {};
        EXPECT_EQ(BwSimAttach(image.c_str(), udid, sizeof udid), 0) << BwSimLastError();
        return udid;
    }

    // The reference of the attached device `udid`, as the first arrival told it.
    AMDeviceRef Device(const std::string& udid) {
        if (subscription_ == nullptr) {
            EXPECT_EQ(AMDeviceNotificationSubscribe(&Recorder::Callback, 0, 0, &recorder_,
                                                    &subscription_),
                      0);
        }
        EXPECT_EQ(BwSimWaitForNotifications(5000), 0);
        for (const Arrival& event : recorder_.Events()) {
            if (event.message != 1) continue;
            if (TakeText(AMDeviceCopyDeviceIdentifier(event.device)) == udid) return event.device;
        }
        ADD_FAILURE() << "no arrival of " << udid;
        return nullptr;
    }

    AMDeviceRef AttachDevice(ImageOptions options = {}) {
        return Device(Attach(MakeImage(std::move(options))));
    }

    testing::TempFolder folder_;
    Recorder recorder_;
    AMDeviceNotificationRef subscription_ = nullptr;
    int images_ = 0;
    long liveAtStart_ = 0;
    long misusesAtStart_ = 0;
};

// Connect, pair when needed, validate, start a session: the library's ConnectAndStartSession.
inline int ConnectAndStartSession(AMDeviceRef device) {
    if (int status = AMDeviceConnect(device); status != 0) return status;
    if (AMDeviceIsPaired(device) != 1) {
        if (int status = AMDevicePair(device); status != 0) {
            AMDeviceDisconnect(device);
            return status;
        }
    }
    if (int status = AMDeviceValidatePairing(device); status != 0) {
        AMDeviceDisconnect(device);
        return status;
    }
    if (int status = AMDeviceStartSession(device); status != 0) {
        AMDeviceDisconnect(device);
        return status;
    }
    return 0;
}

// The wired open of the library: the service starts inside a short session, and the AFC
// connection on its handle outlives the session.
inline AFCConnectionRef OpenAfc(AMDeviceRef device, const char* service = "com.apple.afc") {
    if (ConnectAndStartSession(device) != 0) return nullptr;
    AMDServiceConnectionRef handle = nullptr;
    CFStringRef name = Text(service);
    const int started = AMDeviceStartService(device, name, &handle, nullptr);
    CFRelease(name);
    EXPECT_EQ(AMDeviceStopSession(device), 0);
    EXPECT_EQ(AMDeviceDisconnect(device), 0);
    if (started != 0) return nullptr;
    AFCConnectionRef afc = nullptr;
    EXPECT_EQ(AFCConnectionOpen(handle, 0, &afc), 0);
    return afc;
}

// A service started inside a session that ends again, as the library starts its services; null
// when the start fails.
inline AMDServiceConnectionRef StartService(AMDeviceRef device, const char* service) {
    if (ConnectAndStartSession(device) != 0) return nullptr;
    AMDServiceConnectionRef connection = nullptr;
    CFStringRef name = Text(service);
    const int started = AMDeviceSecureStartService(device, name, nullptr, &connection);
    CFRelease(name);
    EXPECT_EQ(AMDeviceStopSession(device), 0);
    EXPECT_EQ(AMDeviceDisconnect(device), 0);
    return started == 0 ? connection : nullptr;
}

inline std::string Framed(const std::string& body) {
    const auto size = static_cast<uint32_t>(body.size());
    return std::string{static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                       static_cast<char>(size >> 8), static_cast<char>(size)} +
           body;
}

inline std::string PlistBytes(plist_t message, bool binary = true) {
    char* bytes = nullptr;
    uint32_t length = 0;
    binary ? plist_to_bin(message, &bytes, &length) : plist_to_xml(message, &bytes, &length);
    std::string out(bytes, length);
    binary ? plist_to_bin_free(bytes) : plist_to_xml_free(bytes);
    return out;
}

// Sends one framed message, in two writes as hosts do: the length, then the body.
inline bool SendMessage(AMDServiceConnectionRef connection, plist_t message, bool binary = true) {
    const std::string framed = Framed(PlistBytes(message, binary));
    return AMDServiceConnectionSend(connection, framed.data(), 4) == 4 &&
           AMDServiceConnectionSend(connection, framed.data() + 4, framed.size() - 4) ==
               static_cast<int>(framed.size() - 4);
}

// Exactly `length` bytes, or nullopt when the stream ends or nothing comes.
inline std::optional<std::string> ReceiveBytes(AMDServiceConnectionRef connection, size_t length) {
    std::string bytes(length, '\0');
    size_t got = 0;
    while (got < length) {
        const int count = AMDServiceConnectionReceive(connection, bytes.data() + got, length - got);
        if (count <= 0) return std::nullopt;
        got += static_cast<size_t>(count);
    }
    return bytes;
}

// One framed message's body, or nullopt when the stream ends first.
inline std::optional<std::string> ReceiveMessageBytes(AMDServiceConnectionRef connection) {
    const std::optional<std::string> header = ReceiveBytes(connection, 4);
    if (!header) return std::nullopt;
    const auto* size = reinterpret_cast<const unsigned char*>(header->data());
    return ReceiveBytes(connection, (uint32_t{size[0]} << 24) | (uint32_t{size[1]} << 16) |
                                        (uint32_t{size[2]} << 8) | size[3]);
}

inline PlistTree ParsePlist(const std::string& bytes) {
    plist_t tree = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &tree);
    return PlistTree(tree);
}

inline PlistTree ReceiveMessage(AMDServiceConnectionRef connection) {
    const std::optional<std::string> bytes = ReceiveMessageBytes(connection);
    return bytes ? ParsePlist(*bytes) : PlistTree();
}

inline std::string XmlOf(plist_t tree) {
    return tree != nullptr ? PlistBytes(tree, false) : std::string("<none>");
}

inline void CloseService(AMDServiceConnectionRef connection) {
    AMDServiceConnectionInvalidate(connection);
    CFRelease(connection);
}

inline int WriteDeviceFile(AFCConnectionRef afc, const char* path, const std::string& bytes,
                           uint64_t mode = 3) {
    AFCFileRef file = 0;
    if (int status = AFCFileRefOpen(afc, path, mode, &file); status != 0) return status;
    const int written = AFCFileRefWrite(afc, file, bytes.data(), bytes.size());
    EXPECT_EQ(AFCFileRefClose(afc, file), 0);
    return written;
}

inline std::optional<std::string> ReadDeviceFile(AFCConnectionRef afc, const char* path) {
    AFCFileRef file = 0;
    if (AFCFileRefOpen(afc, path, 1, &file) != 0) return std::nullopt;
    std::string bytes;
    char block[4096];
    for (;;) {
        size_t length = sizeof block;
        if (AFCFileRefRead(afc, file, block, &length) != 0) {
            AFCFileRefClose(afc, file);
            return std::nullopt;
        }
        if (length == 0) break;
        bytes.append(block, length);
    }
    EXPECT_EQ(AFCFileRefClose(afc, file), 0);
    return bytes;
}

inline std::map<std::string, std::string> ReadPairs(AFCKeyValueRef values) {
    std::map<std::string, std::string> pairs;
    char* key = nullptr;
    char* value = nullptr;
    while (AFCKeyValueRead(values, &key, &value) == 0 && key != nullptr)
        pairs[key] = value != nullptr ? value : "<null>";
    EXPECT_EQ(AFCKeyValueClose(values), 0);
    return pairs;
}

// File information; empty when AFC refuses, with the status in *status.
inline std::map<std::string, std::string> Info(AFCConnectionRef afc, const char* path,
                                               int* status = nullptr) {
    AFCKeyValueRef values = nullptr;
    const int result = AFCFileInfoOpen(afc, path, &values);
    if (status != nullptr) *status = result;
    if (result != 0) return {};
    return ReadPairs(values);
}

inline std::vector<std::string> List(AFCConnectionRef afc, const char* path,
                                     int* status = nullptr) {
    AFCDirectoryRef directory = nullptr;
    const int result = AFCDirectoryOpen(afc, path, &directory);
    if (status != nullptr) *status = result;
    std::vector<std::string> names;
    if (result != 0) return names;
    char* name = nullptr;
    while (AFCDirectoryRead(afc, directory, &name) == 0 && name != nullptr)
        names.push_back(name);
    EXPECT_EQ(AFCDirectoryClose(afc, directory), 0);
    return names;
}

// A listing with information: each name with its pairs; empty when AFC refuses, with the
// status in *status.
inline std::vector<std::pair<std::string, std::map<std::string, std::string>>> ListWithInfo(
    AFCConnectionRef afc, const char* path, int* status = nullptr) {
    AFCDirectoryRef directory = nullptr;
    const int result = BwSimDirectoryOpenWithInfo(afc, path, &directory);
    if (status != nullptr) *status = result;
    std::vector<std::pair<std::string, std::map<std::string, std::string>>> entries;
    if (result != 0) return entries;
    char* name = nullptr;
    char* info = nullptr;
    while (BwSimDirectoryReadWithInfo(afc, directory, &name, &info) == 0 && name != nullptr) {
        auto& [entryName, pairs] = entries.emplace_back(name, std::map<std::string, std::string>{});
        for (const char* at = info; at != nullptr && *at != '\0';) {
            const std::string key = at;
            const std::string value = at + key.size() + 1;
            pairs[key] = value;
            at += key.size() + 1 + value.size() + 1;
        }
    }
    EXPECT_EQ(AFCDirectoryClose(afc, directory), 0);
    return entries;
}

}  // namespace bw::sim::mdtest
