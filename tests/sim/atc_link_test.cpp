// The AirTraffic link between the host library and the device: what the device sends after
// HostInfo, the bounded read, the ways a link ends, injected failures, references and hostile
// arguments.
#include <chrono>
#include <thread>

#include "sim/atc_support.h"

namespace bw::sim::atctest {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kInvalidArgument = static_cast<int>(0xE8000007u);
constexpr int kNotConnected = static_cast<int>(0xE800000Bu);

class AtcLinkTest : public AtcTest {
  protected:
    // The messages up to "ConnectionInvalid", which must come last, then NULL at once.
    static void ExpectLinkDied(ATHostConnectionRef connection) {
        std::string last;
        for (int i = 0; i < 10 && last != "ConnectionInvalid"; ++i)
            last = TakeName(ReadNext(connection));
        EXPECT_EQ(last, "ConnectionInvalid");
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(Ath().ATHostConnectionReadMessage(connection), nullptr);
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(250));
        EXPECT_EQ(SendHostInfo(connection), kNotConnected);
    }
};

TEST_F(AtcLinkTest, HostInfoIsAnsweredWithInstalledAssetsMetricsAndSyncAllowedInOrder) {
    ATHostConnectionRef connection = Open();
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(Ath().ATHostConnectionSendPowerAssertion(connection, kCFBooleanTrue), 0);
    EXPECT_EQ(Ath().ATHostConnectionRetain(connection), 0);
    EXPECT_EQ(Ath().ATHostConnectionGetCurrentSessionNumber(connection), 0u);
    ASSERT_EQ(SendHostInfo(connection), 0);

    EXPECT_EQ(TakeName(ReadNext(connection)), "InstalledAssets");
    const CFDictionaryRef metrics = ReadNext(connection);
    ASSERT_NE(metrics, nullptr);
    EXPECT_EQ(Integer(Get(metrics, "Session")), 1);
    EXPECT_NE(Get(Get(metrics, "Params"), "Media"), nullptr);
    EXPECT_EQ(TakeName(metrics), "AssetMetrics");
    EXPECT_EQ(TakeName(ReadNext(connection)), "SyncAllowed");
    EXPECT_EQ(Ath().ATHostConnectionGetCurrentSessionNumber(connection), 1u);

    // The session is the device's: a second HostInfo starts the next one.
    ASSERT_EQ(SendHostInfo(connection), 0);
    const CFDictionaryRef again = ReadNext(connection);
    EXPECT_EQ(Integer(Get(again, "Session")), 2);
    EXPECT_EQ(TakeName(again), "InstalledAssets");
    Close(connection);
}

// Invalidate ends the device side at once; the connection object lasts until its last Release.
TEST_F(AtcLinkTest, InvalidateEndsTheDeviceSideAndTheLastReleaseTheConnection) {
    ATHostConnectionRef connection = Open();
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(Counters().airTrafficConnections, 1);
    EXPECT_EQ(Counters().serviceConnections, 1);
    // The session only lasted for the service start.
    EXPECT_EQ(Counters().sessions, 0);
    EXPECT_EQ(Counters().connectedDevices, 0);
    ASSERT_EQ(Ath().ATHostConnectionRetain(connection), 0);
    Ath().ATHostConnectionRelease(connection);
    EXPECT_EQ(Counters().serviceConnections, 1);

    Ath().ATHostConnectionInvalidate(connection);
    EXPECT_EQ(Counters().serviceConnections, 0);
    EXPECT_EQ(Counters().airTrafficConnections, 1);
    EXPECT_EQ(SendHostInfo(connection), kNotConnected);
    // A link the host ended leaves no notice: NULL at once.
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Ath().ATHostConnectionReadMessage(connection), nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(250));
    Ath().ATHostConnectionRelease(connection);
    EXPECT_EQ(Counters().airTrafficConnections, 0);
    // A released handle is gone for good.
    EXPECT_EQ(Ath().ATHostConnectionRetain(connection), kInvalidArgument);
    EXPECT_EQ(Ath().ATHostConnectionReadMessage(connection), nullptr);
}

TEST_F(AtcLinkTest, AConnectionMadeInsideTheHostsSessionLeavesThatSessionOpen) {
    AMDeviceRef device = Device(udid_);
    ASSERT_EQ(mdtest::ConnectAndStartSession(device), 0);
    ATHostConnectionRef connection = Open();
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(Counters().sessions, 1);
    EXPECT_EQ(Counters().connectedDevices, 1);
    EXPECT_EQ(AMDeviceStopSession(device), 0);
    EXPECT_EQ(AMDeviceDisconnect(device), 0);
    ASSERT_EQ(SendHostInfo(connection), 0);
    EXPECT_EQ(TakeName(ReadNext(connection)), "InstalledAssets");
    Ath().ATHostConnectionInvalidate(connection);
    Ath().ATHostConnectionRelease(connection);
}

TEST_F(AtcLinkTest, ASilentDeviceAnswersNullAfterABoundedWaitOrAtOnceWhenInvalidated) {
    ASSERT_EQ(BwSimAirTrafficSetSilent(udid_.c_str(), 1), 0);
    ATHostConnectionRef connection = Open();
    ASSERT_NE(connection, nullptr);
    ASSERT_EQ(SendHostInfo(connection), 0);

    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Ath().ATHostConnectionReadMessage(connection), nullptr);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(100));
    EXPECT_LT(waited, std::chrono::seconds(3));

    // Messages queued from outside still go out, with their parameters.
    ASSERT_EQ(BwSimAirTrafficQueueMessage(
                  udid_.c_str(), "Ping",
                  "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Reason</key>"
                  "<string>test</string></dict></plist>"),
              1)
        << BwSimLastError();
    const CFDictionaryRef ping = ReadNext(connection);
    ASSERT_NE(ping, nullptr);
    EXPECT_EQ(TakeText(CFRetain(Get(Get(ping, "Params"), "Reason"))), "test");
    EXPECT_EQ(TakeName(ping), "Ping");

    // A reader held inside ReadMessage meets the invalidation with its read in progress.
    ASSERT_EQ(BwSimBlockCall("ATHostConnectionReadMessage", nullptr, 1), 0);
    CFDictionaryRef read = reinterpret_cast<CFDictionaryRef>(1);
    Clock::time_point returned;
    std::thread reader([&] {
        read = Ath().ATHostConnectionReadMessage(connection);
        returned = Clock::now();
    });
    ASSERT_EQ(BwSimWaitBlocked(5000), 0);
    BwSimRelease();
    const Clock::time_point invalidated = Clock::now();
    Ath().ATHostConnectionInvalidate(connection);
    reader.join();
    EXPECT_EQ(read, nullptr);
    // Well inside the 300 ms the read would otherwise wait.
    EXPECT_LT(returned - invalidated, std::chrono::milliseconds(200));
    Ath().ATHostConnectionRelease(connection);
}

TEST_F(AtcLinkTest, DelayedMessagesArriveNoEarlierThanTheDelay) {
    ASSERT_EQ(BwSimAirTrafficSetDelay(udid_.c_str(), 1500), 0);
    ATHostConnectionRef connection = Open();
    ASSERT_NE(connection, nullptr);
    const Clock::time_point sent = Clock::now();
    ASSERT_EQ(SendHostInfo(connection), 0);
    EXPECT_EQ(Ath().ATHostConnectionReadMessage(connection), nullptr);
    EXPECT_EQ(TakeName(ReadNext(connection)), "InstalledAssets");
    EXPECT_GE(Clock::now() - sent, std::chrono::milliseconds(1500));
    Close(connection);
}

TEST_F(AtcLinkTest, ADroppedLinkOrADetachedDeviceEndsTheLinkWithConnectionInvalid) {
    ATHostConnectionRef dropped = Open();
    ASSERT_NE(dropped, nullptr);
    EXPECT_EQ(BwSimAirTrafficDropLinks(udid_.c_str()), 1);
    ExpectLinkDied(dropped);
    EXPECT_EQ(BwSimAirTrafficDropLinks(udid_.c_str()), 0);
    Close(dropped);

    ATHostConnectionRef connection = Open();
    ASSERT_NE(connection, nullptr);
    ASSERT_EQ(SendHostInfo(connection), 0);
    EXPECT_EQ(TakeName(ReadNext(connection)), "InstalledAssets");
    ASSERT_EQ(BwSimDetach(udid_.c_str()), 0);
    ExpectLinkDied(connection);
    EXPECT_EQ(Counters().airTrafficConnections, 1);
    Close(connection);
}

TEST_F(AtcLinkTest, InjectedFailuresReachTheHost) {
    ASSERT_EQ(BwSimInjectFailure("ATHostConnectionCreateWithLibrary", nullptr, 1, 1), 0);
    EXPECT_EQ(Open(), nullptr);
    // A device that refuses the service leaves no session or lockdown connection behind.
    ASSERT_EQ(BwSimInjectFailure("AMDeviceSecureStartService", "com.apple.atc",
                                 static_cast<int>(0xE8000022u), 1),
              0);
    EXPECT_EQ(Open(), nullptr);
    EXPECT_EQ(Counters().sessions, 0);
    EXPECT_EQ(Counters().connectedDevices, 0);
    EXPECT_EQ(Counters().airTrafficConnections, 0);

    ATHostConnectionRef connection = Open();
    ASSERT_NE(connection, nullptr);
    const int failed = static_cast<int>(0xE8000005u);
    ASSERT_EQ(BwSimInjectFailure("ATHostConnectionSendHostInfo", "HostInfo", failed, 1), 0);
    EXPECT_EQ(SendHostInfo(connection), failed);
    // The failed HostInfo never reached the device, which therefore stays quiet.
    EXPECT_EQ(Ath().ATHostConnectionReadMessage(connection), nullptr);
    ASSERT_EQ(BwSimInjectFailure("ATHostConnectionReadMessage", nullptr, 0, 1), 0);
    ASSERT_EQ(SendHostInfo(connection), 0);
    EXPECT_EQ(Ath().ATHostConnectionReadMessage(connection), nullptr);
    EXPECT_EQ(TakeName(ReadNext(connection)), "InstalledAssets");
    ASSERT_EQ(BwSimInjectFailure("ATHostConnectionRetain", nullptr, 7, 1), 0);
    EXPECT_EQ(Ath().ATHostConnectionRetain(connection), 7);
    // The failed Retain added no reference: one Release ends it.
    Ath().ATHostConnectionInvalidate(connection);
    Ath().ATHostConnectionRelease(connection);
}

TEST_F(AtcLinkTest, HostileArgumentsFailCleanly) {
    const CFStringRef library = Text("12.1.0.71");
    const CFStringRef udid = Text(udid_.c_str());
    const int64_t value = 5;
    const CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt64Type, &value);
    EXPECT_EQ(Ath().ATHostConnectionCreateWithLibrary(nullptr, udid, nullptr), nullptr);
    EXPECT_EQ(Ath().ATHostConnectionCreateWithLibrary(library, nullptr, nullptr), nullptr);
    EXPECT_EQ(Ath().ATHostConnectionCreateWithLibrary(
                  library, reinterpret_cast<CFStringRef>(number), nullptr),
              nullptr);
    EXPECT_EQ(Open(std::string(40, 'f')), nullptr);
    EXPECT_EQ(Open(""), nullptr);

    const auto bogus = reinterpret_cast<ATHostConnectionRef>(uintptr_t{0x1234});
    for (ATHostConnectionRef connection : {static_cast<ATHostConnectionRef>(nullptr), bogus}) {
        EXPECT_EQ(Ath().ATHostConnectionRetain(connection), kInvalidArgument);
        EXPECT_EQ(Ath().ATHostConnectionReadMessage(connection), nullptr);
        EXPECT_EQ(Ath().ATHostConnectionSendPowerAssertion(connection, kCFBooleanTrue),
                  kInvalidArgument);
        EXPECT_EQ(SendHostInfo(connection), kInvalidArgument);
        EXPECT_EQ(Ath().ATHostConnectionSendSyncFailed(connection, 4), kInvalidArgument);
        EXPECT_EQ(Ath().ATHostConnectionGetCurrentSessionNumber(connection), 0u);
        Ath().ATHostConnectionSendPing(connection);
        Ath().ATHostConnectionInvalidate(connection);
        Ath().ATHostConnectionRelease(connection);
    }

    ATHostConnectionRef connection = Open();
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(Ath().ATHostConnectionSendPowerAssertion(connection, nullptr), kInvalidArgument);
    EXPECT_EQ(
        Ath().ATHostConnectionSendPowerAssertion(connection, reinterpret_cast<CFBooleanRef>(udid)),
        kInvalidArgument);
    EXPECT_EQ(Ath().ATHostConnectionSendHostInfo(connection, nullptr), kInvalidArgument);
    EXPECT_EQ(
        Ath().ATHostConnectionSendHostInfo(connection, reinterpret_cast<CFDictionaryRef>(udid)),
        kInvalidArgument);
    EXPECT_EQ(Ath().ATHostConnectionSendSyncRequest(connection, nullptr, nullptr, nullptr),
              kInvalidArgument);
    EXPECT_EQ(Ath().ATHostConnectionSendAssetCompleted(connection, udid, nullptr, udid),
              kInvalidArgument);
    EXPECT_EQ(Ath().ATHostConnectionSendFileError(connection, nullptr, udid, 3), kInvalidArgument);
    EXPECT_EQ(Ath().ATHostConnectionSendMessage(connection, nullptr), kInvalidArgument);
    // A dictionary without a command is no message.
    const CFDictionaryRef empty =
        CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks);
    EXPECT_EQ(Ath().ATHostConnectionSendMessage(connection, empty), kInvalidArgument);
    // None of that reached the device: it is still waiting for HostInfo.
    EXPECT_EQ(Ath().ATHostConnectionReadMessage(connection), nullptr);
    ASSERT_EQ(SendHostInfo(connection), 0);
    EXPECT_EQ(TakeName(ReadNext(connection)), "InstalledAssets");
    Ath().ATHostConnectionInvalidate(connection);
    Ath().ATHostConnectionRelease(connection);

    EXPECT_EQ(Ath().ATCFMessageGetName(nullptr), nullptr);
    EXPECT_EQ(Ath().ATCFMessageGetName(reinterpret_cast<CFDictionaryRef>(udid)), nullptr);
    EXPECT_EQ(Ath().ATCFMessageGetName(empty), nullptr);
    EXPECT_EQ(Ath().ATCFMessageGetParam(empty, udid), nullptr);
    EXPECT_EQ(Ath().ATCFMessageGetParam(nullptr, udid), nullptr);
    EXPECT_EQ(Ath().ATCFMessageCreate(0, nullptr, nullptr), nullptr);
    EXPECT_EQ(Ath().ATCFMessageCreate(0, udid, reinterpret_cast<CFDictionaryRef>(udid)), nullptr);
    EXPECT_EQ(BwSimAirTrafficQueueMessage(udid_.c_str(), "Ping", "<plist><array/></plist>"), -1);
    EXPECT_EQ(BwSimAirTrafficQueueMessage(udid_.c_str(), "", nullptr), -1);
    EXPECT_EQ(BwSimAirTrafficQueueMessage(std::string(40, 'f').c_str(), "Ping", nullptr), -1);
    EXPECT_EQ(BwSimAirTrafficSetDelay(udid_.c_str(), -1), -1);
    CFRelease(empty);
    CFRelease(number);
    CFRelease(udid);
    CFRelease(library);
}

TEST_F(AtcLinkTest, MessagesCarryCommandParamsAndSession) {
    const CFStringRef key = Text("AssetID");
    const CFStringRef asset = Text("12345");
    const void* keys[] = {key};
    const void* values[] = {asset};
    const CFDictionaryRef params = CFDictionaryCreate(
        nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    const CFStringRef command = Text("FileComplete");
    const CFDictionaryRef message = Ath().ATCFMessageCreate(7, command, params);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(TakeText(CFRetain(Ath().ATCFMessageGetName(message))), "FileComplete");
    EXPECT_EQ(Ath().ATCFMessageGetParam(message, key), asset);
    EXPECT_EQ(Integer(Get(message, "Session")), 7);
    // Without params the message still has an empty "Params".
    const CFDictionaryRef bare = Ath().ATCFMessageCreate(0, command, nullptr);
    EXPECT_EQ(CFDictionaryGetCount(static_cast<CFDictionaryRef>(Get(bare, "Params"))), 0);

    ATHostConnectionRef connection = Open();
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(Ath().ATHostConnectionSendMessage(connection, message), 0);
    Ath().ATHostConnectionInvalidate(connection);
    Ath().ATHostConnectionRelease(connection);
    for (CFTypeRef object : {static_cast<CFTypeRef>(message), static_cast<CFTypeRef>(bare),
                             static_cast<CFTypeRef>(params), static_cast<CFTypeRef>(command),
                             static_cast<CFTypeRef>(asset), static_cast<CFTypeRef>(key)})
        CFRelease(object);
}

}  // namespace
}  // namespace bw::sim::atctest
