// The iOS 5 attachment information reader on any bytes: every GUID it gives has the GUID shape
// (checked here by its own reading of the shape), appears once, and there are never more GUIDs
// than 38-byte entries after the list's start.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_seeds.h"
#include "privacy/sms_attachment_info.h"

namespace {

bool GuidShaped(std::string_view text) {
    static constexpr std::string_view kPattern = "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx";
    if (text.size() != kPattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (kPattern[i] == '-') {
            if (c != '-') return false;
        } else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) {
            return false;
        }
    }
    return true;
}

std::string Blob(bool marked, std::initializer_list<const char*> guids) {
    std::string blob(marked ? 66 : 103, 'h');
    for (const char* guid : guids)
        blob += marked ? std::string("$") + guid + "?" : std::string(guid) + "?$";
    return blob;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds({
        Blob(true, {"01234567-89AB-CDEF-0123-456789ABCDEF"}),
        Blob(false,
             {"01234567-89ab-cdef-0123-456789abcdef", "FFFFFFFF-0000-1111-2222-333333333333"}),
        Blob(true,
             {"01234567-89AB-CDEF-0123-456789ABCDEF", "01234567-89AB-CDEF-0123-456789ABCDEF"}),
        std::string(67, '$'),
        std::string(66, 'x'),
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view blob(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> guids = bw::AttachmentGuidsFromInfo(blob);
    size_t entries = 0;
    if (size > 66) {
        const size_t start = blob[66] == '$' ? 66 : 103;
        if (size > start) entries = (size - start + 37) / 38;
    }
    if (guids.size() > entries) std::abort();
    std::set<std::string> seen;
    for (const std::string& guid : guids) {
        if (!GuidShaped(guid) || !bw::IsGuidText(guid)) std::abort();
        if (!seen.insert(guid).second) std::abort();
    }
    return 0;
}
