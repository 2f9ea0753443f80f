// A device backup folder written by the test for the deep-clean tests: files named by the SHA-1
// rule, a manifest listing them with their sizes and hashes, "Info.plist" and "Manifest.plist".
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "backup/configure_tool.h"
#include "backup/manifest.h"
#include "backup/mbdb_builder.h"
#include "formats/plist_library.h"
#include "platform/files.h"
#include "support/independent_sha1.h"
#include "support/temp_folder.h"

namespace bw::testing {

inline constexpr char kTestUdid[] = "0123456789abcdef0123456789abcdef01234567";

struct BackupFile {
    std::string domain;
    std::string path;
    std::string content;
    bool folder = false;  // a folder record: no backup file
};

// name -> bytes of every entry of a folder (files only, not below subfolders).
using FolderSnapshot = std::map<std::string, std::string>;

inline FolderSnapshot Snapshot(const std::string& folder) {
    FolderSnapshot snapshot;
    std::vector<platform::FolderEntry> entries;
    platform::ListFolder(folder, entries);
    for (const platform::FolderEntry& entry : entries) {
        if (entry.isFolder) continue;
        snapshot[entry.name] = ReadFileBytes(platform::JoinPath(folder, entry.name));
    }
    return snapshot;
}

inline std::string Sha1Bytes(std::string_view content) {
    return IndependentSha1(content);
}

class DeepCleanFixture : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(temp_.path().empty()); }

    std::string Root() const { return temp_ / "root"; }
    std::string Source() const { return platform::JoinPath(Root(), kTestUdid); }
    std::string Work() const { return temp_ / "work"; }
    std::string BackupCopy() const { return Work() + "/DeviceBackup/Backup/" + kTestUdid; }
    std::string RestoreCopy() const { return Work() + "/DeviceBackup/Restore/" + kTestUdid; }
    std::string FileName(std::string_view domain, std::string_view path) const {
        return MbdbBackupFileName(domain, path);
    }
    std::string SourceFile(std::string_view domain, std::string_view path) const {
        return platform::JoinPath(Source(), FileName(domain, path));
    }

    // A home folder with the files the scanners ask for, push stores and a local-storage
    // database with its write-ahead log.
    static std::vector<BackupFile> TypicalFiles() {
        return {
            {"HomeDomain", "Library", "", true},
            {"HomeDomain", "Library/SMS/sms.db", "sms database v1"},
            {"HomeDomain", "Library/Cookies/Cookies.binarycookies", "cookies"},
            {"HomeDomain", "Library/Safari/History.plist", "home history"},
            {"HomeDomain", "Library/SpringBoard/PushStore/com.example.mail.pushstore", "push a"},
            {"HomeDomain", "Library/SpringBoard/PushStore/com.example.chat.pushstore", "push b"},
            {"HomeDomain", "Library/Caches/Safari/LocalStorage/https_a.com_0.localstorage",
             "storage"},
            {"HomeDomain", "Library/Caches/Safari/LocalStorage/https_a.com_0.localstorage-wal",
             "storage wal"},
            {"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", "contacts"},
            {"MediaDomain", "Library/SMS/Attachments/ab/IMG_1.JPG", "jpeg bytes"},
            {"WirelessDomain", "Library/CallHistory/call_history.db", "calls"},
            {"AppDomain-com.apple.mobilesafari", "Library/Safari/History.plist", "app history"},
        };
    }

    void WriteBackup(const std::vector<BackupFile>& files,
                     std::string_view productVersion = "6.1.3", bool withManifest = true) {
        files_ = files;
        ASSERT_TRUE(platform::CreateFolders(Source()));
        MbdbBuilder builder;
        uint64_t inode = 100;
        for (const BackupFile& file : files) {
            MbdbRecordFields fields = FileRecord(file.domain, file.path, file.content.size());
            fields.inode = inode++;
            if (file.folder) {
                fields.mode = 040755;
                fields.size = 0;
            } else {
                fields.dataHash = Sha1Bytes(file.content);
                temp_.Write(
                    "root/" + std::string(kTestUdid) + "/" + FileName(file.domain, file.path),
                    file.content);
            }
            builder.Record(fields);
        }
        if (withManifest)
            temp_.Write("root/" + std::string(kTestUdid) + "/Manifest.mbdb", builder.Bytes());

        CDicValueObj info = CDicValueObj::MakeDictionary();
        info.Set("Last Backup Date", CDicValueObj::MakeDate(BackupDate()));
        info.Set("GUID", CDicValueObj::MakeString("7F3A2B1C9D8E4F60"));
        info.Set("Product Version", CDicValueObj::MakeString(std::string(productVersion)));
        writeXmlFile(info, platform::JoinPath(Source(), "Info.plist"));
        CDicValueObj manifestPlist = CDicValueObj::MakeDictionary();
        manifestPlist.Set("IsEncrypted", CDicValueObj::MakeBool(false));
        writeBinaryFile(manifestPlist, platform::JoinPath(Source(), "Manifest.plist"));
    }

    // 2026-01-02 03:04:05 UTC.
    static PlistCalendar BackupDate() {
        PlistCalendar date;
        date.year = 126;
        date.month = 0;
        date.day = 2;
        date.hour = 3;
        date.minute = 4;
        date.second = 5;
        return date;
    }

    ConfigureDeviceFacts Facts(std::string productVersion = "6.1.3") const {
        return ConfigureDeviceFacts{kTestUdid, std::move(productVersion), 3600};
    }

    bool SetUpTool(CConfigureTool& tool, std::string productVersion = "6.1.3",
                   bool deleteCurrent = false) {
        return tool.SetUp(Facts(std::move(productVersion)), Work(), Root(), deleteCurrent);
    }

    // The keys of the configuration that are entries (longer than 30 characters).
    static std::vector<std::string> EntryKeys(CConfigureTool& tool) {
        std::vector<std::string> keys;
        if (const PlistDictionary* top = tool.Configuration().Dictionary()) {
            for (const auto& [key, value] : *top) {
                if (key.size() > kMaxTopLevelValueKey) keys.push_back(key);
            }
        }
        return keys;
    }

    static CDicValueObj ReadPlist(const std::string& path) {
        CDicValueObj tree;
        readPlistFromFile(path, tree);
        return tree;
    }

    // Every record of the source folder's manifest names a file whose size and hash match.
    void ExpectManifestMatchesFiles() {
        std::string bytes;
        ASSERT_TRUE(platform::ReadWholeFile(platform::JoinPath(Source(), "Manifest.mbdb"), bytes));
        const MbdbReadResult read = ReadMbdb(bytes);
        ASSERT_TRUE(read.headerMatches);
        EXPECT_EQ(read.error, "");
        for (const MbdbRecord& record : read.records) {
            if ((record.mode & 0170000) != 0100000) continue;
            const std::string file = platform::JoinPath(Source(), record.backupFileName);
            std::string content;
            ASSERT_TRUE(platform::ReadWholeFile(file, content)) << record.path.text;
            EXPECT_EQ(content.size(), record.size) << record.path.text;
            EXPECT_EQ(record.dataHash.raw, Sha1Bytes(content)) << record.path.text;
        }
    }

    TempFolder temp_;
    std::vector<BackupFile> files_;
};

}  // namespace bw::testing
