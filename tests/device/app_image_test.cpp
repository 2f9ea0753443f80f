// The installed-application list of the image builder's own applications, checked against the
// image's files: bundles, icon files, artwork and the saved home-screen layout.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

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

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// One user application as the image holds it.
struct ImageApp {
    std::set<std::string> bundlePngs;  // the bytes of every .png file of the bundle
    std::string artwork;               // iTunesArtwork of the container; empty when none
};

class AppImage : public SimDeviceTest {
  protected:
    void SetUp() override {
        SimDeviceTest::SetUp();
        ForgetInstalledApplications();
        image_ = MakeImage("phone");
        Listen();
        phone_ = Arrive(image_);
        ASSERT_NE(phone_, nullptr);
    }

    std::vector<std::string> Children(const std::string& folder) {
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

    std::map<std::string, ImageApp> UserApps() {
        std::map<std::string, ImageApp> apps;
        for (const std::string& container :
             Children(sim::ImagePath(image_, "/var/mobile/Applications"))) {
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

    std::set<std::string> SystemApps() {
        std::set<std::string> identifiers;
        for (const std::string& bundle : Children(sim::ImagePath(image_, "/Applications"))) {
            if (EndsWith(bundle, ".app")) identifiers.insert(Identifier(bundle));
        }
        return identifiers;
    }

    std::string image_;
    CIPhone* phone_ = nullptr;
};

TEST_F(AppImage, EveryUserApplicationWithTheIconTheImageHolds) {
    const std::map<std::string, ImageApp> expected = UserApps();
    const std::set<std::string> system = SystemApps();
    ASSERT_GE(expected.size(), 10u);
    ASSERT_FALSE(system.empty());

    const std::vector<InstalledApplication> list = ListInstalledApplications(*phone_);
    ExpectOpen(kWiredAfc, kWiredServices);
    ASSERT_EQ(list.size(), expected.size());
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

TEST_F(AppImage, IconLayoutFollowsTheSavedLayoutWithItsFolder) {
    std::set<std::string> installed = SystemApps();
    for (const auto& entry : UserApps())
        installed.insert(entry.first);
    CDicValueObj state;
    readPlistFromFile(sim::ImagePath(image_, "/var/mobile/Library/SpringBoard/IconState.plist"),
                      state);
    bool hasFolder = false;
    const std::vector<std::string> saved = SavedLayout(state, installed, hasFolder);
    ASSERT_TRUE(hasFolder);
    ASSERT_FALSE(saved.empty());

    ASSERT_TRUE(OpenSpringboardServices(*phone_));
    std::vector<IconLayoutEntry> entries;
    EXPECT_TRUE(GetIconState(*phone_, entries));
    phone_->CloseSession();
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
