// Reads arbitrary bytes as a message from the backup tool, and drives a status record with the
// result the way the driver's reader does: whatever the bytes, the message is one of the three
// kinds, a progress percentage is an integer, and the record stays consistent.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "backup/device_backup.h"
#include "formats/plist_library.h"
#include "fuzz_seeds.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

std::string Xml(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + body +
           "</dict></plist>";
}

std::vector<std::string> Seeds() {
    std::vector<std::string> seeds = {
        Xml("<key>AMSBackupPercentageKey</key><integer>42</integer>"),
        Xml("<key>AMSBackupPercentageKey</key><real>4.5</real>"),
        Xml("<key>errorCode</key><integer>105</integer>"),
        Xml("<key>errorCode</key><string>x</string><key>AMSBackupPercentageKey</key><true/>"),
        Xml("<key>Status</key><string>Complete</string>"),
        "<plist><array><integer>1</integer></array></plist>",
        "",
    };
    bw::CDicValueObj binary = bw::CDicValueObj::MakeDictionary();
    binary.Set("AMSBackupPercentageKey", bw::CDicValueObj::MakeInteger(-7));
    std::string bytes;
    bw::writeBinary(binary, bytes);
    seeds.push_back(bytes);
    return seeds;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds(Seeds());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const bw::ToolMessage message = bw::ParseToolMessage(bytes);
    Check(message.kind == bw::ToolMessage::kProgress || message.kind == bw::ToolMessage::kError ||
          message.kind == bw::ToolMessage::kEnd);
    Check(std::isfinite(message.percent) && message.percent == std::trunc(message.percent));

    BackupStatus status{};
    bw::BackupStatusWriter writer(&status);
    writer.SetMessage(u"Start Backup...");
    if (message.kind == bw::ToolMessage::kProgress) writer.SetPercent(message.percent);
    if (message.kind == bw::ToolMessage::kError) writer.Fail(message.errorCode);
    if (message.kind != bw::ToolMessage::kProgress) writer.ClearMessage();
    writer.Finish();
    Check(status.finished == 1);
    Check(status.failed == (message.kind == bw::ToolMessage::kError ? 1 : 0));
    Check(message.kind != bw::ToolMessage::kError || status.errorCode == message.errorCode);
    return 0;
}
