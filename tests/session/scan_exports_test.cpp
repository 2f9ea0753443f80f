// The scan exports as a host sees them: the shared library loaded by path, a device from its own
// listener, and a scan and clean driven through the session's slots.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "brackwater/scan.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/build_paths.h"
#include "support/exported_function.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::SimDeviceTest;

struct ScanExports {
    IConnectListener* (*listenerNew)(unsigned char, unsigned char);
    void (*listenerDelete)();
    IScanDevice* (*scanNew)(::CIPhone*);
    void (*scanDelete)(IScanDevice*);
};

using testing::FindExport;

class ScanExportsTest : public SimDeviceTest {
  protected:
    void SetUp() override {
        SimDeviceTest::SetUp();
        library_ = ::dlopen(BRACKWATER_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << ::dlerror();
        FindExport(library_, "ConnectListenerNew", api_.listenerNew);
        FindExport(library_, "ConnectListenerDelete", api_.listenerDelete);
        FindExport(library_, "ScanDeviceNew", api_.scanNew);
        FindExport(library_, "ScanDeviceDelete", api_.scanDelete);
    }

    void* library_ = nullptr;
    ScanExports api_{};
};

TEST_F(ScanExportsTest, NullAndUnknownDevicesGiveNoSession) {
    EXPECT_EQ(api_.scanNew(nullptr), nullptr);
    int stranger = 0;
    EXPECT_EQ(api_.scanNew(reinterpret_cast<::CIPhone*>(&stranger)), nullptr);
    api_.scanDelete(nullptr);
}

TEST_F(ScanExportsTest, ScanAndCleanThroughTheSlots) {
    IConnectListener* listener = api_.listenerNew(0, 0);
    ASSERT_NE(listener, nullptr);
    listener->SetCallback(testing::CallbackLog::Record, &log_);
    listener->StartListening();
    const std::string image = MakeImage("phone");
    const std::string file =
        sim::ImagePath(image, "/general_storage/exports/x.bin", sim::ImageRoot::Media);
    ASSERT_TRUE(platform::CreateFolders(file.substr(0, file.rfind('/'))));
    ASSERT_TRUE(platform::WriteFileAtomic(file, "twelve bytes"));
    sim_.Attach(image);
    ASSERT_TRUE(sim_.Settle());
    // Over the wire the arrival still travels through usbmuxd to the runtime's listener.
    if (testing::kOverWire) testing::WaitUntil([&] { return !log_.Events().empty(); });
    ASSERT_FALSE(log_.Events().empty());
    ::CIPhone* device = log_.Events().front().device;

    IScanDevice* session = api_.scanNew(device);
    ASSERT_NE(session, nullptr);
    BwScanStatus status;
    std::memset(&status, 0xFF, sizeof status);
    session->SetStatusRecord(&status);
    EXPECT_EQ(status.finished, 0);
    session->StartScan(kJunkGeneralStorage);
    EXPECT_EQ(status.finished, 1);
    IScanFileInfo* found = nullptr;
    for (int32_t i = 0; i < session->GetResultCount0(); ++i) {
        auto* item = static_cast<IScanFileInfo*>(session->GetResult0(i));
        std::u16string path(item->GetPath(nullptr), u'\0');
        item->GetPath(path.data());
        if (WideToUtf8(path.c_str()) == "/general_storage/exports/x.bin") found = item;
    }
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->GetSize(), 12u);
    session->StartClean();
    EXPECT_FALSE(platform::PathExists(file));
    EXPECT_NE(session->GetCookieTree(), nullptr);
    session->StartScan(-1);
    EXPECT_EQ(session->GetCookieTree(), nullptr);
    api_.scanDelete(session);

    sim_.DetachAll();
    EXPECT_TRUE(sim_.Settle());
    if (testing::kOverWire) {
        testing::WaitUntil([&] { return log_.Present() == 0; });
    }
    listener->StopListening();
    api_.listenerDelete();
    ExpectNothingOpen();
}

}  // namespace
}  // namespace bw
