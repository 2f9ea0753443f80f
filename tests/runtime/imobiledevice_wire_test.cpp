// The library on the libimobiledevice runtime, end to end: the simulator serves a phone on a
// multiplexer socket, this runtime reaches it through libusbmuxd and libimobiledevice, and the
// library's own connection listener lists it, reads its values and copies its files, which are
// checked against the image.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "device/connect_listener.h"
#include "device/iphone.h"
#include "image/image_builder.h"
#include "mobiledevice/sim_control.h"
#include "runtime/imd_runtime_support.h"
#include "support/test_images.h"
#include "wire/wire_server.h"

namespace bw {
namespace {

std::string ImdFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ImdOverTheWire : public testing::ImdRuntimeTest {
  protected:
    void SetUp() override {
        testing::ImdRuntimeTest::SetUp();
        if (HasFatalFailure()) return;
        sim::ImageOptions options;
        options.name = "Wire Phone";
        image_ = folder_ / "phone";
        std::string error;
        ASSERT_TRUE(testing::MakeTestImage(image_, options, error)) << error;
        char udid[128] = {};
        ASSERT_EQ(BwSimAttach(image_.c_str(), udid, sizeof udid), 0) << BwSimLastError();
        ASSERT_EQ(BwSimWaitForNotifications(10000), 0);
        udid_ = udid;
        server_ = sim::wire::WireServer::Start(UsbmuxdSocket(), error);
        ASSERT_NE(server_, nullptr) << error;
    }

    void TearDown() override {
        if (listener_ != nullptr) listener_->StopListening();
        DeleteConnectListener();
        server_.reset();
        BwSimDetachAll();
        BwSimWaitForNotifications(10000);
        testing::ImdRuntimeTest::TearDown();
    }

    // The phone as the library's listener lists it, once it opened.
    CIPhone* ListedPhone() {
        listener_ = NewConnectListener(false, false);
        listener_->StartListening();
        EXPECT_TRUE(listener_->IsListening());
        ::CIPhone* found = nullptr;
        listener_->WaitForDevice(30, &found);
        return FromHost(found);
    }

    std::string image_;
    std::string udid_;
    std::unique_ptr<sim::wire::WireServer> server_;
    CIPhoneConnectionListener* listener_ = nullptr;
};

TEST_F(ImdOverTheWire, TheListenerListsThePhoneAndReadsItsValues) {
    CIPhone* phone = ListedPhone();
    ASSERT_NE(phone, nullptr);
    EXPECT_EQ(phone->udid, udid_);
    EXPECT_NE(phone->ready.load(), 0);
    EXPECT_EQ(phone->ReadDeviceValueText("", "DeviceName"), "Wire Phone");
    EXPECT_EQ(phone->ReadDeviceValueText("", "UniqueDeviceID"), udid_);
    EXPECT_EQ(phone->ReadDeviceValueText("", "ProductVersion"), "7.1.2");
}

TEST_F(ImdOverTheWire, FoldersAndFilesOfTheMediaAreaMatchTheImage) {
    CIPhone* phone = ListedPhone();
    ASSERT_NE(phone, nullptr);
    namespace fs = std::filesystem;
    const fs::path media = fs::path(image_) / "fs/var/mobile/Media";
    ASSERT_TRUE(fs::is_directory(media));

    std::set<std::string> expected;
    for (const fs::directory_entry& entry : fs::directory_iterator(media))
        expected.insert(entry.path().filename().string());
    std::vector<std::string> names;
    ASSERT_TRUE(phone->ListDirectory("/", names));
    std::set<std::string> listed(names.begin(), names.end());
    listed.erase(".");
    listed.erase("..");
    EXPECT_EQ(listed, expected);

    // The largest regular file of the area, copied byte for byte.
    fs::path largest;
    uintmax_t largestSize = 0;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(media)) {
        if (!entry.is_regular_file() || entry.is_symlink()) continue;
        if (entry.file_size() >= largestSize) {
            largestSize = entry.file_size();
            largest = entry.path();
        }
    }
    ASSERT_FALSE(largest.empty());
    const std::string devicePath = "/" + fs::relative(largest, media).generic_string();
    const std::string copy = folder_ / "copy";
    ASSERT_TRUE(phone->CopyFileFromDevice(devicePath, copy)) << devicePath;
    EXPECT_EQ(ImdFileBytes(copy), ImdFileBytes(largest)) << devicePath;

    // A file that is not there fails cleanly and leaves no host file.
    const std::string missing = folder_ / "missing";
    EXPECT_FALSE(phone->CopyFileFromDevice("/no/such/file", missing));
    EXPECT_FALSE(fs::exists(missing));
}

}  // namespace
}  // namespace bw
