// Driving the backup tool stand-in as the library does: a pipe server named "MobileBackUp", the
// tool started hidden with "--pipe \\.\pipe\MobileBackUp", one request, then its messages.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "backup/manifest.h"
#include "formats/plist_codec.h"
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

// SHA-1 from libcrypto, independent of both the library's and the tool's code that names and
// hashes backup files.
inline std::string Sha1Hex(std::string_view bytes, bool upper) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr) != 1)
        return {};
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex.push_back(digits[digest[i] >> 4]);
        hex.push_back(digits[digest[i] & 0xF]);
    }
    return hex;
}

// The name a backup stores a domain's file under: SHA-1 of domain, "-" and path, lower case.
inline std::string ExpectedBackupFileName(std::string_view domain, std::string_view path) {
    return Sha1Hex(std::string(domain) + "-" + std::string(path), false);
}

// What one run of the tool sent.
struct ToolRun {
    bool connected = false;
    PlistValue last;  // the message that ended the exchange (empty: none)
    bool lastParsed = false;
    std::string lastText;
    std::optional<int> exitCode;

    std::optional<int64_t> ErrorCode() const {
        const PlistValue* code = last.Find("errorCode");
        return code != nullptr ? code->AsInteger() : std::nullopt;
    }
    std::string ErrorDescription() const {
        const PlistValue* text = last.Find("ErrorDescription");
        return text != nullptr && text->AsString() != nullptr ? *text->AsString() : std::string();
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
            if (parsed && message.Find("AMSBackupPercentageKey") != nullptr) continue;
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

// One checksum over every path, kind, mode, modification time (folders' too), link target and
// file content below root: equal checksums before and after a run mean it changed nothing.
inline std::string TreeChecksum(const std::string& root) {
    std::map<std::string, std::string> entries;
    platform::WalkTree(root, [&](const std::string& path, const platform::FolderEntry&) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) return false;
        std::string entry = std::to_string(info.st_mode) + " " + std::to_string(info.st_mtime) +
                            " " + std::to_string(info.st_mtim.tv_nsec) + " ";
        if (S_ISLNK(info.st_mode)) {
            std::string target(4096, '\0');
            const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
            target.resize(n > 0 ? static_cast<size_t>(n) : 0);
            entry += target;
        } else if (S_ISREG(info.st_mode)) {
            std::string content;
            platform::ReadWholeFile(path, content);
            entry += Sha1Hex(content, false);
        }
        entries[path.substr(root.size())] = entry;
        return true;
    });
    std::string all;
    for (const auto& [path, entry] : entries)
        all += path + "\n" + entry + "\n";
    return std::to_string(entries.size()) + ":" + Sha1Hex(all, false);
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

    // Makes the image, adds the files the tests look for (unless `placeholders` is false: then
    // the image keeps the builder's own message store and attachments), and attaches it for the
    // tool.
    std::string MakeDevice(sim::ImageOptions options = {}, bool placeholders = true) {
        image_ = folder_ / "image";
        std::string error;
        EXPECT_TRUE(sim::CreateImage(image_, options, error)) << error;
        PlistValue values;
        EXPECT_TRUE(ReadPlist(image_ + "/device.plist", values));
        const PlistValue* udid = values.Find("UniqueDeviceID");
        udid_ = udid != nullptr && udid->AsString() != nullptr ? *udid->AsString() : "";
        if (placeholders) {
            WriteDeviceFile("var/mobile/Library/SMS/sms.db", "SQLite format 3 messages");
            WriteDeviceFile("var/mobile/Library/SMS/Attachments/ab/03/IMG_0001.jpg",
                            std::string(70000, 'j'));
        }
        platform::SetEnv("BRACKWATER_SIM_IMAGES", image_);
        return udid_;
    }

    void WriteDeviceFile(const std::string& devicePath, std::string_view bytes) {
        const std::string path = image_ + "/fs/" + devicePath;
        platform::CreateFolders(path.substr(0, path.rfind('/')));
        ASSERT_TRUE(platform::WriteFileAtomic(path, bytes)) << path;
    }

    std::string DevicePath(const std::string& devicePath) const {
        return image_ + "/fs/" + devicePath;
    }
    std::string BackupRoot() const { return folder_ / "appdata/Apple Computer/MobileSync/Backup"; }
    std::string BackupFolder() const { return BackupRoot() + "/" + udid_; }

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
