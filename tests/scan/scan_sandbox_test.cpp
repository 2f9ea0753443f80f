// The application sandbox scanners end to end on a simulated device: applications and their
// containers are put on the image, scanned through house arrest, and cleaned; the results are
// compared with the containers' own files.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

#include "brackwater/apps.h"
#include "brackwater/scan.h"
#include "device/app_info.h"
#include "device/app_install_proxy.h"
#include "formats/plist_codec.h"
#include "platform/files.h"
#include "platform/text.h"
#include "scan/app_sandbox_junk.h"
#include "session/scan_device.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::SimDeviceTest;

using testing::kWiredAfc;
using testing::kWiredServices;

// (bundle identifier, container path) -> size
using SandboxFiles = std::map<std::pair<std::string, std::string>, uint64_t>;

std::string InfoPlist(const std::string& identifier, const std::string& name) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>" +
           identifier + "</string><key>CFBundleName</key><string>" + name +
           "</string><key>CFBundleExecutable</key><string>" + name + "</string></dict></plist>\n";
}

template <class Getter>
std::string Text(Getter getter) {
    const size_t size = getter(nullptr);
    std::u16string text(size, u'\0');
    getter(text.data());
    text.resize(size - 2);
    return WideToUtf8(text);
}

class SandboxJunk : public SimDeviceTest {
  protected:
    void SetUp() override {
        SimDeviceTest::SetUp();
        ForgetInstalledApplications();
        image_ = MakeImage("phone");
        AddApp("com.bwtest.alpha", "Alpha", "0A0A0A0A-0000-4000-8000-00000000000A");
        AddApp("com.bwtest.bravo", "Bravo", "0B0B0B0B-0000-4000-8000-00000000000B");
        AddApp("com.bwtest.clean", "Clean", "0C0C0C0C-0000-4000-8000-00000000000C");
        Put("0A0A0A0A-0000-4000-8000-00000000000A", "/Library/Caches/a.cache", 10);
        Put("0A0A0A0A-0000-4000-8000-00000000000A", "/Library/Caches/sub/deep/b.cache", 20);
        Put("0A0A0A0A-0000-4000-8000-00000000000A", "/Library/Cookies/Cookies.binarycookies", 30);
        Put("0A0A0A0A-0000-4000-8000-00000000000A", "/tmp/t1", 1);
        Put("0A0A0A0A-0000-4000-8000-00000000000A", "/Library/tmp/t2", 2);
        Put("0A0A0A0A-0000-4000-8000-00000000000A", "/Library/Tmp/t3", 3);
        Put("0A0A0A0A-0000-4000-8000-00000000000A", "/Documents/keep.doc", 99);
        Put("0B0B0B0B-0000-4000-8000-00000000000B", "/Library/Caches/c.cache", 40);
        Put("0B0B0B0B-0000-4000-8000-00000000000B", "/Library/Preferences/p.plist", 5);
        // "Clean" has its folders but nothing in them.
        platform::CreateFolders(Host("0C0C0C0C-0000-4000-8000-00000000000C", "/Library/Caches"));
        Listen();
        phone_ = Arrive(image_);
        ASSERT_NE(phone_, nullptr);
        session_ = std::make_unique<CScanDevice>(phone_);
        session_->SetStatusRecord(&status_);
    }

    void TearDown() override {
        session_.reset();
        EndListening();
    }

    std::string Host(const std::string& container, std::string_view path) {
        return platform::JoinPath(sim::ImagePath(image_, "/var/mobile/Applications/" + container),
                                  path.substr(1));
    }

    void AddApp(const std::string& identifier, const std::string& name,
                const std::string& container) {
        const std::string bundle = Host(container, "/" + name + ".app");
        ASSERT_TRUE(platform::CreateFolders(bundle));
        ASSERT_TRUE(platform::WriteFileAtomic(bundle + "/Info.plist", InfoPlist(identifier, name)));
        for (const char* folder : {"/Documents", "/Library/Preferences", "/tmp"})
            platform::CreateFolders(Host(container, folder));
    }

    void Put(const std::string& container, std::string_view path, size_t size) {
        const std::string host = Host(container, path);
        ASSERT_TRUE(platform::CreateFolders(host.substr(0, host.rfind('/'))));
        ASSERT_TRUE(platform::WriteFileAtomic(host, std::string(size, 's')));
    }

    // The containers of the image by the identifier of the bundle inside.
    std::map<std::string, std::string> Containers() {
        std::map<std::string, std::string> containers;
        const std::string root = sim::ImagePath(image_, "/var/mobile/Applications");
        std::vector<platform::FolderEntry> entries;
        platform::ListFolder(root, entries);
        for (const auto& entry : entries) {
            if (!entry.isFolder || entry.isLink) continue;
            std::vector<platform::FolderEntry> inside;
            platform::ListFolder(root + "/" + entry.name, inside);
            for (const auto& bundle : inside) {
                if (!bundle.name.ends_with(".app")) continue;
                PlistValue info;
                if (!ReadPlist(root + "/" + entry.name + "/" + bundle.name + "/Info.plist", info))
                    continue;
                const PlistValue* identifier = info.Find("CFBundleIdentifier");
                if (identifier != nullptr && identifier->AsString() != nullptr)
                    containers[*identifier->AsString()] = entry.name;
            }
        }
        return containers;
    }

    // The files of `folders` in every installed user application's container, as the image
    // holds them.
    SandboxFiles ImageFiles(const std::vector<std::string>& folders,
                            const std::set<std::string>& excluded = {}) {
        SandboxFiles files;
        const auto containers = Containers();
        for (const InstalledApplication& app : ListInstalledApplications(*phone_)) {
            if (excluded.count(app.bundleIdentifier) != 0) continue;
            const auto container = containers.find(app.bundleIdentifier);
            if (container == containers.end()) continue;
            for (const std::string& folder : folders) {
                const std::string top = Host(container->second, folder);
                platform::WalkTree(
                    top, [&](const std::string& path, const platform::FolderEntry& entry) {
                        if (!entry.isFolder && !entry.isLink) {
                            files[{app.bundleIdentifier, folder + path.substr(top.size())}] =
                                entry.size;
                        }
                        return true;
                    });
            }
        }
        return files;
    }

    SandboxFiles Found() {
        SandboxFiles found;
        EXPECT_EQ(session_->GetResultCount0(), 0);
        for (int32_t i = 0; i < session_->GetResultCount2(); ++i) {
            auto* app = static_cast<IAppInfo*>(session_->GetResult2(i));
            const std::string identifier =
                Text([app](BwChar* buffer) { return app->GetIdentifier(buffer); });
            EXPECT_GE(app->GetItemCount(), 1);
            EXPECT_EQ(app->Selected(0), 1);
            uint64_t total = 0;
            for (int32_t j = 0; j < app->GetItemCount(); ++j) {
                IAppDetailFile* file = app->GetItem(j);
                const std::string path =
                    Text([file](BwChar* buffer) { return file->GetPath(buffer); });
                EXPECT_EQ(Text([file](BwChar* buffer) { return file->GetDisplayPath(buffer); }),
                          path);
                EXPECT_EQ(Text([file](BwChar* buffer) { return file->GetName(buffer); }),
                          path.substr(path.rfind('/') + 1));
                EXPECT_TRUE(
                    found.emplace(std::make_pair(identifier, path), file->GetSize()).second);
                total += file->GetSize();
            }
            EXPECT_EQ(app->GetTotalSize(), total);
        }
        return found;
    }

    static uint64_t TotalSize(const SandboxFiles& files) {
        uint64_t size = 0;
        for (const auto& [key, bytes] : files)
            size += bytes;
        return size;
    }

    SandboxFiles Scan(int32_t type) {
        session_->StartScan(type);
        EXPECT_EQ(status_.finished, 1);
        const SandboxFiles found = Found();
        EXPECT_EQ(status_.selectedCount, found.size());
        EXPECT_EQ(status_.selectedSize, TotalSize(found));
        EXPECT_DOUBLE_EQ(status_.progress, 100.0);
        ExpectOpen(kWiredAfc, kWiredServices);
        return found;
    }

    std::string image_;
    CIPhone* phone_ = nullptr;
    std::unique_ptr<CScanDevice> session_;
    BwScanStatus status_;
};

TEST_F(SandboxJunk, EachTypeFindsTheFilesOfItsFolders) {
    const SandboxFiles caches = Scan(kJunkAppCaches);
    EXPECT_EQ(caches, ImageFiles({"/Library/Caches"}));
    EXPECT_TRUE(caches.count({"com.bwtest.alpha", "/Library/Caches/sub/deep/b.cache"}));
    EXPECT_EQ(Scan(kJunkAppCookies), ImageFiles({"/Library/Cookies"}));
    const SandboxFiles temp = Scan(kJunkAppTemp);
    EXPECT_EQ(temp, ImageFiles({"/tmp", "/Library/tmp", "/Library/Tmp"}));
    EXPECT_TRUE(temp.count({"com.bwtest.alpha", "/Library/tmp/t2"}));
    EXPECT_TRUE(temp.count({"com.bwtest.alpha", "/Library/Tmp/t3"}));
}

TEST_F(SandboxJunk, ApplicationsWithoutFilesAreNotListed) {
    Scan(kJunkAppCaches);
    for (int32_t i = 0; i < session_->GetResultCount2(); ++i) {
        auto* app = static_cast<IAppInfo*>(session_->GetResult2(i));
        EXPECT_NE(Text([app](BwChar* buffer) { return app->GetIdentifier(buffer); }),
                  "com.bwtest.clean");
    }
    EXPECT_EQ(session_->GetResult2(session_->GetResultCount2()), nullptr);
}

TEST_F(SandboxJunk, ExcludedApplicationsAreSkippedAndAppendedListsAllCount) {
    const BwChar* first[] = {u"com.bwtest.alpha"};
    const BwChar* second[] = {u"com.bwtest.BRAVO", u"com.bwtest.bravo"};
    session_->SetAppList(first, 1);
    session_->SetAppList(second, 2);
    auto* scanner = static_cast<CAppSandboxJunk*>(nullptr);
    const SandboxFiles found = Scan(kJunkAppCaches);
    scanner = dynamic_cast<CAppSandboxJunk*>(session_->Scanner());
    ASSERT_NE(scanner, nullptr);
    EXPECT_EQ(scanner->excludedApplications.size(), 3u);
    EXPECT_EQ(found, ImageFiles({"/Library/Caches"}, {"com.bwtest.alpha", "com.bwtest.bravo"}));
    for (const auto& [key, size] : found) {
        EXPECT_NE(key.first, "com.bwtest.alpha");
        EXPECT_NE(key.first, "com.bwtest.bravo");
    }
}

TEST_F(SandboxJunk, CleanRemovesSelectedFilesAndKeepsTheRest) {
    const SandboxFiles found = Scan(kJunkAppCaches);
    const SandboxFiles everything =
        ImageFiles({"/Library/Caches", "/Library/Cookies", "/Documents"});
    // Keep one file of Alpha, and all of Bravo by unselecting the application.
    uint64_t keptSize = 0;
    size_t keptCount = 0;
    std::set<std::pair<std::string, std::string>> kept;
    for (int32_t i = 0; i < session_->GetResultCount2(); ++i) {
        auto* app = static_cast<IAppInfo*>(session_->GetResult2(i));
        const std::string identifier =
            Text([app](BwChar* buffer) { return app->GetIdentifier(buffer); });
        if (identifier == "com.bwtest.bravo") {
            EXPECT_EQ(app->Selected(1), 0);
            for (int32_t j = 0; j < app->GetItemCount(); ++j) {
                kept.insert({identifier, Text([&](BwChar* buffer) {
                                 return app->GetItem(j)->GetPath(buffer);
                             })});
                keptSize += app->GetItem(j)->GetSize();
                ++keptCount;
            }
        }
        if (identifier == "com.bwtest.alpha") {
            for (int32_t j = 0; j < app->GetItemCount(); ++j) {
                IAppDetailFile* file = app->GetItem(j);
                const std::string path =
                    Text([file](BwChar* buffer) { return file->GetPath(buffer); });
                if (path == "/Library/Caches/a.cache") {
                    EXPECT_EQ(file->Select(1), 0);
                    kept.insert({identifier, path});
                    keptSize += file->GetSize();
                    ++keptCount;
                }
            }
        }
    }
    ASSERT_EQ(kept.size(), 2u);
    session_->StartClean();
    EXPECT_EQ(status_.finished, 1);
    EXPECT_EQ(status_.busy, 0);
    EXPECT_DOUBLE_EQ(status_.progress, 100.0);
    EXPECT_EQ(status_.selectedCount, keptCount);
    EXPECT_EQ(status_.selectedSize, keptSize);

    SandboxFiles expected = everything;
    for (const auto& [key, size] : found) {
        if (kept.count(key) == 0) expected.erase(key);
    }
    EXPECT_EQ(ImageFiles({"/Library/Caches", "/Library/Cookies", "/Documents"}), expected);
    // The folders stay: they belong to the application.
    EXPECT_TRUE(platform::IsFolder(
        Host("0A0A0A0A-0000-4000-8000-00000000000A", "/Library/Caches/sub/deep")));
    ExpectOpen(kWiredAfc, kWiredServices);

    // A rescan finds only what was kept.
    SandboxFiles keptFiles;
    for (const auto& key : kept)
        keptFiles[key] = found.at(key);
    SandboxFiles rescanned = Scan(kJunkAppCaches);
    for (const auto& [key, size] : keptFiles)
        EXPECT_TRUE(rescanned.count(key));
}

TEST(SandboxScanners, EachTypeGetsItsFoldersAndTheSessionsList) {
    CScanDevice session(nullptr);
    const BwChar* first[] = {u"com.a"};
    const BwChar* second[] = {u"com.b", u"com.c"};
    session.SetAppList(first, 1);
    session.SetAppList(second, 2);
    const std::vector<std::u16string> expected = {u"com.a", u"com.b", u"com.c"};
    // The record outlives every scan below, the last one included.
    BwScanStatus status{};
    for (int32_t type : {kJunkAppCaches, kJunkAppCookies, kJunkAppTemp}) {
        session.SetStatusRecord(&status);
        session.StartScan(type);
        auto* scanner = dynamic_cast<CAppSandboxJunk*>(session.Scanner());
        ASSERT_NE(scanner, nullptr) << type;
        EXPECT_EQ(scanner->excludedApplications, expected);
        // Without a device nothing is found, and the scan still finishes.
        EXPECT_EQ(status.finished, 1);
        EXPECT_EQ(session.GetResultCount2(), 0);
        session.StartClean();
        EXPECT_EQ(status.finished, 1);
    }
    EXPECT_NE(dynamic_cast<CAppTempJunk*>(session.Scanner()), nullptr);
    session.StartScan(kJunkCrashLogs);
    EXPECT_EQ(dynamic_cast<CAppSandboxJunk*>(session.Scanner()), nullptr);
}

TEST_F(SandboxJunk, AnApplicationWhoseContainerCannotBeOpenedIsSkipped) {
    ASSERT_TRUE(sim_.InjectFailure("AMDeviceStartHouseArrestService", "com.bwtest.alpha", 1, 100));
    const SandboxFiles found = Scan(kJunkAppCaches);
    SandboxFiles expected = ImageFiles({"/Library/Caches"}, {"com.bwtest.alpha"});
    EXPECT_EQ(found, expected);
    sim_.ClearFailures();
}

}  // namespace
}  // namespace bw
