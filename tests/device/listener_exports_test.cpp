// The device exports as a host sees them: the shared library loaded by path, its functions looked
// up by name, the simulator behind the registry.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/text.h"
#include "support/build_paths.h"
#include "support/exported_function.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::ReadFileBytes;
using testing::SimDeviceTest;

struct DeviceExports {
    IConnectListener* (*listenerNew)(unsigned char, unsigned char);
    void (*listenerDelete)();
    void* (*deviceHandle)(::CIPhone*);
    size_t (*value)(::CIPhone*, const BwChar*, const BwChar*, BwChar*);
    int (*interfaceType)(::CIPhone*);
    ::CIPhone* (*fullFileSystem)(::CIPhone*);
    int (*fileInfo)(::CIPhone*, const BwChar*, BwDeviceFileInfo*);
    int (*list)(::CIPhone*, const BwChar*, int, BwDirectoryEntry, void*);
    int (*copyFrom)(::CIPhone*, const BwChar*, const BwChar*);
    int (*copyTo)(::CIPhone*, const BwChar*, const BwChar*);
    void (*cancel)(::CIPhone*);
    int (*remove)(::CIPhone*, const BwChar*, int);
    int (*makeDirectory)(::CIPhone*, const BwChar*);
};

using testing::FindExport;

struct Listing {
    std::vector<std::u16string> names;
    std::vector<int32_t> types;  // -1 for an entry without information
    static void Add(void* context, const BwChar* name, const BwDeviceFileInfo* info) {
        auto* listing = static_cast<Listing*>(context);
        listing->names.emplace_back(name);
        listing->types.push_back(info != nullptr ? info->fileType : -1);
    }
};

class ListenerExports : public SimDeviceTest {
  protected:
    void SetUp() override {
        SimDeviceTest::SetUp();
        library_ = ::dlopen(BRACKWATER_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << ::dlerror();
        FindExport(library_, "ConnectListenerNew", api_.listenerNew);
        FindExport(library_, "ConnectListenerDelete", api_.listenerDelete);
        FindExport(library_, "GetDeviceHandle", api_.deviceHandle);
        FindExport(library_, "BrackwaterDeviceValue", api_.value);
        FindExport(library_, "BrackwaterDeviceInterfaceType", api_.interfaceType);
        FindExport(library_, "BrackwaterDeviceFullFileSystem", api_.fullFileSystem);
        FindExport(library_, "BrackwaterDeviceFileInfo", api_.fileInfo);
        FindExport(library_, "BrackwaterDeviceListDirectory", api_.list);
        FindExport(library_, "BrackwaterDeviceCopyFromDevice", api_.copyFrom);
        FindExport(library_, "BrackwaterDeviceCopyToDevice", api_.copyTo);
        FindExport(library_, "BrackwaterDeviceCancelCopy", api_.cancel);
        FindExport(library_, "BrackwaterDeviceRemove", api_.remove);
        FindExport(library_, "BrackwaterDeviceMakeDirectory", api_.makeDirectory);
    }

    // Starts the library's listener and attaches one device; the host's pointer to it.
    ::CIPhone* HostDevice(const sim::ImageOptions& options = {}) {
        hostListener_ = api_.listenerNew(0, 0);
        EXPECT_NE(hostListener_, nullptr);
        if (hostListener_ == nullptr) return nullptr;
        EXPECT_EQ(api_.listenerNew(1, 0), hostListener_);
        api_.listenerNew(0, 0);
        hostListener_->SetCallback(testing::CallbackLog::Record, &log_);
        hostListener_->StartListening();
        image_ = MakeImage("phone", options);
        udid_ = sim_.Attach(image_);
        EXPECT_TRUE(sim_.Settle());
        // Over the wire the arrival still travels through usbmuxd to the runtime's listener.
        if (testing::kOverWire) testing::WaitUntil([&] { return !log_.Events().empty(); });
        const auto events = log_.Events();
        return events.empty() ? nullptr : events.front().device;
    }

    void EndHost() {
        sim_.DetachAll();
        EXPECT_TRUE(sim_.Settle());
        if (testing::kOverWire && hostListener_ != nullptr) {
            testing::WaitUntil([&] { return log_.Present() == 0; });
        }
        if (hostListener_ != nullptr) hostListener_->StopListening();
        api_.listenerDelete();
        ExpectNothingOpen();
        ExpectLiveObjectsBackAtStart();
    }

    std::string Value(::CIPhone* device, const char16_t* domain, const char16_t* key) {
        const size_t size = api_.value(device, domain, key, nullptr);
        if (size == 0) return {};
        std::u16string buffer(size, u'\xffff');
        EXPECT_EQ(api_.value(device, domain, key, buffer.data()), size);
        const size_t length = size - 2;
        EXPECT_EQ(buffer[length], u'\0');
        return WideToUtf8(std::u16string_view(buffer.data(), length));
    }

    void* library_ = nullptr;
    DeviceExports api_{};
    IConnectListener* hostListener_ = nullptr;
    std::string image_;
    std::string udid_;
};

TEST_F(ListenerExports, DeviceHandleAndValues) {
    sim::ImageOptions options;
    options.name = "Host’s iPhone";
    ::CIPhone* device = HostDevice(options);
    ASSERT_NE(device, nullptr);
    EXPECT_NE(api_.deviceHandle(device), nullptr);
    EXPECT_EQ(api_.deviceHandle(nullptr), nullptr);
    int stranger = 0;
    EXPECT_EQ(api_.deviceHandle(reinterpret_cast<::CIPhone*>(&stranger)), nullptr);
    EXPECT_EQ(api_.interfaceType(device), 1);
    EXPECT_EQ(api_.fullFileSystem(device), nullptr);

    EXPECT_EQ(Value(device, nullptr, u"DeviceName"), "Host’s iPhone");
    EXPECT_EQ(Value(device, nullptr, u"UniqueDeviceID"), udid_);
    EXPECT_EQ(Value(device, u"com.apple.mobile.battery", u"HasBattery"), "true");
    EXPECT_FALSE(Value(device, u"com.apple.mobile.battery", u"BatteryCurrentCapacity").empty());
    EXPECT_EQ(api_.value(device, nullptr, u"NoSuchKey", nullptr), 0u);
    EXPECT_EQ(api_.value(device, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(api_.value(reinterpret_cast<::CIPhone*>(&stranger), nullptr, u"DeviceName", nullptr),
              0u);
    EndHost();
}

TEST_F(ListenerExports, FileServiceThroughTheExports) {
    ::CIPhone* device = HostDevice();
    ASSERT_NE(device, nullptr);
    BwDeviceFileInfo info{};
    ASSERT_EQ(api_.fileInfo(device, u"\\DCIM\\Latest", &info), 1);
    EXPECT_EQ(info.fileType, 2);
    ASSERT_EQ(api_.fileInfo(device, u"/DCIM/100APPLE/IMG_0001.JPG", &info), 1);
    EXPECT_EQ(info.fileType, 1);
    EXPECT_GT(info.size, 0u);
    EXPECT_GT(info.modifiedTime, uint64_t{1000000000} * 1000000000);  // nanoseconds, after 2001
    EXPECT_EQ(api_.fileInfo(device, u"/missing", &info), 0);
    EXPECT_EQ(api_.fileInfo(device, nullptr, &info), 0);

    // Just the camera roll in /DCIM, without the image's thumbnail caches.
    ASSERT_TRUE(platform::DeleteTree(sim::ImagePath(image_, "/DCIM/.THMB", sim::ImageRoot::Media)));
    Listing plain;
    ASSERT_EQ(api_.list(device, u"/DCIM", 0, Listing::Add, &plain), 1);
    EXPECT_EQ(plain.names,
              (std::vector<std::u16string>{u"100APPLE", u"Latest", u"LatestPhoto.JPG"}));
    EXPECT_EQ(plain.types, (std::vector<int32_t>{-1, -1, -1}));
    Listing detailed;
    ASSERT_EQ(api_.list(device, u"/DCIM", 1, Listing::Add, &detailed), 1);
    EXPECT_EQ(detailed.types, (std::vector<int32_t>{2, 2, 6}));
    EXPECT_EQ(api_.list(device, u"/missing", 1, Listing::Add, &detailed), 0);

    const std::string host = folder_ / "copy.jpg";
    ASSERT_EQ(api_.copyFrom(device, u"/DCIM/100APPLE/IMG_0002.JPG", Utf8ToWide(host).c_str()), 1);
    EXPECT_EQ(ReadFileBytes(host),
              ReadFileBytes(
                  sim::ImagePath(image_, "/DCIM/100APPLE/IMG_0002.JPG", sim::ImageRoot::Media)));
    ASSERT_EQ(api_.makeDirectory(device, u"/Downloads/From Host"), 1);
    ASSERT_EQ(api_.copyTo(device, Utf8ToWide(host).c_str(), u"/Downloads/From Host/c.jpg"), 1);
    EXPECT_EQ(api_.copyFrom(device, u"/Downloads/none", Utf8ToWide(host + "2").c_str()), 0);
    EXPECT_FALSE(platform::PathExists(host + "2"));
    api_.cancel(device);                                            // nothing running: no effect
    EXPECT_EQ(api_.remove(device, u"/Downloads/From Host", 0), 0);  // not empty
    EXPECT_EQ(api_.remove(device, u"/Downloads/From Host", 1), 1);
    // Every spelling of the root is refused before anything is removed.
    for (const char16_t* root : {u"/", u"//", u"/./", u"Downloads/..", u""}) {
        EXPECT_EQ(api_.remove(device, root, 1), 0);
    }
    EXPECT_TRUE(platform::IsFile(
        sim::ImagePath(image_, "/DCIM/100APPLE/IMG_0002.JPG", sim::ImageRoot::Media)));
    EXPECT_FALSE(platform::PathExists(
        sim::ImagePath(image_, "/Downloads/From Host", sim::ImageRoot::Media)));
    ExpectOpen(1, 2);
    EndHost();
}

TEST_F(ListenerExports, RemovedDeviceFailsEveryCallButStaysValid) {
    ::CIPhone* device = HostDevice();
    ASSERT_NE(device, nullptr);
    void* handle = api_.deviceHandle(device);
    ASSERT_TRUE(sim_.Detach(udid_));
    ASSERT_TRUE(sim_.Settle());
    if (testing::kOverWire) testing::WaitUntil([&] { return log_.Events().size() >= 2; });
    ASSERT_EQ(log_.Events().size(), 2u);
    EXPECT_EQ(log_.Events()[1].message, kDeviceRemoved);
    EXPECT_EQ(log_.Events()[1].device, device);
    EXPECT_EQ(api_.deviceHandle(device), handle);
    BwDeviceFileInfo info{};
    EXPECT_EQ(api_.fileInfo(device, u"/DCIM", &info), 0);
    EXPECT_EQ(api_.value(device, nullptr, u"DeviceName", nullptr), 0u);
    Listing listing;
    EXPECT_EQ(api_.list(device, u"/", 0, Listing::Add, &listing), 0);
    EXPECT_EQ(api_.makeDirectory(device, u"/x"), 0);
    EXPECT_EQ(api_.remove(device, u"/DCIM", 1), 0);
    EXPECT_TRUE(platform::IsFolder(sim::ImagePath(image_, "/DCIM", sim::ImageRoot::Media)));
    EndHost();
}

}  // namespace
}  // namespace bw
