// Lockdown through the simulator's mobile device library: the session rules, the secure context
// a network AFC connection needs, which values are served when, what SetValue refuses, and handles
// and images it never handed out. The library's open sequences, pairing and values read back are
// checked through the library by IPhoneOpen and IPhoneSession.
#include <plist/plist.h>

#include <cstdlib>
#include <filesystem>

#include "md_support.h"

namespace bw::sim::mdtest {
namespace {

using SimMdLockdown = SimMdTest;

TEST_F(SimMdLockdown, NetworkDeviceGetsSecureConnections) {
    ImageOptions options;
    options.interfaceType = "Network";
    AMDeviceRef device = AttachDevice(options);
    EXPECT_EQ(AMDeviceGetInterfaceType(device), 2);
    ASSERT_EQ(ConnectAndStartSession(device), 0);
    AMDServiceConnectionRef connection = nullptr;
    CFStringRef name = Text("com.apple.afc");
    ASSERT_EQ(AMDeviceSecureStartService(device, name, nullptr, &connection), 0);
    CFRelease(name);
    const int socket = AMDServiceConnectionGetSocket(connection);
    void* context = AMDServiceConnectionGetSecureIOContext(connection);
    EXPECT_GT(socket, 0);
    EXPECT_NE(context, nullptr);
    CloseSession(device);

    AFCConnectionRef afc = nullptr;
    ASSERT_EQ(
        AFCConnectionOpen(reinterpret_cast<const void*>(static_cast<intptr_t>(socket)), 0, &afc),
        0);
    // Plain text on an SSL connection is dropped until the context is attached.
    int status = 0;
    List(afc, "/", &status);
    EXPECT_EQ(status, 11);
    AFCConnectionSetSecureContext(afc, context);
    CFRelease(connection);  // the AFC connection keeps the service connection alive
    EXPECT_GT(List(afc, "/", &status).size(), 2u);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(AFCConnectionClose(afc), 0);
    EXPECT_EQ(Counters().serviceConnections, 0);
}

TEST_F(SimMdLockdown, SessionNeedsConnectionAndIsExclusive) {
    AMDeviceRef device = AttachDevice();
    EXPECT_EQ(AMDeviceStartSession(device), kAmdNotConnected);
    EXPECT_EQ(AMDevicePair(device), kAmdNotConnected);
    ASSERT_EQ(AMDeviceConnect(device), 0);
    EXPECT_EQ(AMDeviceStopSession(device), kAmdSessionInactive);
    ASSERT_EQ(AMDeviceStartSession(device), 0);
    EXPECT_EQ(AMDeviceStartSession(device), kAmdSessionActive);
    EXPECT_EQ(Counters().sessions, 1);
    // Disconnecting ends the session that ran on the connection.
    EXPECT_EQ(AMDeviceDisconnect(device), 0);
    EXPECT_EQ(Counters().sessions, 0);
    EXPECT_EQ(AMDeviceStopSession(device), kAmdSessionInactive);
    // Extra disconnects change nothing and never take the counter below zero.
    EXPECT_EQ(AMDeviceDisconnect(device), 0);
    EXPECT_EQ(Counters().connectedDevices, 0);
}

TEST_F(SimMdLockdown, ConnectionsNestAndDetachEndsThem) {
    ImageOptions options = WithUdid('b');
    AMDeviceRef device = AttachDevice(options);
    ASSERT_EQ(AMDeviceConnect(device), 0);
    ASSERT_EQ(AMDeviceConnect(device), 0);
    ASSERT_EQ(AMDeviceStartSession(device), 0);
    EXPECT_EQ(AMDeviceDisconnect(device), 0);
    EXPECT_EQ(Counters().sessions, 1);  // one connection remains
    ASSERT_EQ(BwSimDetach(options.udid.c_str()), 0);
    const BwSimCounters counters = Counters();
    EXPECT_EQ(counters.connectedDevices, 0);
    EXPECT_EQ(counters.sessions, 0);
    EXPECT_EQ(counters.attachedDevices, 0);
    // The reference stays usable as a value; calls on it say the device is gone.
    EXPECT_EQ(AMDeviceConnect(device), kAmdNotConnected);
    EXPECT_EQ(AMDeviceStopSession(device), kAmdNotConnected);
    EXPECT_EQ(AMDeviceDisconnect(device), kAmdNotConnected);
    EXPECT_EQ(TakeText(AMDeviceCopyDeviceIdentifier(device)), options.udid);
    EXPECT_EQ(Counters().connectedDevices, 0);
}

TEST_F(SimMdLockdown, CopyValueReadsDomainsAndHidesTheSwitches) {
    ImageOptions options = WithUdid('c');
    options.name = "Test Phone";
    options.findMyPhone = true;
    AMDeviceRef device = AttachDevice(options);
    ASSERT_EQ(ConnectAndStartSession(device), 0);

    CFStringRef name = Text("DeviceName");
    CFStringRef udid = Text("UniqueDeviceID");
    CFStringRef simulator = Text("Simulator");
    CFStringRef fmip = Text("com.apple.fmip");
    CFStringRef associated = Text("IsAssociated");
    CFStringRef missing = Text("NoSuchValue");
    EXPECT_EQ(TakeText(AMDeviceCopyValue(device, nullptr, name)), "Test Phone");
    EXPECT_EQ(TakeText(AMDeviceCopyValue(device, nullptr, udid)), options.udid);
    EXPECT_EQ(AMDeviceCopyValue(device, nullptr, simulator), nullptr);
    EXPECT_EQ(AMDeviceCopyValue(device, simulator, nullptr), nullptr);
    EXPECT_EQ(AMDeviceCopyValue(device, nullptr, missing), nullptr);
    EXPECT_EQ(AMDeviceCopyValue(device, fmip, missing), nullptr);

    CFTypeRef found = AMDeviceCopyValue(device, fmip, associated);
    ASSERT_NE(found, nullptr);
    ASSERT_EQ(CFGetTypeID(found), CFNumberGetTypeID());
    long long isAssociated = 0;
    EXPECT_TRUE(
        CFNumberGetValue(static_cast<CFNumberRef>(found), kCFNumberLongLongType, &isAssociated));
    EXPECT_EQ(isAssociated, 1);
    CFRelease(found);

    // A NULL key gives the whole domain; the default domain holds no domains nor the switches.
    CFTypeRef domain = AMDeviceCopyValue(device, fmip, nullptr);
    ASSERT_NE(domain, nullptr);
    ASSERT_EQ(CFGetTypeID(domain), CFDictionaryGetTypeID());
    EXPECT_TRUE(CFDictionaryContainsKey(static_cast<CFDictionaryRef>(domain), associated));
    CFRelease(domain);
    CFTypeRef all = AMDeviceCopyValue(device, nullptr, nullptr);
    ASSERT_NE(all, nullptr);
    const auto* values = static_cast<CFDictionaryRef>(all);
    EXPECT_TRUE(CFDictionaryContainsKey(values, name));
    EXPECT_FALSE(CFDictionaryContainsKey(values, simulator));
    EXPECT_FALSE(CFDictionaryContainsKey(values, fmip));
    CFRelease(all);

    for (CFStringRef text : {name, udid, simulator, fmip, associated, missing})
        CFRelease(text);
    CloseSession(device);
}

TEST_F(SimMdLockdown, WithoutSessionOnlyIdentityValuesAreServed) {
    AMDeviceRef device = AttachDevice();
    CFStringRef name = Text("DeviceName");
    CFStringRef imei = Text("InternationalMobileEquipmentIdentity");
    CFStringRef battery = Text("com.apple.mobile.battery");
    EXPECT_EQ(AMDeviceCopyValue(device, nullptr, name), nullptr);  // not even connected
    ASSERT_EQ(AMDeviceConnect(device), 0);
    EXPECT_NE(TakeText(AMDeviceCopyValue(device, nullptr, name)), "<null>");
    EXPECT_EQ(AMDeviceCopyValue(device, nullptr, imei), nullptr);
    EXPECT_EQ(AMDeviceCopyValue(device, battery, nullptr), nullptr);
    ASSERT_EQ(AMDeviceStartSession(device), 0);
    EXPECT_NE(TakeText(AMDeviceCopyValue(device, nullptr, imei)), "<null>");
    CFTypeRef domain = AMDeviceCopyValue(device, battery, nullptr);
    EXPECT_NE(domain, nullptr);
    if (domain != nullptr) CFRelease(domain);
    CloseSession(device);
    for (CFStringRef text : {name, imei, battery})
        CFRelease(text);
}

TEST_F(SimMdLockdown, SetValueRefusesWhatDevicePlistCannotHold) {
    const std::string image = MakeImage();
    AMDeviceRef device = Device(Attach(image));
    const std::string before = testing::ReadFileBytes(image + "/device.plist");
    CFStringRef name = Text("DeviceName");
    CFStringRef simulator = Text("Simulator");
    CFStringRef battery = Text("com.apple.mobile.battery");
    CFStringRef foreign = Text("org.example.domain");
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    EXPECT_EQ(AMDeviceSetValue(device, nullptr, name, name), kAmdNotConnected);
    ASSERT_EQ(ConnectAndStartSession(device), 0);
    EXPECT_NE(AMDeviceSetValue(device, nullptr, simulator, name), 0);
    EXPECT_NE(AMDeviceSetValue(device, simulator, name, name), 0);
    EXPECT_NE(AMDeviceSetValue(device, foreign, name, name), 0);
    EXPECT_NE(AMDeviceSetValue(device, nullptr, battery, name), 0);  // would replace a domain
    EXPECT_NE(AMDeviceSetValue(device, nullptr, name, dictionary), 0);
    EXPECT_EQ(AMDeviceSetValue(device, nullptr, nullptr, name), kAmdInvalidArgument);
    EXPECT_EQ(AMDeviceSetValue(device, nullptr, name, nullptr), kAmdInvalidArgument);
    CloseSession(device);
    EXPECT_EQ(testing::ReadFileBytes(image + "/device.plist"), before);
    for (CFTypeRef object : {static_cast<CFTypeRef>(name), static_cast<CFTypeRef>(simulator),
                             static_cast<CFTypeRef>(battery), static_cast<CFTypeRef>(foreign),
                             static_cast<CFTypeRef>(dictionary)})
        CFRelease(object);
}

TEST_F(SimMdLockdown, UnknownDeviceReferencesFailCleanly) {
    AttachDevice();
    int local = 0;
    const auto bogus = reinterpret_cast<AMDeviceRef>(&local);
    EXPECT_EQ(AMDeviceConnect(bogus), kAmdInvalidArgument);
    EXPECT_EQ(AMDeviceConnect(nullptr), kAmdInvalidArgument);
    EXPECT_EQ(AMDeviceStartSession(bogus), kAmdInvalidArgument);
    EXPECT_EQ(AMDeviceIsPaired(bogus), 0);
    EXPECT_EQ(AMDeviceGetInterfaceType(bogus), 0);
    EXPECT_EQ(AMDeviceCopyDeviceIdentifier(bogus), nullptr);
    CFStringRef key = Text("DeviceName");
    EXPECT_EQ(AMDeviceCopyValue(bogus, nullptr, key), nullptr);
    EXPECT_NE(AMDeviceSetValue(bogus, nullptr, key, key), 0);
    AMDServiceConnectionRef connection = nullptr;
    EXPECT_NE(AMDeviceStartService(bogus, key, &connection, nullptr), 0);
    EXPECT_EQ(connection, nullptr);
    CFRelease(key);
    long flags = 0;
    EXPECT_NE(AMDeviceGetWirelessBuddyFlags(bogus, &flags), 0);
    EXPECT_EQ(local, 0);  // never written through
}

TEST_F(SimMdLockdown, AttachRefusesFoldersThatAreNoImage) {
    char udid[64] = "unchanged";
    EXPECT_EQ(BwSimAttach((folder_ / "missing").c_str(), udid, sizeof udid), -1);
    EXPECT_NE(std::string(BwSimLastError()), "");
    EXPECT_STREQ(udid, "unchanged");
    folder_.Write("noudid/device.plist",
                  "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>DeviceName</key>"
                  "<string>x</string></dict></plist>");
    EXPECT_EQ(BwSimAttach((folder_ / "noudid").c_str(), udid, sizeof udid), -1);
    folder_.Write("badswitch/device.plist",
                  "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>UniqueDeviceID</key>"
                  "<string>abc</string><key>Simulator</key><dict><key>Paired</key>"
                  "<string>yes</string></dict></dict></plist>");
    EXPECT_EQ(BwSimAttach((folder_ / "badswitch").c_str(), udid, sizeof udid), -1);
    folder_.Write("notaplist/device.plist", std::string("bplist00\xff\xff\xff", 11));
    EXPECT_EQ(BwSimAttach((folder_ / "notaplist").c_str(), udid, sizeof udid), -1);
    // Text holding a NUL can reach no host as a C string.
    using namespace std::string_literals;
    folder_.Write("nul/device.plist",
                  "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                  "<key>UniqueDeviceID</key><string>ab\0cd</string></dict></plist>"s);
    EXPECT_EQ(BwSimAttach((folder_ / "nul").c_str(), udid, sizeof udid), -1);
    folder_.Write("nulswitch/device.plist",
                  "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                  "<key>UniqueDeviceID</key><string>abcd</string><key>Simulator</key>"
                  "<dict><key>InterfaceType</key><string>USB\0</string></dict>"
                  "</dict></plist>"s);
    EXPECT_EQ(BwSimAttach((folder_ / "nulswitch").c_str(), udid, sizeof udid), -1);
    EXPECT_EQ(Counters().attachedDevices, 0);

    // An identifier that does not fit leaves the device away; the same one twice is refused.
    const std::string image = MakeImage(WithUdid('e'));
    char small[8] = {};
    EXPECT_EQ(BwSimAttach(image.c_str(), small, sizeof small), -1);
    EXPECT_EQ(Counters().attachedDevices, 0);
    EXPECT_EQ(BwSimAttach(image.c_str(), nullptr, 0), 0);
    EXPECT_EQ(BwSimAttach(image.c_str(), nullptr, 0), -1);
    EXPECT_EQ(Counters().attachedDevices, 1);
    EXPECT_EQ(BwSimDetach("no such device"), -1);
    EXPECT_EQ(BwSimDetachAll(), 1);
    EXPECT_EQ(BwSimDetachAll(), 0);
}

}  // namespace
}  // namespace bw::sim::mdtest
