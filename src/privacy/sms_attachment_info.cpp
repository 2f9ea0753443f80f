#include "privacy/sms_attachment_info.h"

#include <algorithm>
#include <map>

namespace bw {
namespace {

constexpr size_t kGuidLength = 36;

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

bool IsGuidText(std::string_view text) {
    if (text.size() != kGuidLength) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !IsHexDigit(text[i])) return false;
    }
    return true;
}

std::vector<std::string> AttachmentGuidsFromInfo(std::string_view blob) {
    std::vector<std::string> guids;
    if (blob.size() <= kAttachmentInfoStart) return guids;
    // The archive marks the list with "$" where it begins right after its header; otherwise
    // the list follows the longer header of a message with more archive keys.
    size_t position =
        blob[kAttachmentInfoStart] == '$' ? kAttachmentInfoStart : kAttachmentInfoLaterStart;
    // Entries are kept by name ("head" for the first, "spac-N" for the others) while they are
    // read, so that a GUID that the archive repeats is listed once, at its first place.
    std::map<std::string, std::string> entries;
    std::vector<std::string> order;
    for (size_t index = 0; position < blob.size(); ++index, position += kAttachmentInfoStep) {
        const std::string_view chunk = blob.substr(position, kAttachmentInfoStep);
        std::string text;
        text.reserve(chunk.size());
        for (char c : chunk) {
            if (c != '$' && c != '?') text.push_back(c);
        }
        if (text.size() > kGuidLength) text.resize(kGuidLength);
        if (!IsGuidText(text)) break;
        const std::string key = index == 0 ? "head" : "spac-" + std::to_string(index);
        entries.emplace(key, text);
        order.push_back(key);
    }
    for (const std::string& key : order) {
        const std::string& guid = entries[key];
        if (std::find(guids.begin(), guids.end(), guid) == guids.end()) guids.push_back(guid);
    }
    return guids;
}

}  // namespace bw
