// BrackwaterDeviceApplications as a host calls it: the shared library loaded by path, count, then
// records, on a simulated device.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "brackwater/apps.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/build_paths.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::SimDeviceTest;

using testing::kWiredAfc;
using testing::kWiredServices;

class AppExports : public SimDeviceTest {
  protected:
    void SetUp() override {
        SimDeviceTest::SetUp();
        library_ = ::dlopen(BRACKWATER_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << ::dlerror();
        Find("ConnectListenerNew", listenerNew_);
        Find("ConnectListenerDelete", listenerDelete_);
        Find("BrackwaterDeviceApplications", applications_);
        image_ = MakeImage("phone");
        Plant("55555555-AAAA-4000-8000-000000000001", "Alpha.app", "test.export.alpha",
              "<key>CFBundleDisplayName</key><string>Alpha ✓</string>");
        Plant("55555555-AAAA-4000-8000-000000000002", "Beta.app", "test.export.beta",
              "<key>CFBundleName</key><string>Beta</string>");
        ASSERT_TRUE(platform::WriteFileAtomic(
            sim::ImagePath(image_,
                           "/var/mobile/Applications/55555555-AAAA-4000-8000-000000000001/"
                           "Alpha.app/Icon.png"),
            kAlphaIcon));
        hostListener_ = listenerNew_(0, 0);
        ASSERT_NE(hostListener_, nullptr);
        hostListener_->SetCallback(testing::CallbackLog::Record, &log_);
        hostListener_->StartListening();
        udid_ = sim_.Attach(image_);
        ASSERT_TRUE(sim_.Settle());
        // Over the wire the arrival still travels through usbmuxd to the runtime's listener.
        if (testing::kOverWire) testing::WaitUntil([&] { return !log_.Events().empty(); });
        device_ = log_.Events().empty() ? nullptr : log_.Events().front().device;
        ASSERT_NE(device_, nullptr);
    }

    template <typename Function>
    void Find(const char* name, Function& function) {
        function = reinterpret_cast<Function>(::dlsym(library_, name));
        ASSERT_NE(reinterpret_cast<void*>(function), nullptr) << name;
    }

    void EndHost() {
        sim_.DetachAll();
        EXPECT_TRUE(sim_.Settle());
        if (testing::kOverWire && hostListener_ != nullptr) {
            testing::WaitUntil([&] { return log_.Present() == 0; });
        }
        if (hostListener_ != nullptr) hostListener_->StopListening();
        listenerDelete_();
        ExpectNothingOpen();
        ExpectLiveObjectsBackAtStart();
    }

    void Plant(const std::string& container, const std::string& bundle,
               const std::string& identifier, const std::string& extra) {
        const std::string folder =
            sim::ImagePath(image_, "/var/mobile/Applications/" + container + "/" + bundle);
        ASSERT_TRUE(platform::CreateFolders(folder));
        ASSERT_TRUE(platform::WriteFileAtomic(
            folder + "/Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
            "<key>CFBundleIdentifier</key><string>" +
                identifier + "</string>" + extra + "</dict></plist>\n"));
    }

    static std::string Name(IAppInfo* record) {
        std::u16string text(record->GetName(nullptr), u'\0');
        record->GetName(text.data());
        return WideToUtf8(std::u16string_view(text.c_str()));
    }
    static std::string Identifier(IAppInfo* record) {
        std::u16string text(record->GetIdentifier(nullptr), u'\0');
        record->GetIdentifier(text.data());
        return WideToUtf8(std::u16string_view(text.c_str()));
    }
    IAppInfo* Record(const std::vector<IAppInfo*>& records, const std::string& identifier) {
        for (IAppInfo* record : records) {
            if (record != nullptr && Identifier(record) == identifier) return record;
        }
        return nullptr;
    }

    const std::string kAlphaIcon = std::string("\x89PNG\r\n\x1a\n\0alpha", 14);
    void* library_ = nullptr;
    IConnectListener* (*listenerNew_)(unsigned char, unsigned char) = nullptr;
    void (*listenerDelete_)() = nullptr;
    int (*applications_)(::CIPhone*, IAppInfo**, int) = nullptr;
    IConnectListener* hostListener_ = nullptr;
    std::string image_;
    std::string udid_;
    ::CIPhone* device_ = nullptr;
};

TEST_F(AppExports, CountThenRecordsWithinCapacity) {
    ::CIPhone* host = device_;
    const int count = applications_(host, nullptr, 0);
    ASSERT_GE(count, 2);
    ExpectOpen(kWiredAfc, kWiredServices);
    EXPECT_EQ(applications_(host, nullptr, 5), count);

    // A short buffer gets only what fits; the count is still the full one.
    std::vector<IAppInfo*> some(3, nullptr);
    EXPECT_EQ(applications_(host, some.data(), 2), count);
    EXPECT_NE(some[0], nullptr);
    EXPECT_NE(some[1], nullptr);
    EXPECT_EQ(some[2], nullptr);

    std::vector<IAppInfo*> all(static_cast<size_t>(count) + 1, nullptr);
    EXPECT_EQ(applications_(host, all.data(), count + 1), count);
    EXPECT_EQ(all[static_cast<size_t>(count)], nullptr);
    EXPECT_EQ(all[0], some[0]);  // the same records while the applications stay the same
    EXPECT_EQ(all[1], some[1]);
    for (int i = 1; i < count; ++i)
        EXPECT_LT(Identifier(all[i - 1]), Identifier(all[i]));
    EXPECT_EQ(applications_(host, all.data(), -1), count);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndHost();
}

TEST_F(AppExports, RecordsCarryNamesIconsAndSelection) {
    ::CIPhone* host = device_;
    const int count = applications_(host, nullptr, 0);
    std::vector<IAppInfo*> records(static_cast<size_t>(count), nullptr);
    ASSERT_EQ(applications_(host, records.data(), count), count);

    IAppInfo* alpha = Record(records, "test.export.alpha");
    IAppInfo* beta = Record(records, "test.export.beta");
    ASSERT_NE(alpha, nullptr);
    ASSERT_NE(beta, nullptr);
    EXPECT_EQ(Name(alpha), "Alpha ✓");
    EXPECT_EQ(alpha->GetName(nullptr), 7u + 2u);
    EXPECT_EQ(Name(beta), "Beta");
    ASSERT_EQ(alpha->GetIconData(nullptr), kAlphaIcon.size());
    std::string icon(kAlphaIcon.size(), '\0');
    alpha->GetIconData(reinterpret_cast<unsigned char*>(icon.data()));
    EXPECT_EQ(icon, kAlphaIcon);
    EXPECT_EQ(beta->GetIconData(nullptr), 0u);
    EXPECT_EQ(alpha->GetItem(0), nullptr);
    EXPECT_EQ(alpha->GetItemCount(), 0);

    // A selection made by the host survives the next listing of the same device.
    EXPECT_EQ(beta->Selected(1), 1);
    std::vector<IAppInfo*> again(static_cast<size_t>(count), nullptr);
    ASSERT_EQ(applications_(host, again.data(), count), count);
    EXPECT_EQ(Record(again, "test.export.beta"), beta);
    EXPECT_EQ(beta->Selected(0), 1);
    EndHost();
}

TEST_F(AppExports, UnknownDevicesAndRemovedOnesAnswerNothing) {
    EXPECT_EQ(applications_(nullptr, nullptr, 0), 0);
    int notADevice = 0;
    IAppInfo* record = nullptr;
    EXPECT_EQ(applications_(reinterpret_cast<::CIPhone*>(&notADevice), &record, 1), 0);
    EXPECT_EQ(record, nullptr);

    // A device that left gives no list of its own; records handed out before stay readable.
    ::CIPhone* host = device_;
    IAppInfo* first = nullptr;
    ASSERT_GE(applications_(host, &first, 1), 2);
    ASSERT_NE(first, nullptr);
    const std::string identifier = Identifier(first);
    Leave(udid_);
    IAppInfo* after = nullptr;
    EXPECT_EQ(applications_(host, &after, 1), 0);
    EXPECT_EQ(after, nullptr);
    EXPECT_EQ(Identifier(first), identifier);
    EndHost();
}

}  // namespace
}  // namespace bw
