#include <gtest/gtest.h>

#include "support/sim_device.h"

namespace bw {
namespace {

using testing::SimDeviceTest;

// A listed wired device keeps its AFC connection, the service connection under it and its
// notification proxy; a network device its AFC connection and the secure connection under it.
using testing::kWiredAfc;
using testing::kWiredServices;
constexpr long kNetworkAfc = 1, kNetworkServices = 1;

class IPhoneOpen : public SimDeviceTest {};

TEST_F(IPhoneOpen, WiredDeviceOpensWithItsIdentityAndKeepsFileServiceAndProxy) {
    sim::ImageOptions options;
    options.name = "Kitchen iPhone";
    options.iosVersion = "6.1.3";
    const std::string image = MakeImage("phone", options);
    Listen();
    std::string udid;
    CIPhone* phone = Arrive(image, &udid);
    ASSERT_NE(phone, nullptr);
    EXPECT_EQ(phone->opened, 1);
    EXPECT_EQ(phone->ready.load(), 1);
    EXPECT_EQ(phone->busy.load(), 0);
    EXPECT_EQ(phone->kind, kKindMediaArea);
    EXPECT_EQ(phone->interfaceType, 1);
    EXPECT_EQ(phone->udid, udid);
    EXPECT_EQ(phone->productVersion, "6.1.3");
    EXPECT_EQ(phone->valueCache["DeviceName"], "Kitchen iPhone");
    EXPECT_EQ(phone->valueCache["ProductVersion"], "6.1.3");
    EXPECT_EQ(phone->valueCache["DeviceClass"], "iPhone");
    EXPECT_FALSE(phone->serialNumber.empty());
    EXPECT_EQ(phone->valueCache["SerialNumber"], phone->serialNumber);
    EXPECT_FALSE(phone->firmwareVersion.empty());
    EXPECT_EQ(phone->rootPath, "/");
    EXPECT_EQ(phone->fullFileSystem, 0);
    EXPECT_EQ(phone->fullFileSystemTwin, nullptr);
    EXPECT_NE(phone->afcConnection, nullptr);
    EXPECT_EQ(phone->currentAfc, phone->afcConnection);
    EXPECT_NE(phone->notificationProxy, nullptr);
    // The media area is what the file service sees.
    EXPECT_TRUE(phone->IsDirectory("/DCIM"));
    EXPECT_FALSE(phone->FileExists("/var/mobile"));
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(IPhoneOpen, NetworkDeviceIsNeverOpenedUnlessNetworkDevicesAreAccepted) {
    sim::ImageOptions options;
    options.interfaceType = "Network";
    const std::string image = MakeImage("wifi", options);
    Listen(false, /*acceptNetworkDevices=*/false);
    EXPECT_EQ(Arrive(image), nullptr);
    DeviceList listed;
    listener_->CopyDeviceList(listed, 1);
    EXPECT_TRUE(listed.empty());
    ExpectNothingOpen();
    EndListening();
}

TEST_F(IPhoneOpen, NetworkDeviceOpensOverTheSecureConnectionWhenAccepted) {
    sim::ImageOptions options;
    options.interfaceType = "Network";
    const std::string image = MakeImage("wifi", options);
    Listen(false, /*acceptNetworkDevices=*/true);
    CIPhone* phone = Arrive(image);
    ASSERT_NE(phone, nullptr);
    EXPECT_EQ(phone->interfaceType, 2);
    EXPECT_EQ(phone->acceptNetworkDevices, 1);
    EXPECT_EQ(phone->notificationProxy, nullptr);
    // AFC on a network connection only works once the secure context is attached.
    std::vector<std::string> names;
    EXPECT_TRUE(phone->ListDirectory("/", names));
    EXPECT_NE(std::find(names.begin(), names.end(), "DCIM"), names.end());
    ExpectOpen(kNetworkAfc, kNetworkServices);
    EndListening();
}

TEST_F(IPhoneOpen, DeviceThatRefusesPairingIsNotReported) {
    sim::ImageOptions options;
    options.paired = false;
    options.refusesPairing = true;
    const std::string image = MakeImage("untrusting", options);
    Listen();
    EXPECT_EQ(Arrive(image), nullptr);
    EXPECT_EQ(log_.Events().size(), 0u);
    ExpectNothingOpen();
    EndListening();
}

TEST_F(IPhoneOpen, UnpairedDeviceIsPairedAndOpened) {
    sim::ImageOptions options;
    options.paired = false;
    const std::string image = MakeImage("new", options);
    Listen();
    EXPECT_NE(Arrive(image), nullptr);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(IPhoneOpen, FailedFileServiceStartReportsNothingAndLeavesNothingOpen) {
    const std::string image = MakeImage("phone");
    Listen();
    ASSERT_TRUE(sim_.InjectFailure(testing::kStartServiceCall, "com.apple.afc", 0xE8000022));
    std::string udid;
    EXPECT_EQ(Arrive(image, &udid), nullptr);
    ExpectNothingOpen();
    // The failure was for one start only: the device opens when it comes again.
    Leave(udid);
    EXPECT_NE(Arrive(image), nullptr);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(IPhoneOpen, FailureAtEachLaterStepClosesWhatWasOpened) {
    const std::string image = MakeImage("phone");
    Listen();
    const struct {
        const char* function;
        const char* detail;
    } steps[] = {
        {"AMDeviceConnect", nullptr},
        {"AMDeviceValidatePairing", nullptr},
        {"AMDeviceStartSession", nullptr},
        {"AMDeviceStopSession", nullptr},
        {"AFCConnectionOpen", nullptr},
        {"AMDObserveNotification", nullptr},
        {"AMDListenForNotifications", nullptr},
        {testing::kStartServiceCall, "com.apple.mobile.notification_proxy"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.function);
        // Over the wire the file service and notification calls are the runtime's own, made on
        // the service links, so the simulator sees only their bytes; the runtime proves pairing
        // by the session start on iOS 7 and later and does not wait for the session's end.
        const std::string_view function = step.function;
        if (testing::kOverWire &&
            (function.substr(0, 5) != "AMDev" || function == "AMDeviceValidatePairing" ||
             function == "AMDeviceStopSession"))
            continue;
        ASSERT_TRUE(sim_.InjectFailure(step.function, step.detail, 0xE8000001));
        std::string udid;
        EXPECT_EQ(Arrive(image, &udid), nullptr);
        ExpectNothingOpen();
        Leave(udid);
        sim_.ClearFailures();
    }
    EndListening();
}

TEST_F(IPhoneOpen, TwinOpensTheWholeFileSystemWhenTheDeviceHasIt) {
    sim::ImageOptions options;
    options.hasAfc2 = true;
    const std::string image = MakeImage("jailbroken", options);
    Listen(/*openFullFileSystemTwin=*/true);
    CIPhone* phone = Arrive(image);
    ASSERT_NE(phone, nullptr);
    CIPhone* twin = phone->fullFileSystemTwin;
    ASSERT_NE(twin, nullptr);
    EXPECT_EQ(twin->kind, kKindFullFileSystem);
    EXPECT_EQ(twin->fullFileSystem, 1);
    EXPECT_EQ(twin->udid, phone->udid);
    EXPECT_TRUE(twin->IsDirectory("/var/mobile/Media/DCIM"));
    EXPECT_FALSE(phone->FileExists("/var/mobile/Media/DCIM"));
    // The twin is not listed: only the kind-1 object was reported.
    DeviceList listed;
    listener_->CopyDeviceList(listed, 1);
    EXPECT_EQ(listed.size(), 1u);
    EXPECT_EQ(log_.Count(kDeviceArrived), 1u);
    ExpectOpen(2 * kWiredAfc, 2 * kWiredServices);
    EndListening();
}

TEST_F(IPhoneOpen, NoTwinWithoutTheWholeFileSystemServiceOrWithoutTheFlag) {
    const std::string plain = MakeImage("plain");
    sim::ImageOptions options;
    options.hasAfc2 = true;
    options.seed = 2;
    const std::string jailbroken = MakeImage("jailbroken", options);

    Listen(/*openFullFileSystemTwin=*/true);
    CIPhone* phone = Arrive(plain);
    ASSERT_NE(phone, nullptr);
    EXPECT_EQ(phone->fullFileSystemTwin, nullptr);
    ExpectOpen(kWiredAfc, kWiredServices);  // the failed twin closed what it opened

    NewConnectListener(/*openFullFileSystemTwin=*/false, false);
    CIPhone* second = Arrive(jailbroken);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->fullFileSystemTwin, nullptr);
    ExpectOpen(2 * kWiredAfc, 2 * kWiredServices);
    EndListening();
}

}  // namespace
}  // namespace bw
