// The texts exchanged with the backup tool and the status record they end up in.
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <limits>

#include "backup/device_backup.h"
#include "formats/plist_library.h"
#include "platform/text.h"

namespace bw {
namespace {

constexpr std::u16string_view kRequestOpening =
    u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
    u"<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    u"\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">"
    u"<plist version=\"1.0\"><dict>";

// The tool reads the request line by line as Windows writes text.
void AddLines(std::u16string& text, std::initializer_list<std::u16string_view> lines) {
    for (std::u16string_view line : lines) {
        text += line;
        text += u"\r\n";
    }
}

std::u16string StringLine(std::u16string_view value) {
    return u"<string>" + std::u16string(value) + u"</string>";
}

}  // namespace

std::string BuildBackupRequest(std::u16string_view target) {
    std::u16string text;
    AddLines(text, {kRequestOpening});
    AddLines(text, {u"<key>AMSDeviceIdentifierKey</key>", u"<string>-1</string>"});
    // The signature names "AMSBackupOptionsKey" although the request carries no options: the
    // tool checks the names, not their presence.
    AddLines(text, {u"<key>AMSMessageSignatureKey</key>", u"<array>",
                    u"<string>AMSDeviceIdentifierKey</string>",
                    u"<string>AMSTargetIdentifierKey</string>",
                    u"<string>AMSBackupOptionsKey</string>", u"</array>"});
    AddLines(text, {u"<key>AMSRequestKey</key>", u"<string>AMSBackupRequest</string>"});
    AddLines(text, {u"<key>AMSTargetIdentifierKey</key>", StringLine(target)});
    AddLines(text, {u"</dict>", u"</plist>"});
    return WideToUtf8(text);
}

std::string BuildRestoreRequest(std::u16string_view target, std::u16string_view source,
                                bool restoreFromCopy) {
    std::u16string text;
    AddLines(text, {kRequestOpening});
    AddLines(text, {u"<key>AMSDeviceIdentifierKey</key>", u"<string>-1</string>"});
    AddLines(text, {u"<key>AMSMessageSignatureKey</key>", u"<array>",
                    u"<string>AMSDeviceIdentifierKey</string>",
                    u"<string>AMSTargetIdentifierKey</string>",
                    u"<string>AMSSourceTargetIdentifierKey</string>",
                    u"<string>AMSBackupApplicationsKey</string>",
                    u"<string>AMSRestoreRestoreOptionsKey</string>", u"</array>"});
    AddLines(text,
             {u"<key>AMSRequestKey</key>", u"<string>AMSRestoreWithApplicationsRequest</string>",
              u"<key>AMSRestoreRestoreOptionsKey</key>"});
    if (restoreFromCopy) {
        AddLines(text, {u"<dict>", u"<key>RestoreDontCopyBackup</key>", u"<true/>", u"</dict>"});
    } else {
        AddLines(text, {u"<dict>", u"<key>RestoreDontCopyBackup</key>", u"<true/>",
                        u"<key>RestoreShouldReboot</key>", u"<false/>", u"</dict>"});
    }
    AddLines(text, {u"<key>AMSSourceTargetIdentifierKey</key>",
                    StringLine(restoreFromCopy ? source : target)});
    AddLines(text, {u"<key>AMSTargetIdentifierKey</key>", StringLine(target)});
    AddLines(text, {u"</dict>", u"</plist>"});
    return WideToUtf8(text);
}

std::string BuildRequest(const BackupRunSettings& settings) {
    if (settings.mode == kBackupModeBackup) return BuildBackupRequest(settings.targetIdentifier);
    return BuildRestoreRequest(settings.targetIdentifier, settings.sourceIdentifier,
                               settings.restoreFromCopy);
}

ToolMessage ParseToolMessage(std::string_view bytes) {
    ToolMessage message;
    CDicValueObj tree;
    readPlistFromString(std::string(bytes), tree, 0);
    if (tree.type == kPlistDictionary) {
        if (tree.Find("AMSBackupPercentageKey") != nullptr) {
            message.kind = ToolMessage::kProgress;
            message.percent =
                static_cast<double>(tree.GetInteger("AMSBackupPercentageKey").value_or(0));
        } else if (tree.Find("errorCode") != nullptr) {
            message.kind = ToolMessage::kError;
            // A code that is no 32-bit integer still fails the run; -1 keeps it from reading as
            // success (0) or as one of the library's own codes (1, 2).
            const auto code = tree.GetInteger("errorCode");
            message.errorCode = code && *code >= std::numeric_limits<int32_t>::min() &&
                                        *code <= std::numeric_limits<int32_t>::max()
                                    ? static_cast<int32_t>(*code)
                                    : -1;
        }
    }
    FreePListDictionary(tree);
    return message;
}

void BackupStatusWriter::SetMessage(std::u16string_view text) {
    if (status_ == nullptr || text.size() >= BW_BACKUP_MESSAGE_CHARS) return;
    std::memcpy(status_->message, text.data(), text.size() * sizeof(BwChar));
    status_->message[text.size()] = 0;
}

void BackupStatusWriter::SetPercent(double percent) {
    if (status_ != nullptr) status_->percent = percent;
}

void BackupStatusWriter::Fail(int32_t errorCode) {
    if (status_ == nullptr) return;
    status_->failed = 1;
    status_->errorCode = errorCode;
}

void BackupStatusWriter::Finish() {
    if (status_ == nullptr) return;
    std::atomic_ref<uint8_t>(status_->finished).store(1, std::memory_order_release);
}

std::u16string SourceIdentifierOf(std::u16string_view folder) {
    while (!folder.empty() && (folder.back() == u'\\' || folder.back() == u'/')) {
        folder.remove_suffix(1);
    }
    const size_t separator = folder.find_last_of(u"\\/");
    return std::u16string(separator == std::u16string_view::npos ? folder
                                                                 : folder.substr(separator + 1));
}

}  // namespace bw
