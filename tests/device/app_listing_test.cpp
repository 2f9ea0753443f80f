// The installed-application list on simulated devices: applications planted in the image (user
// bundles in containers, system bundles under /Applications, icons, artwork, the icon layout)
// and the image's own applications, checked against the image's files.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "brackwater/apps.h"
#include "device/app_icons.h"
#include "device/app_install_proxy.h"
#include "formats/plist_library.h"
#include "platform/files.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::SimDeviceTest;

using testing::kWiredAfc;
using testing::kWiredServices;
constexpr char kApplications[] = "/var/mobile/Applications";

struct PlantedApp {
    std::string container;  // the container's folder name
    std::string bundle;     // "<Name>.app"
    std::string identifier;
    std::string displayName;  // left out of Info.plist when empty
    std::string bundleName;   // left out of Info.plist when empty
    std::string icon;         // Icon.png of the bundle; none when empty
    std::string artwork;      // iTunesArtwork of the container; none when empty
};

// Distinct bytes that start like a PNG, with a zero byte inside.
std::string FakePng(const std::string& tag) {
    return std::string("\x89PNG\r\n\x1a\n\0", 9) + tag;
}

class AppListing : public SimDeviceTest {
  protected:
    void SetUp() override {
        SimDeviceTest::SetUp();
        ForgetInstalledApplications();
    }

    CIPhone* ArriveImage(const std::string& name, uint64_t seed = 1) {
        if (listener_ == nullptr) Listen();
        sim::ImageOptions options;
        options.seed = seed;
        image_ = MakeImage(name, options);
        return image_.empty() ? nullptr : Arrive(image_, &udid_);
    }

    std::string Host(const std::string& image, const std::string& devicePath) const {
        return sim::ImagePath(image, devicePath);
    }

    void WriteInfoPlist(const std::string& bundleHost, const PlantedApp& app) {
        ASSERT_TRUE(platform::CreateFolders(bundleHost));
        CDicValueObj info = CDicValueObj::MakeDictionary();
        info.Set("CFBundleIdentifier", CDicValueObj::MakeString(app.identifier));
        if (!app.displayName.empty())
            info.Set("CFBundleDisplayName", CDicValueObj::MakeString(app.displayName));
        if (!app.bundleName.empty())
            info.Set("CFBundleName", CDicValueObj::MakeString(app.bundleName));
        info.Set("CFBundleVersion", CDicValueObj::MakeString("1.0"));
        writeXmlFile(info, platform::JoinPath(bundleHost, "Info.plist"));
        ASSERT_TRUE(platform::IsFile(platform::JoinPath(bundleHost, "Info.plist")));
        if (!app.icon.empty()) {
            ASSERT_TRUE(
                platform::WriteFileAtomic(platform::JoinPath(bundleHost, "Icon.png"), app.icon));
        }
    }

    void PlantUserApp(const std::string& image, const PlantedApp& app) {
        const std::string container = Host(image, std::string(kApplications) + "/" + app.container);
        WriteInfoPlist(platform::JoinPath(container, app.bundle), app);
        ASSERT_TRUE(platform::CreateFolders(platform::JoinPath(container, "Documents")));
        if (!app.artwork.empty()) {
            ASSERT_TRUE(platform::WriteFileAtomic(platform::JoinPath(container, "iTunesArtwork"),
                                                  app.artwork));
        }
    }

    void PlantSystemApp(const std::string& image, const PlantedApp& app) {
        WriteInfoPlist(Host(image, "/Applications/" + app.bundle), app);
    }

    // The identifiers of the bundles below a folder of the image: <folder>/*.app for system
    // applications, <folder>/<container>/*.app for user applications.
    std::set<std::string> BundleIdentifiers(const std::string& image, const std::string& folder,
                                            bool inContainers) {
        std::set<std::string> identifiers;
        std::vector<std::string> bundles;
        std::vector<platform::FolderEntry> entries;
        platform::ListFolder(Host(image, folder), entries);
        for (const platform::FolderEntry& entry : entries) {
            const std::string path = platform::JoinPath(Host(image, folder), entry.name);
            if (!inContainers) {
                bundles.push_back(path);
                continue;
            }
            std::vector<platform::FolderEntry> inner;
            platform::ListFolder(path, inner);
            for (const platform::FolderEntry& item : inner)
                bundles.push_back(platform::JoinPath(path, item.name));
        }
        for (const std::string& bundle : bundles) {
            if (bundle.size() < 4 || bundle.substr(bundle.size() - 4) != ".app") continue;
            CDicValueObj info;
            readPlistFromFile(platform::JoinPath(bundle, "Info.plist"), info);
            if (const auto identifier = info.GetString("CFBundleIdentifier"))
                identifiers.insert(*identifier);
        }
        return identifiers;
    }

    static const InstalledApplication* Find(const std::vector<InstalledApplication>& list,
                                            const std::string& identifier) {
        for (const InstalledApplication& app : list) {
            if (app.bundleIdentifier == identifier) return &app;
        }
        return nullptr;
    }

    static std::vector<std::string> Identifiers(const std::vector<InstalledApplication>& list) {
        std::vector<std::string> identifiers;
        for (const InstalledApplication& app : list)
            identifiers.push_back(app.bundleIdentifier);
        return identifiers;
    }

    void PlantMixture(const std::string& image) {
        PlantUserApp(image, {"11111111-AAAA-4000-8000-000000000001", "Notes.app",
                             "test.planted.notes", "My Notes", "Notes", FakePng("notes"), ""});
        PlantUserApp(image, {"11111111-AAAA-4000-8000-000000000002", "Chat.app",
                             "test.planted.chat", "", "Chat", "", FakePng("chat artwork")});
        PlantUserApp(image, {"11111111-AAAA-4000-8000-000000000003", "Bare.app",
                             "test.planted.bare", "", "", "", ""});
        PlantSystemApp(image, {"", "Settings.app", "test.planted.system", "Settings", "", "", ""});
    }

    std::string image_;
    std::string udid_;
};

TEST_F(AppListing, UserApplicationsOnlyInIdentifierOrderWithTheirNames) {
    image_ = MakeImage("phone");
    PlantMixture(image_);
    Listen();
    CIPhone* phone = Arrive(image_, &udid_);
    ASSERT_NE(phone, nullptr);

    const std::vector<InstalledApplication> list = ListInstalledApplications(*phone);
    const std::set<std::string> user = BundleIdentifiers(image_, kApplications, true);
    const std::set<std::string> system = BundleIdentifiers(image_, "/Applications", false);
    ASSERT_TRUE(system.count("test.planted.system"));
    const std::vector<std::string> listed = Identifiers(list);
    EXPECT_EQ(listed, std::vector<std::string>(user.begin(), user.end()));
    for (const std::string& identifier : listed)
        EXPECT_EQ(system.count(identifier), 0u) << identifier;

    ASSERT_NE(Find(list, "test.planted.notes"), nullptr);
    EXPECT_EQ(Find(list, "test.planted.notes")->name, "My Notes");
    ASSERT_NE(Find(list, "test.planted.chat"), nullptr);
    EXPECT_EQ(Find(list, "test.planted.chat")->name, "Chat");
    ASSERT_NE(Find(list, "test.planted.bare"), nullptr);
    EXPECT_EQ(Find(list, "test.planted.bare")->name, "test.planted.bare");
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(AppListing, IconsFromSpringboardThenArtworkThenNone) {
    image_ = MakeImage("phone");
    PlantMixture(image_);
    Listen();
    CIPhone* phone = Arrive(image_, &udid_);
    ASSERT_NE(phone, nullptr);

    const std::vector<InstalledApplication> list = ListInstalledApplications(*phone);
    ASSERT_NE(Find(list, "test.planted.notes"), nullptr);
    EXPECT_EQ(Find(list, "test.planted.notes")->iconData, FakePng("notes"));
    EXPECT_EQ(Find(list, "test.planted.chat")->iconData, FakePng("chat artwork"));
    EXPECT_TRUE(Find(list, "test.planted.bare")->iconData.empty());
    // The container's file operations went back to the media area.
    EXPECT_EQ(phone->afcConnection, phone->currentAfc);
    EXPECT_EQ(phone->serviceConnection, nullptr);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(AppListing, SpringboardRefusedLeavesOnlyArtwork) {
    image_ = MakeImage("phone");
    PlantMixture(image_);
    Listen();
    CIPhone* phone = Arrive(image_, &udid_);
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceSecureStartService", kSpringboardService,
                                   static_cast<int>(0xE8000022)));

    const std::vector<InstalledApplication> list = ListInstalledApplications(*phone);
    ASSERT_NE(Find(list, "test.planted.notes"), nullptr);
    EXPECT_TRUE(Find(list, "test.planted.notes")->iconData.empty());
    EXPECT_EQ(Find(list, "test.planted.chat")->iconData, FakePng("chat artwork"));
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(AppListing, ArtworkThatIsAFolderOrEmptyGivesNoIcon) {
    image_ = MakeImage("phone");
    PlantUserApp(image_, {"22222222-AAAA-4000-8000-000000000001", "Folder.app",
                          "test.planted.folder", "Folder", "", "", ""});
    PlantUserApp(image_, {"22222222-AAAA-4000-8000-000000000002", "Empty.app", "test.planted.empty",
                          "Empty", "", "", ""});
    ASSERT_TRUE(platform::CreateFolders(
        Host(image_, std::string(kApplications) +
                         "/22222222-AAAA-4000-8000-000000000001/iTunesArtwork/inside")));
    ASSERT_TRUE(platform::WriteFileAtomic(
        Host(image_,
             std::string(kApplications) + "/22222222-AAAA-4000-8000-000000000002/iTunesArtwork"),
        ""));
    Listen();
    CIPhone* phone = Arrive(image_, &udid_);
    ASSERT_NE(phone, nullptr);

    const std::vector<InstalledApplication> list = ListInstalledApplications(*phone);
    ASSERT_NE(Find(list, "test.planted.folder"), nullptr);
    EXPECT_TRUE(Find(list, "test.planted.folder")->iconData.empty());
    ASSERT_NE(Find(list, "test.planted.empty"), nullptr);
    EXPECT_TRUE(Find(list, "test.planted.empty")->iconData.empty());
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(AppListing, InstallationServiceThatCannotStartLeavesTheListEmpty) {
    image_ = MakeImage("phone");
    PlantMixture(image_);
    Listen();
    CIPhone* phone = Arrive(image_, &udid_);
    ASSERT_NE(phone, nullptr);

    ASSERT_TRUE(sim_.InjectFailure("AMDeviceStartService", kInstallationProxyService,
                                   static_cast<int>(0xE8000022)));
    EXPECT_TRUE(ListInstalledApplications(*phone).empty());
    ExpectOpen(kWiredAfc, kWiredServices);
    // An empty list is not kept: the next request reads the device again.
    EXPECT_GE(ListInstalledApplications(*phone).size(), 3u);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(AppListing, ConnectionThatCannotBeMadeClosesTheStartedService) {
    image_ = MakeImage("phone");
    PlantMixture(image_);
    Listen();
    CIPhone* phone = Arrive(image_, &udid_);
    ASSERT_NE(phone, nullptr);

    ASSERT_TRUE(sim_.InjectFailure("AMDServiceConnectionCreate", nullptr, 0));
    {
        CAppInstallProxyService service(*phone);
        EXPECT_EQ(service.connected, 0);
        CDicValueObj applications;
        service.Browse(applications);
        EXPECT_TRUE(applications.Dictionary() == nullptr || applications.Dictionary()->empty());
    }
    ExpectOpen(kWiredAfc, kWiredServices);
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceStartSession", nullptr, static_cast<int>(0xE800001E)));
    EXPECT_TRUE(ListInstalledApplications(*phone).empty());
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(AppListing, BrowseTalksToTheDeviceOnce) {
    image_ = MakeImage("phone");
    PlantMixture(image_);
    Listen();
    CIPhone* phone = Arrive(image_, &udid_);
    ASSERT_NE(phone, nullptr);

    auto service = std::make_unique<CAppInstallProxyService>(*phone);
    ASSERT_EQ(service->connected, 1);
    EXPECT_EQ(sim_.Counters().sessions, 0);  // the connection outlives its session
    CDicValueObj first;
    service->Browse(first);
    ASSERT_NE(first.Dictionary(), nullptr);
    EXPECT_NE(first.Find("test.planted.notes"), nullptr);
    EXPECT_EQ(first.Find("test.planted.system"), nullptr);
    // A second browse would wait for replies that never come; it answers from the first.
    ASSERT_TRUE(sim_.InjectFailure("AMDServiceConnectionSend", nullptr, 0, 100));
    CDicValueObj second;
    service->Browse(second);
    sim_.ClearFailures();
    EXPECT_TRUE(PlistEquals(first, second));
    service.reset();
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(AppListing, ListIsReusedUntilAnotherDeviceIsAsked) {
    Listen();
    CIPhone* first = ArriveImage("first", 1);
    const std::string firstImage = image_;
    ASSERT_NE(first, nullptr);
    PlantMixture(firstImage);
    ASSERT_NE(Find(ListInstalledApplications(*first), "test.planted.notes"), nullptr);

    // An application installed afterwards is not seen while the list is reused...
    PlantUserApp(firstImage, {"33333333-AAAA-4000-8000-000000000001", "Late.app",
                              "test.planted.late", "Late", "", "", ""});
    EXPECT_EQ(Find(ListInstalledApplications(*first), "test.planted.late"), nullptr);

    // ...another device has its own list...
    CIPhone* second = ArriveImage("second", 2);
    ASSERT_NE(second, nullptr);
    ASSERT_NE(first->udid, second->udid);
    const std::vector<InstalledApplication> secondList = ListInstalledApplications(*second);
    EXPECT_EQ(Find(secondList, "test.planted.notes"), nullptr);
    const std::set<std::string> secondUser = BundleIdentifiers(image_, kApplications, true);
    EXPECT_EQ(Identifiers(secondList),
              std::vector<std::string>(secondUser.begin(), secondUser.end()));

    // ...and coming back to the first device reads it again.
    EXPECT_NE(Find(ListInstalledApplications(*first), "test.planted.late"), nullptr);
    ExpectOpen(2 * kWiredAfc, 2 * kWiredServices);
    EndListening();
}

TEST_F(AppListing, IconLayoutKeepsPagesAndFolderOrder) {
    image_ = MakeImage("phone");
    PlantMixture(image_);
    PlantUserApp(image_, {"44444444-AAAA-4000-8000-000000000001", "Game.app", "test.planted.game",
                          "Game", "", "", ""});
    const std::string layout =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>buttonBar</key><array><string>test.planted.chat</string></array>"
        "<key>iconLists</key><array>"
        "<array><string>test.planted.notes</string>"
        "<dict><key>displayName</key><string>Play</string><key>listType</key>"
        "<string>folder</string><key>iconLists</key><array>"
        "<array><string>test.planted.game</string><string>test.planted.bare</string></array>"
        "</array></dict></array></array></dict></plist>\n";
    const std::string statePath = Host(image_, "/var/mobile/Library/SpringBoard/IconState.plist");
    ASSERT_TRUE(platform::CreateFolders(statePath.substr(0, statePath.rfind('/'))));
    ASSERT_TRUE(platform::WriteFileAtomic(statePath, layout));
    Listen();
    CIPhone* phone = Arrive(image_, &udid_);
    ASSERT_NE(phone, nullptr);

    ASSERT_TRUE(OpenSpringboardServices(*phone));
    std::vector<IconLayoutEntry> entries;
    EXPECT_TRUE(GetIconState(*phone, entries));
    phone->CloseSession();
    ExpectOpen(kWiredAfc, kWiredServices);

    ASSERT_GE(entries.size(), 4u);
    const std::vector<std::string> placed = {"test.planted.chat", "test.planted.notes",
                                             "test.planted.game", "test.planted.bare"};
    for (size_t i = 0; i < placed.size(); ++i)
        EXPECT_EQ(entries[i].bundleIdentifier, placed[i]) << i;
    EXPECT_EQ(entries[1].displayName, "My Notes");
    EXPECT_EQ(entries[2].displayName, "Game");
    // No folder itself becomes an entry, and every entry is an application of the device.
    for (const IconLayoutEntry& entry : entries)
        EXPECT_NE(entry.displayName, "Play");
    // Without the service nothing is exchanged.
    EXPECT_FALSE(GetIconState(*phone, entries));
    EXPECT_TRUE(entries.empty());
    EndListening();
}

}  // namespace
}  // namespace bw
