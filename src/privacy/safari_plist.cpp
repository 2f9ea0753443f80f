#include "privacy/safari_plist.h"

#include <cmath>
#include <ctime>

#include "device/host_utils.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"

namespace bw {
namespace {

// About 9999-12-31 counted from 2001: later times cannot be shown in four year digits.
constexpr double kLastShownSeconds = 250000000000.0;

}  // namespace

bool ReadSafariPlist(const std::string& path, CDicValueObj& tree) {
    tree.Release();
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes, kPlistMaxInputBytes) || bytes.empty()) return false;
    readPlistFromString(bytes, tree, 0);
    return tree.type != kPlistNone;
}

bool WriteSafariPlist(const std::string& path, const CDicValueObj& tree) {
    std::string bytes;
    writeBinary(tree, bytes);
    if (bytes.empty()) return false;
    return platform::WriteFileAtomic(path, bytes);
}

std::u16string SafariDateText(double seconds) {
    if (!(seconds > 0.0) || !(seconds < kLastShownSeconds)) return {};
    // Counted from midnight of 2001-01-01 on the host's clock, not in UTC: the phone's seconds
    // are shown as a wall-clock time of the host's zone, with no conversion between zones.
    std::tm start{};
    start.tm_year = 101;
    start.tm_mon = 0;
    start.tm_mday = 1;
    const int64_t shown = platform::UnixSecondsFromLocal(start) + static_cast<int64_t>(seconds);
    return Utf8ToWide(FormatDateTime(platform::LocalCalendar(shown)));
}

}  // namespace bw
