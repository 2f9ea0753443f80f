#include <gtest/gtest.h>

#include "device/iphone_service.h"
#include "device/runtime_values.h"
#include "formats/plist_library.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::kWiredAfc;
using testing::kWiredServices;

class IPhoneSession : public testing::OnePhoneTest {
  protected:
    // Opens the notification proxy on the phone's own service connection.
    bool StartNotificationProxy(CIPhone* phone) {
        rt::ServiceHandle handle = nullptr;
        if (!phone->ConnectAndStartSession() ||
            StartDeviceService(phone->device, "com.apple.mobile.notification_proxy", &handle) != 0)
            return false;
        phone->serviceConnection = static_cast<rt::AMDServiceConnectionRef>(handle);
        return true;
    }
};

// The identity, the iTunes domain and the two flags on a working session are pinned through what
// reads them: the Info.plist tests and the backup checks. What they do not reach is a flag read
// when no session can be started: both must then answer the safe way.
TEST_F(IPhoneSession, FlagsFailClosedWithoutASession) {
    sim::ImageOptions options;
    options.findMyPhone = true;  // with the default plain backups, both flags would read true
    CIPhone* phone = ArriveWith(options);
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceStartSession", nullptr, 0xE800001E, 2));
    EXPECT_FALSE(phone->WillNotEncryptBackup());
    EXPECT_FALSE(phone->IsFindMyPhoneOn());
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(IPhoneSession, SetValueIsReadBackInANewSession) {
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    EXPECT_TRUE(phone->SetDeviceValue("DeviceName", "Renamed ✓"));
    EXPECT_EQ(phone->ReadDeviceValueText("", "DeviceName"), "Renamed ✓");
    EXPECT_EQ(phone->ReadDeviceValueText("", "UniqueDeviceID"), udid_);
    EXPECT_EQ(phone->ReadDeviceValueText("", "NoSuchKey"), "");
    ExpectOpen(kWiredAfc, kWiredServices);
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceSetValue", "DeviceName", 0xE8000017));
    EXPECT_FALSE(phone->SetDeviceValue("DeviceName", "Refused"));
    EXPECT_EQ(phone->ReadDeviceValueText("", "DeviceName"), "Renamed ✓");
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(IPhoneSession, FramedMessagesGoBothWaysOnAServiceConnection) {
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(StartNotificationProxy(phone));
    BaseService service(phone->serviceConnection);

    CDicValueObj observe = CDicValueObj::MakeDictionary();
    observe.Set("Command", CDicValueObj::MakeString("ObserveNotification"));
    observe.Set("Name", CDicValueObj::MakeString("com.example.ping"));
    ASSERT_TRUE(service.Send(observe));
    EXPECT_FALSE(service.Send(CDicValueObj()));  // nothing to send

    CDicValueObj post = CDicValueObj::MakeDictionary();
    post.Set("Command", CDicValueObj::MakeString("PostNotification"));
    post.Set("Name", CDicValueObj::MakeString("com.example.hello"));
    ASSERT_TRUE(service.Send(post));
    // The phone takes a connection's messages in order: once it has the post, it observes.
    ASSERT_TRUE(testing::WaitUntil(
        [&] { return sim_.CountHostNotifications(udid_, "com.example.hello") == 1; }));

    EXPECT_GE(sim_.PostDeviceNotification(udid_, "com.example.ping"), 1);
    CDicValueObj relay;
    ASSERT_TRUE(service.Receive(relay));
    EXPECT_EQ(relay.GetString("Command"), "RelayNotification");
    EXPECT_EQ(relay.GetString("Name"), "com.example.ping");

    // Nothing more is sent: a receive times out and fails (the device runtime over
    // libimobiledevice gives a phone half a minute to answer, too long to wait for here).
    if (!testing::kOverWire) {
        CDicValueObj nothing;
        EXPECT_FALSE(service.Receive(nothing));
    }
    phone->CloseSession();
    EXPECT_EQ(phone->serviceConnection, nullptr);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(IPhoneSession, ShortReadsAndFailedSendsFail) {
    constexpr const char* kProxy = "com.apple.mobile.notification_proxy";
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(StartNotificationProxy(phone));
    BaseService service(phone->serviceConnection);
    CDicValueObj message = CDicValueObj::MakeDictionary();
    message.Set("Command", CDicValueObj::MakeString("ObserveNotification"));
    message.Set("Name", CDicValueObj::MakeString("x"));
    const long connections = sim_.Counters().serviceConnections;
    ASSERT_TRUE(sim_.InjectFailure("AMDServiceConnectionSend", kProxy, -1));
    CDicValueObj reply;
    if (testing::kOverWire) {
        // Over a socket the message is handed on before the phone fails to take it; the phone
        // then drops the connection, and the next receive finds it closed.
        service.Send(message);
        EXPECT_TRUE(testing::WaitUntil(
            [&] { return sim_.Counters().serviceConnections == connections - 1; }));
        EXPECT_FALSE(service.Receive(reply));
    } else {
        EXPECT_FALSE(service.Send(message));
        ASSERT_TRUE(sim_.InjectFailure("AMDServiceConnectionReceive", kProxy, -1));
        EXPECT_FALSE(service.Receive(reply));
        EXPECT_EQ(sim_.Counters().serviceConnections, connections);
    }
    EXPECT_FALSE(BaseService().Send(message));
    phone->CloseSession();
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

}  // namespace
}  // namespace bw
