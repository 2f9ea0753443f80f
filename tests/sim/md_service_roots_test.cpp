// The roots of the AFC services are the image's own folders, and an image's folders can be links
// (a hand-made image, a restore of a hostile backup). A root that is a link, or that lies below
// one, serves nothing: pushing, removing and cleaning through it leave the host's files alone.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "md_support.h"
#include "support/canary.h"

namespace bw::sim::mdtest {
namespace {

namespace fs = std::filesystem;
using testing::FingerprintTree;
using testing::PlantCanary;
using testing::TreeFingerprint;

class SimMdServiceRoots : public SimMdTest {
  protected:
    // An image whose folder `devicePath` (below fs/) is moved to a canary folder outside the
    // image and replaced by a link to it, so that the outside holds what a service would serve.
    std::string ImageWithLink(const std::string& devicePath, ImageOptions options = {}) {
        const std::string image = MakeImage(std::move(options));
        const std::string inside = image + "/fs" + (devicePath.empty() ? "" : "/" + devicePath);
        outside_ = folder_ / ("outside" + std::to_string(images_));
        fs::rename(inside, outside_);
        PlantCanary(outside_);
        EXPECT_EQ(::symlink(outside_.c_str(), inside.c_str()), 0);
        return image;
    }

    // Starts `service` and opens AFC on it; the AFC status of the open (and the connection when
    // it opened, to be closed by the caller).
    int OpenService(AMDeviceRef device, const char* service, AFCConnectionRef& afc) {
        afc = nullptr;
        EXPECT_EQ(ConnectAndStartSession(device), 0);
        AMDServiceConnectionRef handle = nullptr;
        CFStringRef name = Text(service);
        const int started = AMDeviceStartService(device, name, &handle, nullptr);
        CFRelease(name);
        EXPECT_EQ(AMDeviceStopSession(device), 0);
        EXPECT_EQ(AMDeviceDisconnect(device), 0);
        if (started != 0) return started;
        return OpenAfcOn(handle, afc);
    }

    // The same for an application's container, which house arrest serves.
    int OpenContainer(AMDeviceRef device, const char* bundleId, AFCConnectionRef& afc) {
        afc = nullptr;
        EXPECT_EQ(ConnectAndStartSession(device), 0);
        AMDServiceConnectionRef handle = nullptr;
        CFStringRef name = Text(bundleId);
        const int started =
            AMDeviceStartHouseArrestService(device, name, nullptr, &handle, nullptr);
        CFRelease(name);
        EXPECT_EQ(AMDeviceStopSession(device), 0);
        EXPECT_EQ(AMDeviceDisconnect(device), 0);
        if (started != 0) return started;
        return OpenAfcOn(handle, afc);
    }

    static int OpenAfcOn(AMDServiceConnectionRef handle, AFCConnectionRef& afc) {
        // AFC takes the service connection over, also when it refuses to open on it.
        return AFCConnectionOpen(handle, 0, &afc);
    }

    // What a host does through a root: push a file, make a folder, remove what it lists (a crash
    // log clean removes every entry).
    static void PushAndClean(AFCConnectionRef afc) {
        WriteDeviceFile(afc, "/pushed.txt", "from the host application");
        AFCDirectoryCreate(afc, "/made");
        for (const std::string& name : List(afc, "/")) {
            if (name != "." && name != "..") AFCRemovePath(afc, ("/" + name).c_str());
        }
        AFCRemovePath(afc, "/file.txt");
        AFCRemovePath(afc, "/folder/nested.bin");
    }

    // Opens `service`; expects the open to fail and nothing outside to change, and, should it
    // open, does the damage a host could do, so that the fingerprint shows it.
    void ExpectServesNothing(AMDeviceRef device, const char* service) {
        SCOPED_TRACE(service);
        const TreeFingerprint before = FingerprintTree(outside_);
        ASSERT_GT(before.size(), 3u);
        ASSERT_NE(device, nullptr);
        AFCConnectionRef afc = nullptr;
        EXPECT_NE(OpenService(device, service, afc), 0);
        if (afc != nullptr) {
            PushAndClean(afc);
            EXPECT_EQ(AFCConnectionClose(afc), 0);
        }
        EXPECT_EQ(FingerprintTree(outside_), before);
        EXPECT_EQ(Counters().afcConnections, 0);
        EXPECT_EQ(Counters().serviceConnections, 0);
    }

    std::string outside_;
};

TEST_F(SimMdServiceRoots, AMediaFolderThatIsALinkServesNothing) {
    ExpectServesNothing(Device(Attach(ImageWithLink("var/mobile/Media"))), "com.apple.afc");
}

TEST_F(SimMdServiceRoots, ACrashReportFolderThatIsALinkServesNothing) {
    ExpectServesNothing(Device(Attach(ImageWithLink("var/mobile/Library/Logs/CrashReporter"))),
                        "com.apple.crashreportcopymobile");
}

// The root itself is a real folder, but a folder on the way to it is a link.
TEST_F(SimMdServiceRoots, RootsBelowALinkedFolderServeNothing) {
    for (const char* linked : {"var", "var/mobile"}) {
        SCOPED_TRACE(linked);
        AMDeviceRef device = Device(Attach(ImageWithLink(linked, WithUdid(linked[3] ? 'b' : 'a'))));
        ExpectServesNothing(device, "com.apple.afc");
        ExpectServesNothing(device, "com.apple.crashreportcopymobile");

        // House arrest finds the container behind the link, but does not serve it.
        const TreeFingerprint before = FingerprintTree(outside_);
        AFCConnectionRef afc = nullptr;
        EXPECT_NE(OpenContainer(device, "com.soundgarage.beatbox", afc), 0);
        if (afc != nullptr) {
            PushAndClean(afc);
            EXPECT_EQ(AFCConnectionClose(afc), 0);
        }
        EXPECT_EQ(FingerprintTree(outside_), before);
    }
}

TEST_F(SimMdServiceRoots, AFileSystemFolderThatIsALinkServesNothing) {
    ImageOptions options;
    options.hasAfc2 = true;
    ExpectServesNothing(Device(Attach(ImageWithLink("", options))), "com.apple.afc2");
}

// The same services on an image without links serve and change their roots.
TEST_F(SimMdServiceRoots, RealRootsServe) {
    const std::string image = MakeImage();
    AMDeviceRef device = Device(Attach(image));
    ASSERT_NE(device, nullptr);
    for (const auto& [service, root] : {std::pair{"com.apple.afc", "/fs/var/mobile/Media"},
                                        std::pair{"com.apple.crashreportcopymobile",
                                                  "/fs/var/mobile/Library/Logs/CrashReporter"}}) {
        SCOPED_TRACE(service);
        AFCConnectionRef afc = nullptr;
        ASSERT_EQ(OpenService(device, service, afc), 0);
        EXPECT_EQ(WriteDeviceFile(afc, "/pushed.txt", "pushed"), 0);
        EXPECT_EQ(testing::ReadFileBytes(image + root + "/pushed.txt"), "pushed");
        EXPECT_EQ(AFCRemovePath(afc, "/pushed.txt"), 0);
        EXPECT_FALSE(fs::exists(image + root + "/pushed.txt"));
        EXPECT_EQ(AFCConnectionClose(afc), 0);
    }
    AFCConnectionRef container = nullptr;
    ASSERT_EQ(OpenContainer(device, "com.soundgarage.beatbox", container), 0);
    EXPECT_EQ(WriteDeviceFile(container, "/Documents/pushed.txt", "pushed"), 0);
    EXPECT_EQ(ReadDeviceFile(container, "/Documents/pushed.txt"), "pushed");
    EXPECT_EQ(AFCConnectionClose(container), 0);
}

}  // namespace
}  // namespace bw::sim::mdtest
