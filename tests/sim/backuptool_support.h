// Driving the backup tool stand-in as the library does: a pipe server named "MobileBackUp", the
// tool started hidden with "--pipe \\.\pipe\MobileBackUp", one request, then its messages.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "backup/manifest.h"
#include "formats/plist_codec.h"
#include "formats/sha1.h"
#include "image/image_builder.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/pipe.h"
#include "platform/registry.h"
#include "platform/spawn.h"
#include "support/build_paths.h"
#include "support/runtime_registry.h"
#include "support/temp_folder.h"

namespace bw::testing {

inline const std::string kToolPath =
    std::string(BRACKWATER_SIM_RUNTIME_DIR) + "/AppleMobileBackup.exe";
inline constexpr char kPipeName[] = "\\\\.\\pipe\\MobileBackUp";

// The request texts, built the way the library builds them.
inline std::string RequestOpening() {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
           "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"><plist "
           "version=\"1.0\"><dict>";
}

inline std::string Lines(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

inline std::string BackupRequest(const std::string& target) {
    return RequestOpening() +
           Lines({"<key>AMSDeviceIdentifierKey</key>", "<string>-1</string>",
                  "<key>AMSMessageSignatureKey</key>", "<array>",
                  "<string>AMSDeviceIdentifierKey</string>",
                  "<string>AMSTargetIdentifierKey</string>", "<string>AMSBackupOptionsKey</string>",
                  "</array>", "<key>AMSRequestKey</key>", "<string>AMSBackupRequest</string>",
                  "<key>AMSTargetIdentifierKey</key>", "<string>" + target + "</string>", "</dict>",
                  "</plist>"});
}

inline std::string RestoreRequest(const std::string& target, const std::string& source,
                                  bool fromCopy) {
    std::string options =
        fromCopy ? Lines({"<dict>", "<key>RestoreDontCopyBackup</key>", "<true/>", "</dict>"})
                 : Lines({"<dict>", "<key>RestoreDontCopyBackup</key>", "<true/>",
                          "<key>RestoreShouldReboot</key>", "<false/>", "</dict>"});
    return RequestOpening() +
           Lines({"<key>AMSDeviceIdentifierKey</key>", "<string>-1</string>",
                  "<key>AMSMessageSignatureKey</key>", "<array>",
                  "<string>AMSDeviceIdentifierKey</string>",
                  "<string>AMSTargetIdentifierKey</string>",
                  "<string>AMSSourceTargetIdentifierKey</string>",
                  "<string>AMSBackupApplicationsKey</string>",
                  "<string>AMSRestoreRestoreOptionsKey</string>", "</array>",
                  "<key>AMSRequestKey</key>", "<string>AMSRestoreWithApplicationsRequest</string>",
                  "<key>AMSRestoreRestoreOptionsKey</key>"}) +
           options +
           Lines({"<key>AMSSourceTargetIdentifierKey</key>", "<string>" + source + "</string>",
                  "<key>AMSTargetIdentifierKey</key>", "<string>" + target + "</string>", "</dict>",
                  "</plist>"});
}

// What one run of the tool sent.
struct ToolRun {
    bool connected = false;
    std::vector<PlistValue> progress;  // the messages with "AMSBackupPercentageKey"
    std::vector<int> percents;         // their integer values
    PlistValue last;                   // the message that ended the exchange (empty: none)
    bool lastParsed = false;
    std::string lastText;
    std::optional<int> exitCode;

    std::optional<int64_t> ErrorCode() const {
        const PlistValue* code = last.Find("errorCode");
        return code != nullptr ? code->AsInteger() : std::nullopt;
    }
    bool Succeeded() const {
        return lastParsed && last.AsDictionary() != nullptr && !ErrorCode() &&
               last.Find("AMSBackupPercentageKey") == nullptr;
    }
};

inline ToolRun RunTool(const std::string& request, int connectTimeoutMs = 5000) {
    ToolRun run;
    std::string error;
    auto server = platform::PipeServer::Create(kPipeName, error);
    if (server == nullptr) {
        ADD_FAILURE() << error;
        return run;
    }
    auto tool = platform::StartHidden(kToolPath, "--pipe \\\\.\\pipe\\MobileBackUp", error);
    if (tool == nullptr) {
        ADD_FAILURE() << error;
        return run;
    }
    run.connected = server->WaitForClient(connectTimeoutMs);
    if (run.connected && server->Write(request)) {
        for (;;) {
            std::optional<std::string> text = server->Read(60000);
            if (!text) break;
            PlistValue message;
            const bool parsed = ReadPlistFromMemory(text->data(), text->size(), message);
            const PlistValue* percent = parsed ? message.Find("AMSBackupPercentageKey") : nullptr;
            if (percent != nullptr) {
                run.percents.push_back(static_cast<int>(percent->AsInteger().value_or(-1)));
                run.progress.push_back(std::move(message));
                continue;
            }
            run.last = std::move(message);
            run.lastParsed = parsed;
            run.lastText = std::move(*text);
            break;
        }
    }
    run.exitCode = tool->Wait(60000);
    if (!run.exitCode) tool->Kill();
    return run;
}

// One entry of a device tree, for comparing trees before and after.
struct TreeEntry {
    char kind = '?';      // 'd', 'f', 'l'
    std::string content;  // file bytes or link target
    unsigned mode = 0;
    int64_t modified = 0;

    bool operator==(const TreeEntry&) const = default;
};
using Tree = std::map<std::string, TreeEntry>;

inline Tree TreeSnapshot(const std::string& root) {
    Tree tree;
    platform::WalkTree(root, [&](const std::string& path, const platform::FolderEntry&) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) return false;
        TreeEntry entry;
        entry.mode = info.st_mode & 07777;
        entry.modified = info.st_mtime;
        if (S_ISDIR(info.st_mode)) {
            entry.kind = 'd';
            entry.modified = 0;  // folder times follow their contents; compared separately
        } else if (S_ISLNK(info.st_mode)) {
            entry.kind = 'l';
            entry.mode = 0;
            entry.modified = 0;
            std::string target(4096, '\0');
            const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
            target.resize(n > 0 ? static_cast<size_t>(n) : 0);
            entry.content = target;
        } else {
            entry.kind = 'f';
            platform::ReadWholeFile(path, entry.content);
        }
        tree[path.substr(root.size() + 1)] = entry;
        return true;
    });
    return tree;
}

// A test with one simulated device and a backup root of its own.
class BackupToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.path().empty());
        ASSERT_TRUE(platform::IsFile(kToolPath)) << kToolPath;
        platform::SetEnv("BRACKWATER_RUNTIME_DIR", folder_ / "run");
        UseRegistry(
            folder_,
            RuntimeRegistryText(BRACKWATER_SIM_RUNTIME_DIR,
                                std::string(BRACKWATER_SIM_RUNTIME_DIR) + "/libMobileDevice.so") +
                "\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\"
                "Explorer\\Shell Folders]\n\"AppData\"=\"" +
                platform::EscapeRegistryString(folder_ / "appdata") + "\"\n");
        ::unsetenv("BRACKWATER_BACKUPTOOL_FAIL");
        ::unsetenv("BRACKWATER_BACKUPTOOL_DELAY_MS");
    }

    // Makes the image, adds the files the tests look for, and attaches it for the tool.
    std::string MakeDevice(sim::ImageOptions options = {}) {
        image_ = folder_ / "image";
        std::string error;
        EXPECT_TRUE(sim::CreateImage(image_, options, error)) << error;
        PlistValue values;
        EXPECT_TRUE(ReadPlist(image_ + "/device.plist", values));
        const PlistValue* udid = values.Find("UniqueDeviceID");
        udid_ = udid != nullptr && udid->AsString() != nullptr ? *udid->AsString() : "";
        WriteDeviceFile("var/mobile/Library/SMS/sms.db", "SQLite format 3 messages");
        WriteDeviceFile("var/mobile/Library/SMS/Attachments/ab/03/IMG_0001.jpg",
                        std::string(70000, 'j'));
        WriteDeviceFile("var/mobile/Library/Safari/History.plist", "<plist>history</plist>");
        WriteDeviceFile("var/mobile/Library/Preferences/empty.plist", "");
        WriteDeviceFile("var/wireless/Library/CallHistory/call_history.db", "calls");
        WriteDeviceFile(
            "var/mobile/Applications/0A1B2C3D-0000-4000-8000-00000000AAAA/Test.app/"
            "Info.plist",
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
            "<key>CFBundleIdentifier</key><string>com.example.test</string>"
            "<key>CFBundleVersion</key><string>2.1</string></dict></plist>");
        WriteDeviceFile(
            "var/mobile/Applications/0A1B2C3D-0000-4000-8000-00000000AAAA/Test.app/"
            "Test",
            "executable");
        WriteDeviceFile(
            "var/mobile/Applications/0A1B2C3D-0000-4000-8000-00000000AAAA/Documents/"
            "notes.txt",
            "my notes");
        platform::SetEnv("BRACKWATER_SIM_IMAGES", image_);
        return udid_;
    }

    void WriteDeviceFile(const std::string& devicePath, std::string_view bytes) {
        const std::string path = image_ + "/fs/" + devicePath;
        platform::CreateFolders(path.substr(0, path.rfind('/')));
        ASSERT_TRUE(platform::WriteFileAtomic(path, bytes)) << path;
    }

    // Bundle identifier to container (device path) of every application on the device.
    std::map<std::string, std::string> AppContainers() const {
        std::map<std::string, std::string> apps;
        std::vector<platform::FolderEntry> containers;
        platform::ListFolder(DevicePath("var/mobile/Applications"), containers);
        for (const platform::FolderEntry& container : containers) {
            const std::string devicePath = "var/mobile/Applications/" + container.name;
            std::vector<platform::FolderEntry> entries;
            platform::ListFolder(DevicePath(devicePath), entries);
            for (const platform::FolderEntry& entry : entries) {
                PlistValue info;
                if (!entry.name.ends_with(".app") ||
                    !ReadPlist(DevicePath(devicePath + "/" + entry.name + "/Info.plist"), info))
                    continue;
                const PlistValue* id = info.Find("CFBundleIdentifier");
                if (id != nullptr && id->AsString() != nullptr) apps[*id->AsString()] = devicePath;
            }
        }
        return apps;
    }

    std::string DevicePath(const std::string& devicePath) const {
        return image_ + "/fs/" + devicePath;
    }
    std::string BackupRoot() const { return folder_ / "appdata/Apple Computer/MobileSync/Backup"; }
    std::string BackupFolder() const { return BackupRoot() + "/" + udid_; }

    std::vector<MbdbRecord> Records(const std::string& folder) {
        ManifestDataManager manifest(udid_, folder, folder + "/Manifest.mbdb");
        EXPECT_TRUE(manifest.Load()) << manifest.LastError();
        EXPECT_EQ(manifest.LastError(), "");
        return manifest.Records();
    }

    TempFolder folder_;
    std::string image_;
    std::string udid_;
};

inline const MbdbRecord* FindRecord(const std::vector<MbdbRecord>& records, std::string_view domain,
                                    std::string_view path) {
    for (const MbdbRecord& record : records) {
        if (record.domain.text == domain && record.path.text == path) return &record;
    }
    return nullptr;
}

}  // namespace bw::testing
