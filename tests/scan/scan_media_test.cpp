// The media-area and crash-report scanners end to end on a simulated device: what each junk type
// finds is compared with the image's own files, and what a clean leaves is checked there too.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "brackwater/scan.h"
#include "device/runtime.h"
#include "platform/files.h"
#include "platform/text.h"
#include "scan/media_junk.h"
#include "session/scan_device.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::SimDeviceTest;

using testing::kWiredAfc;
using testing::kWiredServices;

using FileSet = std::map<std::string, uint64_t>;  // device path -> size

std::string Text(IScanFileInfo* item, bool path) {
    const size_t size = path ? item->GetPath(nullptr) : item->GetName(nullptr);
    std::u16string text(size, u'\0');
    path ? item->GetPath(text.data()) : item->GetName(text.data());
    text.resize(size - 2);
    return WideToUtf8(text);
}

class MediaJunk : public SimDeviceTest {
  protected:
    void SetUp() override {
        SimDeviceTest::SetUp();
        image_ = MakeImage("phone");
        Listen();
        phone_ = Arrive(image_);
        ASSERT_NE(phone_, nullptr);
        session_ = std::make_unique<CScanDevice>(phone_);
        std::memset(&status_, 0, sizeof status_);
        session_->SetStatusRecord(&status_);
    }

    void TearDown() override {
        session_.reset();
        EndListening();
    }

    std::string Host(std::string_view devicePath, sim::ImageRoot root = sim::ImageRoot::Media) {
        return sim::ImagePath(image_, devicePath, root);
    }

    void Put(std::string_view devicePath, size_t size,
             sim::ImageRoot root = sim::ImageRoot::Media) {
        const std::string path = Host(devicePath, root);
        ASSERT_TRUE(platform::CreateFolders(path.substr(0, path.rfind('/'))));
        ASSERT_TRUE(platform::WriteFileAtomic(path, std::string(size, 'j')));
    }

    // The regular files below a device folder as the image holds them; `keep` filters them by
    // their path relative to the folder.
    FileSet ImageFiles(const std::string& deviceFolder, sim::ImageRoot root = sim::ImageRoot::Media,
                       const std::function<bool(const std::string&)>& keep = {}) {
        FileSet files;
        const std::string top = Host(deviceFolder, root);
        platform::WalkTree(top, [&](const std::string& path, const platform::FolderEntry& entry) {
            if (!entry.isFolder && !entry.isLink) {
                const std::string relative = path.substr(top.size());
                if (!keep || keep(relative)) files[deviceFolder + relative] = entry.size;
            }
            return true;
        });
        return files;
    }

    FileSet Found() {
        FileSet found;
        for (int32_t i = 0; i < session_->GetResultCount0(); ++i) {
            auto* item = static_cast<IScanFileInfo*>(session_->GetResult0(i));
            EXPECT_TRUE(found.emplace(Text(item, true), item->GetSize()).second);
        }
        return found;
    }

    uint64_t TotalSize(const FileSet& files) {
        uint64_t size = 0;
        for (const auto& [path, bytes] : files)
            size += bytes;
        return size;
    }

    // Scans, checks what the record says afterwards, and returns what was found.
    FileSet Scan(int32_t type) {
        session_->StartScan(type);
        const FileSet found = Found();
        EXPECT_EQ(status_.finished, 1);
        EXPECT_EQ(status_.busy, 1);
        EXPECT_EQ(status_.selectedCount, found.size());
        EXPECT_EQ(status_.shownCount, found.size());
        EXPECT_EQ(status_.selectedSize, TotalSize(found));
        if (!found.empty()) {
            EXPECT_DOUBLE_EQ(status_.progress, 100.0);
        }
        ExpectOpen(kWiredAfc, kWiredServices);
        return found;
    }

    // Unselects the items whose path is in `keep`.
    void Unselect(const std::set<std::string>& keep) {
        for (int32_t i = 0; i < session_->GetResultCount0(); ++i) {
            auto* item = static_cast<IScanFileInfo*>(session_->GetResult0(i));
            if (keep.count(Text(item, true)) != 0) {
                EXPECT_EQ(item->Select(1), 0);
            }
        }
    }

    std::string image_;
    CIPhone* phone_ = nullptr;
    std::unique_ptr<CScanDevice> session_;
    BwScanStatus status_;
};

TEST_F(MediaJunk, DownloadsSkipTheQueueDatabaseAtTheRootOnly) {
    Put("/Downloads/downloads.28.sqlitedb", 40);
    Put("/Downloads/downloads.28.sqlitedb-wal", 41);
    Put("/Downloads/leftover.part", 100);
    Put("/Downloads/0A1B/downloads.28.sqlitedb", 42);
    Put("/Downloads/0A1B/deep/track.m4a.tmp", 300);
    // A link in the junk folder is neither listed nor followed.
    ASSERT_EQ(::symlink("../Books", Host("/Downloads/books-link").c_str()), 0);

    const FileSet expected =
        ImageFiles("/Downloads", sim::ImageRoot::Media, [](const std::string& relative) {
            return relative.rfind('/') != 0 || relative.find(".sqlitedb") == std::string::npos;
        });
    ASSERT_TRUE(expected.count("/Downloads/0A1B/downloads.28.sqlitedb"));
    ASSERT_FALSE(expected.count("/Downloads/downloads.28.sqlitedb"));
    EXPECT_EQ(Scan(kJunkDownloads), expected);
}

TEST_F(MediaJunk, DownloadsCleanRemovesSelectedFilesAndEmptiedFoldersOnly) {
    Put("/Downloads/downloads.28.sqlitedb", 40);
    Put("/Downloads/gone/a.tmp", 10);
    Put("/Downloads/gone/deeper/b.tmp", 20);
    Put("/Downloads/kept/c.tmp", 30);
    Put("/Downloads/kept/inner/d.tmp", 40);
    Put("/Downloads/kept/inner/e.tmp", 50);
    Put("/Downloads/f.tmp", 60);
    ASSERT_TRUE(platform::CreateFolders(Host("/Downloads/empty/nested")));
    const FileSet before = ImageFiles("/Downloads");
    const FileSet found = Scan(kJunkDownloads);

    Unselect({"/Downloads/kept/inner/d.tmp"});
    session_->StartClean();
    EXPECT_EQ(status_.finished, 1);
    EXPECT_EQ(status_.busy, 0);
    EXPECT_DOUBLE_EQ(status_.progress, 100.0);
    // The totals lose each removed file; the unselected one is still counted.
    EXPECT_EQ(status_.selectedCount, 1u);
    EXPECT_EQ(status_.selectedSize, 40u);

    FileSet left = before;
    for (const auto& [path, size] : found) {
        if (path != "/Downloads/kept/inner/d.tmp") left.erase(path);
    }
    EXPECT_EQ(ImageFiles("/Downloads"), left);
    EXPECT_TRUE(left.count("/Downloads/downloads.28.sqlitedb"));
    EXPECT_TRUE(platform::IsFolder(Host("/Downloads/kept/inner")));
    EXPECT_FALSE(platform::PathExists(Host("/Downloads/gone")));
    EXPECT_FALSE(platform::PathExists(Host("/Downloads/empty")));
    EXPECT_TRUE(platform::IsFolder(Host("/Downloads")));
    ExpectOpen(kWiredAfc, kWiredServices);
}

TEST_F(MediaJunk, CleanReportsFilesThatDisappearedAndSkipsThem) {
    Put("/Downloads/a/one.tmp", 1);
    Put("/Downloads/a/two.tmp", 2);
    const FileSet found = Scan(kJunkDownloads);
    ASSERT_TRUE(platform::RemoveFile(Host("/Downloads/a/two.tmp")));
    session_->StartClean();
    EXPECT_FALSE(platform::PathExists(Host("/Downloads/a/one.tmp")));
    const std::string last = WideToUtf8(status_.message);
    if (last.find("two.tmp") != std::string::npos) {
        EXPECT_EQ(last, "/Downloads/a/two.tmp path does not exist!");
    }
    // The missing file is not counted as processed, nor taken off the totals.
    EXPECT_DOUBLE_EQ(status_.progress,
                     static_cast<double>(found.size() - 1) / found.size() * 100.0);
    EXPECT_EQ(status_.selectedCount, 1u);
    EXPECT_EQ(status_.selectedSize, 2u);
    EXPECT_EQ(status_.finished, 1);
}

// A file whose removal fails for another reason than being gone is counted as processed and
// stays, with the folder that holds it.
TEST_F(MediaJunk, CleanCountsAFileThatCouldNotBeRemovedAndKeepsIt) {
    Put("/Downloads/a/one.tmp", 1);
    Put("/Downloads/a/two.tmp", 2);
    Scan(kJunkDownloads);
    ASSERT_TRUE(sim_.InjectFailure("AFCRemovePath", "/Downloads/a/two.tmp", 10));
    session_->StartClean();
    EXPECT_FALSE(platform::PathExists(Host("/Downloads/a/one.tmp")));
    EXPECT_TRUE(platform::PathExists(Host("/Downloads/a/two.tmp")));
    EXPECT_DOUBLE_EQ(status_.progress, 100.0);
    EXPECT_EQ(status_.selectedCount, 0u);
    EXPECT_EQ(status_.finished, 1);
    ExpectOpen(kWiredAfc, kWiredServices);
}

// The items of a scan, in list order, as the host reads them.
struct ListedItem {
    std::string name, path;
    uint64_t size;
    bool operator==(const ListedItem&) const = default;
};

// The same tree scanned with the runtime's listing with information and without it: the same
// items in the same order, the same record, and the same clean.
TEST_F(MediaJunk, ScanAndCleanAreTheSameWithAndWithoutListingInformation) {
    for (int folder = 0; folder < 3; ++folder) {
        for (int file = 0; file < 4; ++file) {
            Put("/general_storage/f" + std::to_string(folder) + "/n" + std::to_string(file) +
                    ".bin",
                static_cast<size_t>(folder * 10 + file + 1));
        }
    }
    Put("/general_storage/top.bin", 7);
    Put("/general_storage/f1/deep/er/x.bin", 70);
    ASSERT_EQ(::symlink("f0", Host("/general_storage/link-to-f0").c_str()), 0);
    const auto scanItems = [&] {
        session_->StartScan(kJunkGeneralStorage);
        std::vector<ListedItem> items;
        for (int32_t i = 0; i < session_->GetResultCount0(); ++i) {
            auto* item = static_cast<IScanFileInfo*>(session_->GetResult0(i));
            items.push_back({Text(item, false), Text(item, true), item->GetSize()});
        }
        return std::pair(items, std::pair(status_.selectedCount, status_.selectedSize));
    };
    UseListingWithInfoForTests(false);
    const auto without = scanItems();
    UseListingWithInfoForTests(true);
    const auto with = scanItems();
    EXPECT_EQ(with, without);
    // The image's own storage files come with the ones made here.
    EXPECT_EQ(with.first.size(), ImageFiles("/general_storage").size());
    const auto at = [&](const ListedItem& item) {
        return std::find(with.first.begin(), with.first.end(), item) - with.first.begin();
    };
    const auto first = at({"/f0/n0.bin", "/general_storage/f0/n0.bin", 1});
    const auto deep = at({"/f1/deep/er/x.bin", "/general_storage/f1/deep/er/x.bin", 70});
    const auto f1 = at({"/f1/n0.bin", "/general_storage/f1/n0.bin", 11});
    const auto top = at({"/top.bin", "/general_storage/top.bin", 7});
    ASSERT_LT(top, static_cast<ptrdiff_t>(with.first.size()));
    EXPECT_LT(first, deep);  // byte order, depth first
    EXPECT_EQ(deep + 1, f1);
    EXPECT_LT(f1, top);

    Unselect({"/general_storage/f2/n3.bin"});
    session_->StartClean();
    EXPECT_EQ(ImageFiles("/general_storage"), (FileSet{{"/general_storage/f2/n3.bin", 24}}));
    EXPECT_TRUE(std::filesystem::is_symlink(Host("/general_storage/link-to-f0")));
    EXPECT_FALSE(platform::PathExists(Host("/general_storage/f1")));
    ExpectOpen(kWiredAfc, kWiredServices);
}

TEST_F(MediaJunk, ThumbnailsAreListedOnlyInSubFoldersAndMayBeAbsent) {
    Put("/DCIM/.THMB/root.THM", 5);
    Put("/DCIM/.THMB/5003/1.THM", 11);
    Put("/DCIM/.THMB/5003/2.THM", 12);
    Put("/DCIM/.THMB/5004/x/3.THM", 13);
    const FileSet expected =
        ImageFiles("/DCIM/.THMB", sim::ImageRoot::Media,
                   [](const std::string& relative) { return relative.rfind('/') != 0; });
    ASSERT_FALSE(expected.count("/DCIM/.THMB/root.THM"));
    EXPECT_EQ(Scan(kJunkPhotoThumbnails), expected);
    EXPECT_EQ(status_.extraCount, 0u);

    const FileSet atRoot =
        ImageFiles("/DCIM/.THMB", sim::ImageRoot::Media,
                   [](const std::string& relative) { return relative.rfind('/') == 0; });
    ASSERT_TRUE(atRoot.count("/DCIM/.THMB/root.THM"));
    session_->StartClean();
    EXPECT_EQ(ImageFiles("/DCIM/.THMB"), atRoot);
    EXPECT_FALSE(platform::PathExists(Host("/DCIM/.THMB/5003")));
    EXPECT_TRUE(platform::IsFolder(Host("/DCIM/.THMB")));

    ASSERT_TRUE(platform::DeleteTree(Host("/DCIM/.THMB")));
    EXPECT_TRUE(Scan(kJunkPhotoThumbnails).empty());
    session_->StartClean();
    EXPECT_EQ(status_.finished, 1);
}

TEST_F(MediaJunk, StorageNamesDropTheStorageFolder) {
    Put("/general_storage/a/b.dat", 7);
    Put("/general_storage/top.bin", 8);
    const FileSet expected = ImageFiles("/general_storage");
    EXPECT_EQ(Scan(kJunkGeneralStorage), expected);
    std::map<std::string, std::string> names;
    for (int32_t i = 0; i < session_->GetResultCount0(); ++i) {
        auto* item = static_cast<IScanFileInfo*>(session_->GetResult0(i));
        names[Text(item, true)] = Text(item, false);
    }
    EXPECT_EQ(names["/general_storage/a/b.dat"], "/a/b.dat");
    EXPECT_EQ(names["/general_storage/top.bin"], "/top.bin");

    Unselect({"/general_storage/top.bin"});
    session_->StartClean();
    EXPECT_EQ(ImageFiles("/general_storage"), (FileSet{{"/general_storage/top.bin", 8}}));
    // The storage clean shows the item it removed last.
    EXPECT_EQ(status_.selectedCount, 1u);
    EXPECT_FALSE(platform::PathExists(Host("/general_storage/a")));
    ExpectOpen(kWiredAfc, kWiredServices);
}

TEST_F(MediaJunk, CrashLogsInEverySubFolder) {
    using sim::ImageRoot;
    Put("/a.ips", 3, ImageRoot::CrashReports);
    Put("/Panics/b.panic", 4, ImageRoot::CrashReports);
    Put("/Retired/old/c.plist", 5, ImageRoot::CrashReports);
    const FileSet expected = ImageFiles("/", ImageRoot::CrashReports);
    FileSet normalised;
    for (const auto& [path, size] : expected)
        normalised[CIPhone::JoinDevicePath("/", path)] = size;
    EXPECT_EQ(Scan(kJunkCrashLogs), normalised);

    Unselect({"/Panics/b.panic"});
    session_->StartClean();
    EXPECT_EQ(status_.finished, 1);
    FileSet left;
    for (const auto& [path, size] : ImageFiles("/", ImageRoot::CrashReports))
        left[CIPhone::JoinDevicePath("/", path)] = size;
    EXPECT_EQ(left, (FileSet{{"/Panics/b.panic", 4}}));
    EXPECT_EQ(status_.selectedCount, 1u);
    EXPECT_EQ(status_.selectedSize, 4u);

    // A crash service that cannot start finds nothing and leaves nothing open. (The record is
    // registered afresh: a scan that cannot start does not reset the last scan's totals.)
    session_->SetStatusRecord(&status_);
    ASSERT_TRUE(
        sim_.InjectFailure(testing::kStartServiceCall, "com.apple.crashreportcopymobile", -1, 1));
    EXPECT_TRUE(Scan(kJunkCrashLogs).empty());
}

// The record while a scan runs, as a host polling it from another thread sees it.
TEST_F(MediaJunk, RecordStaysConsistentWhileAScanRuns) {
    for (int folder = 0; folder < 20; ++folder) {
        for (int file = 0; file < 20; ++file) {
            Put("/general_storage/f" + std::to_string(folder) + "/" + std::to_string(file) + ".bin",
                static_cast<size_t>(file + 1));
        }
    }
    // The scan is held at its tenth folder, so the record is read mid-scan however the threads
    // are scheduled; the watcher then keeps reading it until the scan has ended.
    // (The folders are opened by whichever listing the runtime offers.)
    const char* folderOpen = Runtime().BwSimDirectoryOpenWithInfo != nullptr
                                 ? "BwSimDirectoryOpenWithInfo"
                                 : "AFCDirectoryOpen";
    ASSERT_TRUE(sim_.BlockCall(folderOpen, nullptr, 10));
    FileSet found;
    std::thread scanner([&] { found = Scan(kJunkGeneralStorage); });
    ASSERT_TRUE(sim_.WaitBlocked());
    EXPECT_EQ(std::atomic_ref<uint8_t>(status_.busy).load(), 1);
    EXPECT_EQ(std::atomic_ref<uint8_t>(status_.finished).load(), 0);
    EXPECT_LT(std::atomic_ref<uint32_t>(status_.selectedCount).load(), 400u);

    std::atomic<bool> done{false};
    std::atomic<int> samples{0}, bad{0};
    std::thread watcher([&] {
        uint32_t lastCount = 0;
        do {
            const uint8_t finished = std::atomic_ref<uint8_t>(status_.finished).load();
            const uint8_t busy = std::atomic_ref<uint8_t>(status_.busy).load();
            const uint32_t count = std::atomic_ref<uint32_t>(status_.selectedCount).load();
            const double progress = std::atomic_ref<double>(status_.progress).load();
            if (busy != 1 && finished == 0) ++bad;
            if (count < lastCount || progress < 0.0 || progress > 100.0) ++bad;
            lastCount = count;
            ++samples;
        } while (!done.load());
    });
    while (samples.load() == 0)
        std::this_thread::yield();
    sim_.Release();
    scanner.join();
    done = true;
    watcher.join();
    EXPECT_GE(found.size(), 400u);
    EXPECT_EQ(bad.load(), 0);
}

TEST_F(MediaJunk, StopDuringACleanLeavesTheRestSelectedAndCounted) {
    for (int file = 0; file < 400; ++file)
        Put("/Downloads/batch/" + std::to_string(file) + ".tmp", 10);
    const FileSet found = Scan(kJunkDownloads);
    ASSERT_GE(found.size(), 400u);
    // The stop arrives while the 50th removal is on its way to the device: that item still goes,
    // no later one does.
    constexpr size_t kRemovedBeforeStop = 50;
    ASSERT_TRUE(sim_.BlockCall("AFCRemovePath", nullptr, kRemovedBeforeStop));
    std::thread cleaner([&] { session_->StartClean(); });
    const bool held = sim_.WaitBlocked();
    session_->StopScan();
    sim_.Release();
    cleaner.join();
    ASSERT_TRUE(held);
    EXPECT_EQ(status_.finished, 1);

    FileSet left;
    for (const auto& [path, size] : found) {
        if (platform::PathExists(Host(path))) left[path] = size;
    }
    EXPECT_EQ(left.size(), found.size() - kRemovedBeforeStop);
    EXPECT_EQ(status_.selectedCount, left.size());
    EXPECT_EQ(status_.selectedSize, TotalSize(left));
    EXPECT_TRUE(platform::IsFolder(Host("/Downloads/batch")));
    for (int32_t i = 0; i < session_->GetResultCount0(); ++i) {
        auto* item = static_cast<IScanFileInfo*>(session_->GetResult0(i));
        EXPECT_EQ(item->Select(0), 1);  // the selection is untouched by the clean
    }

    // A second clean takes the rest.
    session_->StartClean();
    for (const auto& [path, size] : found)
        EXPECT_FALSE(platform::PathExists(Host(path))) << path;
    EXPECT_EQ(status_.selectedCount, 0u);
    ExpectOpen(kWiredAfc, kWiredServices);
}

}  // namespace
}  // namespace bw
