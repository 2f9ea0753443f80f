// What the AirTraffic tests share: the AirTraffic library loaded from the runtime folder, an
// attached image, the host's opening sequence as the library runs it, and reading messages by
// name. Every test ends with no connection, session or CF object left (SimMdTest checks the
// objects; TearDown here the counters).
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "airtraffic/AirTrafficHost.h"
#include "sim/md_support.h"
#include "support/build_paths.h"

namespace bw::sim::atctest {

// The library is loaded by path with dlopen, as hosts load it, and not linked: the test program
// meets it only the way the library under test does.
// clang-format off
#define BW_ATH_FUNCTIONS(X)                                                                      \
    X(ATHostConnectionCreateWithLibrary) X(ATHostConnectionRetain) X(ATHostConnectionRelease)    \
    X(ATHostConnectionInvalidate) X(ATHostConnectionGetCurrentSessionNumber)                     \
    X(ATHostConnectionReadMessage) X(ATHostConnectionSendPowerAssertion)                         \
    X(ATHostConnectionSendHostInfo) X(ATHostConnectionSendSyncRequest)                           \
    X(ATHostConnectionSendMetadataSyncFinished) X(ATHostConnectionSendSyncFailed)                \
    X(ATHostConnectionSendFileError) X(ATHostConnectionSendAssetCompleted)                       \
    X(ATHostConnectionSendFileProgress) X(ATHostConnectionSendPing)                              \
    X(ATHostConnectionSendMessage) X(ATCFMessageCreate) X(ATCFMessageGetName)                    \
    X(ATCFMessageGetParam)
// clang-format on

struct AirTrafficLibrary {
#define BW_ATH_SLOT(name) decltype(&::name) name = nullptr;
    BW_ATH_FUNCTIONS(BW_ATH_SLOT)
#undef BW_ATH_SLOT
};

// The library's functions, looked up by name.
inline const AirTrafficLibrary& Ath() {
    static const AirTrafficLibrary library = [] {
        const std::string path = std::string(BRACKWATER_SIM_RUNTIME_DIR) + "/libAirTrafficHost.so";
        void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), ::dlerror());
            std::abort();
        }
        AirTrafficLibrary loaded;
#define BW_ATH_FIND(name)                                                      \
    loaded.name = reinterpret_cast<decltype(&::name)>(::dlsym(handle, #name)); \
    if (loaded.name == nullptr) std::abort();
        BW_ATH_FUNCTIONS(BW_ATH_FIND)
#undef BW_ATH_FIND
        return loaded;
    }();
    return library;
}

using mdtest::Counters;
using mdtest::TakeText;
using mdtest::Text;

// The name of a message (+1 taken and released); "<none>" for NULL.
inline std::string TakeName(CFDictionaryRef message) {
    if (message == nullptr) return "<none>";
    const CFStringRef name = Ath().ATCFMessageGetName(message);
    std::string text = name != nullptr ? TakeText(CFRetain(name)) : "<no name>";
    CFRelease(message);
    return text;
}

inline std::optional<int64_t> Integer(CFTypeRef value) {
    int64_t number = 0;
    if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &number))
        return std::nullopt;
    return number;
}

// dictionary[key], +0.
inline CFTypeRef Get(CFTypeRef dictionary, const char* key) {
    if (dictionary == nullptr || CFGetTypeID(dictionary) != CFDictionaryGetTypeID()) return nullptr;
    const CFStringRef name = Text(key);
    const CFTypeRef value = CFDictionaryGetValue(static_cast<CFDictionaryRef>(dictionary), name);
    CFRelease(name);
    return value;
}

class AtcTest : public mdtest::SimMdTest {
  protected:
    void SetUp() override {
        SimMdTest::SetUp();
        image_ = MakeImage();
        udid_ = Attach(image_);
    }

    void TearDown() override {
        BwSimClearFailures();
        const BwSimCounters counters = Counters();
        EXPECT_EQ(counters.airTrafficConnections, 0);
        EXPECT_EQ(counters.serviceConnections, 0);
        EXPECT_EQ(counters.sessions, 0);
        EXPECT_EQ(counters.connectedDevices, 0);
        SimMdTest::TearDown();
    }

    ATHostConnectionRef Open(const std::string& udid) {
        const CFStringRef library = Text("12.1.0.71");
        const CFStringRef device = Text(udid.c_str());
        ATHostConnectionRef connection =
            Ath().ATHostConnectionCreateWithLibrary(library, device, nullptr);
        CFRelease(library);
        CFRelease(device);
        return connection;
    }
    ATHostConnectionRef Open() { return Open(udid_); }

    // {"LibraryID", "SyncHostName", "SyncedDataclasses": [], "Version"}, as the library sends it.
    static int SendHostInfo(ATHostConnectionRef connection) {
        CFMutableDictionaryRef info = CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        const auto set = [&](const char* key, CFTypeRef value) {
            const CFStringRef name = Text(key);
            CFDictionarySetValue(info, name, value);
            CFRelease(name);
            CFRelease(value);
        };
        set("LibraryID", Text("A1B2C3D4E5F60718"));
        set("SyncHostName", Text("BRACKWATER-PC"));
        set("SyncedDataclasses", CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks));
        set("Version", Text("12.1.0.71"));
        const int status = Ath().ATHostConnectionSendHostInfo(connection, info);
        CFRelease(info);
        return status;
    }

    // Reads until a message arrives or `attempts` reads answered NULL.
    static CFDictionaryRef ReadNext(ATHostConnectionRef connection, int attempts = 20) {
        for (int i = 0; i < attempts; ++i)
            if (CFDictionaryRef message = Ath().ATHostConnectionReadMessage(connection))
                return message;
        return nullptr;
    }

    // Ends the connection as the library does: Invalidate, then one Release for Create and one
    // for Retain.
    static void Close(ATHostConnectionRef connection) {
        Ath().ATHostConnectionInvalidate(connection);
        Ath().ATHostConnectionRelease(connection);
        Ath().ATHostConnectionRelease(connection);
    }

    std::string image_;
    std::string udid_;
};

}  // namespace bw::sim::atctest
