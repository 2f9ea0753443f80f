// The library on the libimobiledevice runtime, end to end: the simulator serves a phone on a
// multiplexer socket, this runtime reaches it through libusbmuxd and libimobiledevice, and the
// library's own connection listener lists it, reads its values and copies its files, which are
// checked against the image.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "device/app_install_proxy.h"
#include "device/connect_listener.h"
#include "device/iphone.h"
#include "device/runtime_values.h"
#include "image/image_builder.h"
#include "mobiledevice/sim_control.h"
#include "runtime/imd_runtime_support.h"
#include "support/sim_device.h"
#include "support/test_images.h"
#include "wire/wire_server.h"

namespace bw {
namespace {

std::string ImdFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The bundle identifiers of the image's user applications and the folder of each, from the
// containers' Info.plist files.
std::map<std::string, std::filesystem::path> ImdImageApplications(const std::string& image) {
    namespace fs = std::filesystem;
    std::map<std::string, fs::path> found;
    const fs::path applications = fs::path(image) / "fs/var/mobile/Applications";
    for (const fs::directory_entry& container : fs::directory_iterator(applications)) {
        for (const fs::directory_entry& entry : fs::directory_iterator(container.path())) {
            if (entry.path().extension() != ".app") continue;
            const std::string bytes = ImdFileBytes(entry.path() / "Info.plist");
            plist_t info = nullptr;
            plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &info);
            plist_t node =
                info != nullptr ? plist_dict_get_item(info, "CFBundleIdentifier") : nullptr;
            char* text = nullptr;
            if (node != nullptr && plist_get_node_type(node) == PLIST_STRING)
                plist_get_string_val(node, &text);
            if (text != nullptr) found[text] = container.path();
            std::free(text);
            if (info != nullptr) plist_free(info);
        }
    }
    return found;
}

class ImdOverTheWire : public testing::ImdRuntimeTest {
  protected:
    // Makes the image, attaches it to the simulated runtime and serves it on the socket.
    void Serve(sim::ImageOptions options = {}) {
        if (options.name.empty()) options.name = "Wire Phone";
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
        // The phone leaves while the listener still hears it, as an unplugged phone does: a
        // phone of the next test may come with the same identifier and multiplexer handle.
        BwSimDetachAll();
        BwSimWaitForNotifications(10000);
        if (listener_ != nullptr) {
            testing::WaitUntil([&] {
                ::DeviceList listed;
                listener_->CopyDeviceList(listed, 1);
                return listed.empty();
            });
            listener_->StopListening();
        }
        DeleteConnectListener();
        server_.reset();
        testing::ImdRuntimeTest::TearDown();
    }

    // The phone as the library's listener lists it, once it opened.
    CIPhone* ListedPhone(bool fullFileSystemTwin = false) {
        listener_ = NewConnectListener(fullFileSystemTwin, false);
        // The host's callback outlives the listener: each test gives its own.
        listener_->SetCallback(testing::CallbackLog::Record, &log_);
        listener_->StartListening();
        EXPECT_TRUE(listener_->IsListening());
        ::CIPhone* found = nullptr;
        listener_->WaitForDevice(30, &found);
        return FromHost(found);
    }

    // Serves the image, lists its phone and connects to it with a session started; the phone's
    // device reference, or null (with a failure).
    rt::AMDeviceRef PhoneInSession() {
        Serve();
        CIPhone* phone = ListedPhone();
        if (phone == nullptr) {
            ADD_FAILURE() << "no phone was listed";
            return nullptr;
        }
        const RuntimeTable& runtime = Runtime();
        EXPECT_EQ(runtime.AMDeviceConnect(phone->device), 0);
        EXPECT_EQ(runtime.AMDeviceStartSession(phone->device), 0);
        return phone->device;
    }

    std::string image_;
    std::string udid_;
    std::unique_ptr<sim::wire::WireServer> server_;
    CIPhoneConnectionListener* listener_ = nullptr;
    testing::CallbackLog log_;
};

TEST_F(ImdOverTheWire, TheListenerListsThePhoneAndReadsItsValues) {
    Serve();
    CIPhone* phone = ListedPhone();
    ASSERT_NE(phone, nullptr);
    EXPECT_EQ(phone->udid, udid_);
    EXPECT_NE(phone->ready.load(), 0);
    EXPECT_EQ(phone->ReadDeviceValueText("", "DeviceName"), "Wire Phone");
    EXPECT_EQ(phone->ReadDeviceValueText("", "UniqueDeviceID"), udid_);
    EXPECT_EQ(phone->ReadDeviceValueText("", "ProductVersion"), "7.1.2");
}

TEST_F(ImdOverTheWire, FoldersAndFilesOfTheMediaAreaMatchTheImage) {
    Serve();
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

TEST_F(ImdOverTheWire,
       ApplicationsComeFromTheInstallationProxyAndTheirContainersThroughHouseArrest) {
    Serve();
    CIPhone* phone = ListedPhone();
    ASSERT_NE(phone, nullptr);
    const auto expected = ImdImageApplications(image_);
    ASSERT_FALSE(expected.empty());
    std::set<std::string> listed;
    for (const InstalledApplication& application : ListInstalledApplications(*phone))
        listed.insert(application.bundleIdentifier);
    std::set<std::string> names;
    for (const auto& [identifier, container] : expected)
        names.insert(identifier);
    EXPECT_EQ(listed, names);

    const auto& [identifier, container] = *expected.begin();
    ASSERT_TRUE(phone->OpenAppContainer(identifier));
    std::vector<std::string> entries;
    EXPECT_TRUE(phone->ListDirectory("/", entries));
    std::set<std::string> seen(entries.begin(), entries.end());
    seen.erase(".");
    seen.erase("..");
    std::set<std::string> inImage;
    for (const std::filesystem::directory_entry& entry :
         std::filesystem::directory_iterator(container))
        inImage.insert(entry.path().filename().string());
    EXPECT_EQ(seen, inImage);
    phone->CloseAppContainer();
    phone->CloseSession();
    // The file service is back on the media area.
    const std::filesystem::path media = std::filesystem::path(image_) / "fs/var/mobile/Media";
    const std::string firstInMedia =
        std::filesystem::directory_iterator(media)->path().filename().string();
    EXPECT_TRUE(phone->FileExists("/" + firstInMedia)) << firstInMedia;
    EXPECT_FALSE(phone->FileExists("/" + *inImage.begin())) << *inImage.begin();
}

TEST_F(ImdOverTheWire, DiskFiguresAndAWrittenFileReachTheImage) {
    Serve();
    CIPhone* phone = ListedPhone();
    ASSERT_NE(phone, nullptr);
    DiskInfo disk;
    ASSERT_TRUE(phone->ReadDiskInfo(disk));
    EXPECT_FALSE(disk.model.empty());
    EXPECT_GT(disk.totalBytes, 0u);
    EXPECT_LE(disk.freeBytes, disk.totalBytes);

    const std::string source = folder_ / "upload.bin";
    std::string bytes;
    for (int i = 0; i < 300000; ++i)
        bytes.push_back(static_cast<char>(i * 7 + (i >> 9)));
    std::ofstream(source, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(phone->MakeDirectory("/Imd"));
    ASSERT_TRUE(phone->CopyFileToDevice(source, "/Imd/upload.bin"));
    EXPECT_EQ(ImdFileBytes(std::filesystem::path(image_) / "fs/var/mobile/Media/Imd/upload.bin"),
              bytes);
    EXPECT_TRUE(phone->RemovePath("/Imd/upload.bin"));
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(image_) /
                                         "fs/var/mobile/Media/Imd/upload.bin"));
}

TEST_F(ImdOverTheWire, APhoneThatLeavesIsReportedWithItsObjectAndFailsCleanly) {
    Serve();
    CIPhone* phone = ListedPhone();
    ASSERT_NE(phone, nullptr);
    ASSERT_EQ(BwSimDetach(udid_.c_str()), 0);
    ASSERT_TRUE(testing::WaitUntil([&] { return log_.Count(kDeviceRemoved) == 1; }, 30000));
    EXPECT_EQ(log_.Device(kDeviceRemoved), phone);
    std::vector<std::string> names;
    EXPECT_FALSE(phone->ListDirectory("/", names));
    DeviceList listed;
    listener_->CopyDeviceList(listed, 1);
    EXPECT_TRUE(listed.empty());
}

TEST_F(ImdOverTheWire, TheFullFileSystemTwinOpensOnAfc2) {
    sim::ImageOptions options;
    options.hasAfc2 = true;
    Serve(options);
    CIPhone* phone = ListedPhone(true);
    ASSERT_NE(phone, nullptr);
    ASSERT_NE(phone->fullFileSystemTwin, nullptr);
    std::vector<std::string> names;
    ASSERT_TRUE(phone->fullFileSystemTwin->ListDirectory("/var/mobile", names));
    EXPECT_NE(std::find(names.begin(), names.end(), "Media"), names.end());
}

// The notification proxy, driven through the runtime as the library drives it: the phone relays
// what the host observes, and counts what the host posts.
TEST_F(ImdOverTheWire, NotificationsAreObservedRelayedAndPosted) {
    const rt::AMDeviceRef device = PhoneInSession();
    ASSERT_NE(device, nullptr);
    const RuntimeTable& runtime = Runtime();
    const CFString service = MakeCFString("com.apple.mobile.notification_proxy");
    rt::ServiceHandle proxy = nullptr;
    ASSERT_EQ(runtime.AMDeviceStartService(device, service.get(), &proxy, nullptr), 0);
    EXPECT_EQ(runtime.AMDeviceStopSession(device), 0);
    EXPECT_EQ(runtime.AMDeviceDisconnect(device), 0);

    struct Relayed {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::string> names;
    } relayed;
    const auto onRelay = [](rt::CFStringRef name, void* context) {
        auto* into = static_cast<Relayed*>(context);
        std::lock_guard<std::mutex> lock(into->mutex);
        into->names.push_back(CFStringToWString(name));
        into->changed.notify_all();
    };
    const std::string observed = "com.example.imd.observed";
    const CFString name = MakeCFString(observed);
    ASSERT_EQ(runtime.AMDObserveNotification(proxy, name.get()), 0);
    ASSERT_EQ(runtime.AMDListenForNotifications(proxy, onRelay, &relayed), 0);
    // Observing is one message the phone reads on its own time: wait until it relays.
    ASSERT_TRUE(testing::WaitUntil(
        [&] { return BwSimPostDeviceNotification(udid_.c_str(), observed.c_str()) > 0; }));
    {
        std::unique_lock<std::mutex> lock(relayed.mutex);
        ASSERT_TRUE(relayed.changed.wait_for(lock, std::chrono::seconds(30),
                                             [&] { return !relayed.names.empty(); }));
        EXPECT_EQ(relayed.names.front(), observed);
    }

    const std::string posted = "com.example.imd.posted";
    const CFString postedName = MakeCFString(posted);
    EXPECT_EQ(runtime.AMDPostNotification(proxy, postedName.get(), nullptr), 0);
    EXPECT_TRUE(testing::WaitUntil(
        [&] { return BwSimCountHostNotifications(udid_.c_str(), posted.c_str()) == 1; }));
    CloseServiceHandle(proxy);
}

// A name the phone sends that could not name an entry (here bytes that are not UTF-8) never reaches
// the library; the other entries of the folder do.
TEST_F(ImdOverTheWire, AFolderEntryWhoseNameIsNotUtf8IsLeftOutOfTheListing) {
    Serve();
    namespace fs = std::filesystem;
    const fs::path folder = fs::path(image_) / "fs/var/mobile/Media/Names";
    fs::create_directories(folder);
    std::ofstream(folder / "plain.txt") << "a";
    std::ofstream(folder / "caf\xC3\xA9.txt") << "b";
    std::ofstream(folder / "bad\xFF.txt") << "c";
    CIPhone* phone = ListedPhone();
    ASSERT_NE(phone, nullptr);
    std::vector<std::string> names;
    ASSERT_TRUE(phone->ListDirectory("/Names", names));
    std::set<std::string> listed(names.begin(), names.end());
    listed.erase(".");
    listed.erase("..");
    EXPECT_EQ(listed, (std::set<std::string>{"plain.txt", "caf\xC3\xA9.txt"}));
}

// The installation proxy through the runtime: a listing keyed by bundle identifier, and a command
// the phone refuses ends in an AMD error without progress.
TEST_F(ImdOverTheWire, ApplicationLookupListsTheImageAndARefusedCommandFails) {
    const rt::AMDeviceRef device = PhoneInSession();
    ASSERT_NE(device, nullptr);
    const RuntimeTable& runtime = Runtime();

    rt::CFDictionaryRef applications = nullptr;
    ASSERT_EQ(runtime.AMDeviceLookupApplications(device, nullptr, &applications), 0);
    ASSERT_NE(applications, nullptr);
    for (const auto& [identifier, container] : ImdImageApplications(image_)) {
        const CFString key = MakeCFString(identifier);
        EXPECT_TRUE(runtime.CFDictionaryContainsKey(applications, key.get())) << identifier;
    }
    runtime.CFRelease(applications);

    rt::ServiceHandle proxy = nullptr;
    ASSERT_EQ(StartDeviceService(device, "com.apple.mobile.installation_proxy", &proxy), 0);
    int progress = 0;
    const CFString identifier = MakeCFString(ImdImageApplications(image_).begin()->first);
    const int status = runtime.AMDeviceUninstallApplication(
        proxy, identifier.get(), nullptr,
        [](rt::CFDictionaryRef, void* count) { ++*static_cast<int*>(count); }, &progress);
    EXPECT_EQ(static_cast<uint32_t>(status) & 0xFF000000u, 0xE8000000u) << status;
    EXPECT_EQ(progress, 0);
    CloseServiceHandle(proxy);
    EXPECT_EQ(runtime.AMDeviceStopSession(device), 0);
    EXPECT_EQ(runtime.AMDeviceDisconnect(device), 0);
}

// How the library opens a phone on the network, here on a wired one (libimobiledevice reaches
// network phones over TCP, which the simulator's socket does not serve): the secure start's
// socket number outlives the released connection and carries AFC.
TEST_F(ImdOverTheWire, AnAfcConnectionOpensOnTheSocketNumberOfAReleasedSecureService) {
    const rt::AMDeviceRef device = PhoneInSession();
    ASSERT_NE(device, nullptr);
    const RuntimeTable& runtime = Runtime();
    rt::AMDServiceConnectionRef connection = nullptr;
    ASSERT_EQ(SecureStartDeviceService(device, "com.apple.afc", nullptr, &connection), 0);
    const int socket = runtime.AMDServiceConnectionGetSocket(connection);
    void* context = runtime.AMDServiceConnectionGetSecureIOContext(connection);
    EXPECT_GE(socket, 0);
    EXPECT_NE(context, nullptr);
    runtime.CFRelease(connection);
    EXPECT_EQ(runtime.AMDeviceStopSession(device), 0);
    EXPECT_EQ(runtime.AMDeviceDisconnect(device), 0);

    rt::AFCConnectionRef afc = nullptr;
    ASSERT_EQ(
        runtime.AFCConnectionOpen(reinterpret_cast<rt::ServiceHandle>(intptr_t{socket}), 0, &afc),
        0);
    runtime.AFCConnectionSetSecureContext(afc, context);
    rt::AFCKeyValueRef values = nullptr;
    ASSERT_EQ(runtime.AFCDeviceInfoOpen(afc, &values), 0);
    std::map<std::string, std::string> info;
    ReadAfcKeyValues(values, info);
    EXPECT_EQ(runtime.AFCKeyValueClose(values), 0);
    EXPECT_FALSE(info["Model"].empty());
    EXPECT_FALSE(info["FSTotalBytes"].empty());
    EXPECT_EQ(runtime.AFCConnectionClose(afc), 0);
    // Closing the AFC connection ended the link: the number names nothing any more.
    EXPECT_NE(
        runtime.AFCConnectionOpen(reinterpret_cast<rt::ServiceHandle>(intptr_t{socket}), 0, &afc),
        0);
    EXPECT_EQ(runtime.AMDServiceConnectionCreate(socket, nullptr, nullptr), nullptr);
}

}  // namespace
}  // namespace bw
