// The device identifier check on any bytes, held against a second statement of the two shapes
// written from a pattern, character by character. A device names itself, and an accepted name
// becomes a folder name below the backup and archive folders: joined to a folder it must stay
// exactly one component (no "/", no NUL, not "." or "..") that reads back as itself.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "device/device_identifier.h"
#include "fuzz_seeds.h"
#include "platform/files.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

// 'x' stands for one hexadecimal digit of either case; anything else for itself.
bool MatchesPattern(std::string_view text, std::string_view pattern) {
    constexpr std::string_view kHexDigits = "0123456789abcdefABCDEF";
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool ok = pattern[i] == 'x' ? kHexDigits.find(text[i]) != std::string_view::npos
                                          : text[i] == pattern[i];
        if (!ok) return false;
    }
    return true;
}

bool ExpectedIdentifier(std::string_view text) {
    static const std::string kClassic(40, 'x');
    static const std::string kNewer = std::string(8, 'x') + "-" + std::string(16, 'x');
    return MatchesPattern(text, kClassic) || MatchesPattern(text, kNewer);
}

void CheckOneComponent(std::string_view identifier) {
    Check(!identifier.empty() && identifier != "." && identifier != "..");
    Check(identifier.find('/') == std::string_view::npos);
    Check(identifier.find('\0') == std::string_view::npos);
    const std::string folder = "/backups";
    const std::string joined = bw::platform::JoinPath(folder, identifier);
    Check(joined.size() == folder.size() + 1 + identifier.size());
    Check(joined.rfind('/') == folder.size());
    Check(std::string_view(joined).substr(folder.size() + 1) == identifier);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    using namespace std::string_literals;
    bw::fuzz::MaybeWriteSeeds({
        "0123456789abcdef0123456789ABCDEF01234567"s,
        "00008030-001A2B3C4D5E6F70"s,
        "00008030-001A2B3C4D5E6F7"s,
        "00008030_001A2B3C4D5E6F70"s,
        "0123456789abcdef0123456789abcdef0123456g"s,
        "0123456789abcdef0123456789abcdef01234567\0"s,
        "../../../../../../../../../../../../../.."s,
        "00008030-001A2B3C/D5E6F70"s,
        "0000803-0001A2B3C4D5E6F70"s,
        ""s,
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const bool accepted = bw::IsDeviceIdentifier(text);
    Check(accepted == ExpectedIdentifier(text));
    if (accepted) CheckOneComponent(text);
    return 0;
}
