#include <gtest/gtest.h>

#include "device/iphone_service.h"
#include "device/runtime_values.h"
#include "formats/plist_library.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::SimDeviceTest;

using testing::kWiredAfc;
using testing::kWiredServices;

class IPhoneSession : public SimDeviceTest {
  protected:
    CIPhone* ArriveWith(const sim::ImageOptions& options) {
        Listen();
        image_ = MakeImage("phone", options);
        CIPhone* phone = Arrive(image_, &udid_);
        EXPECT_NE(phone, nullptr);
        return phone;
    }

    std::string image_;
    std::string udid_;
};

TEST_F(IPhoneSession, BackupIdentityReadsFourValues) {
    sim::ImageOptions options;
    options.iosVersion = "5.1.1";
    CIPhone* phone = ArriveWith(options);
    ASSERT_NE(phone, nullptr);
    std::map<std::string, std::string> identity;
    ASSERT_TRUE(phone->ReadBackupIdentity(identity));
    EXPECT_EQ(identity.size(), 4u);
    EXPECT_EQ(identity["TargetIdentifier"], udid_);
    EXPECT_FALSE(identity["BuildVersion"].empty());
    EXPECT_FALSE(identity["ICCID"].empty());
    EXPECT_FALSE(identity["IMEI"].empty());
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(IPhoneSession, DeviceWithoutSimCardHasEmptyCardValues) {
    sim::ImageOptions options;
    options.hasSim = false;
    CIPhone* phone = ArriveWith(options);
    ASSERT_NE(phone, nullptr);
    std::map<std::string, std::string> identity;
    ASSERT_TRUE(phone->ReadBackupIdentity(identity));
    EXPECT_EQ(identity.count("ICCID"), 1u);
    EXPECT_EQ(identity["ICCID"], "");
    EXPECT_EQ(identity["TargetIdentifier"], udid_);
    EndListening();
}

TEST_F(IPhoneSession, EncryptionAndFindMyPhoneFlags) {
    sim::ImageOptions options;
    options.backupEncrypted = true;
    options.findMyPhone = true;
    CIPhone* phone = ArriveWith(options);
    ASSERT_NE(phone, nullptr);
    EXPECT_FALSE(phone->WillNotEncryptBackup());
    EXPECT_TRUE(phone->IsFindMyPhoneOn());
    ExpectOpen(kWiredAfc, kWiredServices);
    // Neither answers when no session can be started.
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceStartSession", nullptr, 0xE800001E, 2));
    EXPECT_FALSE(phone->WillNotEncryptBackup());
    EXPECT_FALSE(phone->IsFindMyPhoneOn());
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(IPhoneSession, AbsentFlagsReadAsNotEncryptedAndNotAssociated) {
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    EXPECT_TRUE(phone->WillNotEncryptBackup());
    EXPECT_FALSE(phone->IsFindMyPhoneOn());
    EndListening();
}

TEST_F(IPhoneSession, ITunesDomainArrivesAsADictionary) {
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    CDicValueObj domain;
    ASSERT_TRUE(phone->ReadITunesDomain(domain));
    EXPECT_EQ(domain.type, kPlistDictionary);
    EXPECT_FALSE(domain.Dictionary()->empty());
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

TEST_F(IPhoneSession, SessionOpenedAndClosedLeavesNothing) {
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(phone->ConnectAndStartSession());
    EXPECT_EQ(sim_.Counters().sessions, 1);
    phone->CloseSession();
    ExpectOpen(kWiredAfc, kWiredServices);
    // A refused session is undone before it returns.
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceStartSession", nullptr, 0xE800001E));
    EXPECT_FALSE(phone->ConnectAndStartSession());
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(IPhoneSession, FramedMessagesGoBothWaysOnAServiceConnection) {
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(phone->ConnectAndStartSession());
    rt::ServiceHandle handle = nullptr;
    ASSERT_EQ(StartDeviceService(phone->device, "com.apple.mobile.notification_proxy", &handle), 0);
    phone->serviceConnection = static_cast<rt::AMDServiceConnectionRef>(handle);
    BaseService service(phone->serviceConnection);

    CDicValueObj observe = CDicValueObj::MakeDictionary();
    observe.Set("Command", CDicValueObj::MakeString("ObserveNotification"));
    observe.Set("Name", CDicValueObj::MakeString("com.example.ping"));
    ASSERT_TRUE(service.Send(observe));
    EXPECT_FALSE(service.Send(CDicValueObj()));  // nothing to send
    ASSERT_TRUE(sim_.Settle());
    EXPECT_GE(sim_.PostDeviceNotification(udid_, "com.example.ping"), 1);
    CDicValueObj relay;
    ASSERT_TRUE(service.Receive(relay));
    EXPECT_EQ(relay.GetString("Command"), "RelayNotification");
    EXPECT_EQ(relay.GetString("Name"), "com.example.ping");

    CDicValueObj post = CDicValueObj::MakeDictionary();
    post.Set("Command", CDicValueObj::MakeString("PostNotification"));
    post.Set("Name", CDicValueObj::MakeString("com.example.hello"));
    ASSERT_TRUE(service.Send(post));
    EXPECT_TRUE(testing::WaitUntil(
        [&] { return sim_.CountHostNotifications(udid_, "com.example.hello") == 1; }));

    // Nothing more is sent: a receive times out and fails.
    CDicValueObj nothing;
    EXPECT_FALSE(service.Receive(nothing));
    phone->CloseSession();
    EXPECT_EQ(phone->serviceConnection, nullptr);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(IPhoneSession, ShortReadsAndFailedSendsFail) {
    CIPhone* phone = ArriveWith({});
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(phone->ConnectAndStartSession());
    rt::ServiceHandle handle = nullptr;
    ASSERT_EQ(StartDeviceService(phone->device, "com.apple.mobile.notification_proxy", &handle), 0);
    phone->serviceConnection = static_cast<rt::AMDServiceConnectionRef>(handle);
    BaseService service(phone->serviceConnection);
    CDicValueObj message = CDicValueObj::MakeDictionary();
    message.Set("Command", CDicValueObj::MakeString("ObserveNotification"));
    message.Set("Name", CDicValueObj::MakeString("x"));
    ASSERT_TRUE(sim_.InjectFailure("AMDServiceConnectionSend", nullptr, -1));
    EXPECT_FALSE(service.Send(message));
    ASSERT_TRUE(sim_.InjectFailure("AMDServiceConnectionReceive", nullptr, -1));
    CDicValueObj reply;
    EXPECT_FALSE(service.Receive(reply));
    EXPECT_FALSE(BaseService().Send(message));
    phone->CloseSession();
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

}  // namespace
}  // namespace bw
