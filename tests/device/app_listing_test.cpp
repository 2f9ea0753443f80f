// The installed-application list and icon layout on simulated devices, checked against the
// image's files (bundles, icon files, artwork, the saved home-screen layout) and against
// applications planted in the image: the icon when springboard refuses or the artwork is odd,
// failures of the services, and when the list is fetched again. Names and order from a browse
// reply are pinned by the reply tests.
#include <gtest/gtest.h>

#include <map>
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

// One user application as the image holds it.
struct ImageApp {
    std::set<std::string> bundlePngs;  // the bytes of every .png file of the bundle
    std::string artwork;               // iTunesArtwork of the container; empty when none
};

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

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

    // A phone whose image holds the planted mixture as well as the builder's own applications.
    CIPhone* ArrivePlanted() {
        image_ = MakeImage("phone");
        PlantMixture(image_);
        Listen();
        return Arrive(image_, &udid_);
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

    static std::vector<std::string> Children(const std::string& folder) {
        std::vector<platform::FolderEntry> entries;
        platform::ListFolder(folder, entries);
        std::vector<std::string> paths;
        for (const platform::FolderEntry& entry : entries)
            paths.push_back(platform::JoinPath(folder, entry.name));
        return paths;
    }

    static std::string Identifier(const std::string& bundle) {
        CDicValueObj info;
        readPlistFromFile(platform::JoinPath(bundle, "Info.plist"), info);
        return info.GetString("CFBundleIdentifier").value_or(std::string());
    }

    // The user applications of an image as its files hold them, by identifier.
    std::map<std::string, ImageApp> UserApps(const std::string& image) {
        std::map<std::string, ImageApp> apps;
        for (const std::string& container : Children(Host(image, kApplications))) {
            for (const std::string& bundle : Children(container)) {
                if (!EndsWith(bundle, ".app")) continue;
                const std::string identifier = Identifier(bundle);
                if (identifier.empty()) continue;
                ImageApp& app = apps[identifier];
                for (const std::string& file : Children(bundle)) {
                    std::string bytes;
                    if (EndsWith(file, ".png") && platform::ReadWholeFile(file, bytes))
                        app.bundlePngs.insert(bytes);
                }
                platform::ReadWholeFile(platform::JoinPath(container, "iTunesArtwork"),
                                        app.artwork);
            }
        }
        return apps;
    }

    std::set<std::string> SystemApps(const std::string& image) {
        std::set<std::string> identifiers;
        for (const std::string& bundle : Children(Host(image, "/Applications"))) {
            if (EndsWith(bundle, ".app")) identifiers.insert(Identifier(bundle));
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

TEST_F(AppListing, EveryUserApplicationInIdentifierOrderWithTheIconTheImageHolds) {
    CIPhone* phone = ArrivePlanted();
    ASSERT_NE(phone, nullptr);
    const std::map<std::string, ImageApp> expected = UserApps(image_);
    const std::set<std::string> system = SystemApps(image_);
    ASSERT_GE(expected.size(), 10u);
    ASSERT_TRUE(system.count("test.planted.system"));

    const std::vector<InstalledApplication> list = ListInstalledApplications(*phone);
    ExpectOpen(kWiredAfc, kWiredServices);
    // The artwork was read through house arrest; the file operations went back to the media area.
    EXPECT_EQ(phone->afcConnection, phone->currentAfc);
    EXPECT_EQ(phone->serviceConnection, nullptr);
    std::vector<std::string> identifiers;
    for (const auto& entry : expected)
        identifiers.push_back(entry.first);
    EXPECT_EQ(Identifiers(list), identifiers);
    size_t fromBundle = 0, fromArtwork = 0, none = 0;
    for (const InstalledApplication& app : list) {
        SCOPED_TRACE(app.bundleIdentifier);
        EXPECT_EQ(system.count(app.bundleIdentifier), 0u);
        ASSERT_EQ(expected.count(app.bundleIdentifier), 1u);
        EXPECT_FALSE(app.name.empty());
        const ImageApp& files = expected.at(app.bundleIdentifier);
        if (!files.bundlePngs.empty()) {
            // Springboard's icon wins over the artwork.
            EXPECT_EQ(files.bundlePngs.count(app.iconData), 1u);
            ++fromBundle;
        } else if (!files.artwork.empty()) {
            EXPECT_EQ(app.iconData, files.artwork);
            ++fromArtwork;
        } else {
            EXPECT_TRUE(app.iconData.empty());
            ++none;
        }
    }
    EXPECT_GT(fromBundle, 0u);
    EXPECT_GT(fromArtwork, 0u);
    EXPECT_GT(none, 0u);
    EndListening();
}

TEST_F(AppListing, SpringboardRefusedLeavesOnlyArtwork) {
    CIPhone* phone = ArrivePlanted();
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
    CIPhone* phone = ArrivePlanted();
    ASSERT_NE(phone, nullptr);

    ASSERT_TRUE(sim_.InjectFailure(testing::kStartServiceCall, kInstallationProxyService,
                                   static_cast<int>(0xE8000022)));
    EXPECT_TRUE(ListInstalledApplications(*phone).empty());
    ExpectOpen(kWiredAfc, kWiredServices);
    // An empty list is not kept: the next request reads the device again.
    EXPECT_GE(ListInstalledApplications(*phone).size(), 3u);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(AppListing, ConnectionThatCannotBeMadeClosesTheStartedService) {
    CIPhone* phone = ArrivePlanted();
    ASSERT_NE(phone, nullptr);

    // Over the wire the connection is made by the runtime itself from its own link, with no
    // simulator call to fail; the failed session start below still applies.
    if (!testing::kOverWire) {
        ASSERT_TRUE(sim_.InjectFailure("AMDServiceConnectionCreate", nullptr, 0));
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
    CIPhone* phone = ArrivePlanted();
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
    EXPECT_EQ(secondList.size(), UserApps(image_).size());

    // ...and coming back to the first device reads it again.
    EXPECT_NE(Find(ListInstalledApplications(*first), "test.planted.late"), nullptr);
    ExpectOpen(2 * kWiredAfc, 2 * kWiredServices);
    EndListening();
}

// The saved layout flattened the way the device shows it: the dock, then each page, a folder's
// applications in its place; identifiers that are not installed are not shown.
std::vector<std::string> SavedLayout(const CDicValueObj& state,
                                     const std::set<std::string>& installed, bool& hasFolder) {
    std::vector<std::string> order;
    const auto take = [&](const CDicValueObj& item) {
        if (const std::string* identifier = item.String()) {
            if (installed.count(*identifier)) order.push_back(*identifier);
        }
    };
    if (const CDicValueObj* dock = state.Find("buttonBar"); dock && dock->Array()) {
        for (const CDicValueObj& item : *dock->Array())
            take(item);
    }
    const CDicValueObj* pages = state.Find("iconLists");
    if (pages == nullptr || pages->Array() == nullptr) return order;
    for (const CDicValueObj& page : *pages->Array()) {
        if (page.Array() == nullptr) continue;
        for (const CDicValueObj& item : *page.Array()) {
            const CDicValueObj* folderPages = item.Find("iconLists");
            if (folderPages == nullptr || folderPages->Array() == nullptr) {
                take(item);
                continue;
            }
            hasFolder = true;
            for (const CDicValueObj& folderPage : *folderPages->Array()) {
                if (folderPage.Array() == nullptr) continue;
                for (const CDicValueObj& inner : *folderPage.Array())
                    take(inner);
            }
        }
    }
    return order;
}

TEST_F(AppListing, IconLayoutFollowsTheSavedLayoutWithItsFolder) {
    CIPhone* phone = ArriveImage("phone");
    ASSERT_NE(phone, nullptr);
    std::set<std::string> installed = SystemApps(image_);
    for (const auto& entry : UserApps(image_))
        installed.insert(entry.first);
    CDicValueObj state;
    readPlistFromFile(sim::ImagePath(image_, "/var/mobile/Library/SpringBoard/IconState.plist"),
                      state);
    bool hasFolder = false;
    const std::vector<std::string> saved = SavedLayout(state, installed, hasFolder);
    ASSERT_TRUE(hasFolder);
    ASSERT_FALSE(saved.empty());

    ASSERT_TRUE(OpenSpringboardServices(*phone));
    std::vector<IconLayoutEntry> entries;
    EXPECT_TRUE(GetIconState(*phone, entries));
    phone->CloseSession();
    ExpectOpen(kWiredAfc, kWiredServices);

    ASSERT_GE(entries.size(), saved.size());
    for (size_t i = 0; i < saved.size(); ++i)
        EXPECT_EQ(entries[i].bundleIdentifier, saved[i]) << i;
    // Applications the saved layout does not place follow it; every installed one appears once.
    std::set<std::string> shown;
    for (const IconLayoutEntry& entry : entries) {
        EXPECT_TRUE(installed.count(entry.bundleIdentifier)) << entry.bundleIdentifier;
        EXPECT_TRUE(shown.insert(entry.bundleIdentifier).second) << entry.bundleIdentifier;
        EXPECT_FALSE(entry.displayName.empty());
    }
    EXPECT_EQ(shown, installed);
    EndListening();
}

}  // namespace
}  // namespace bw
