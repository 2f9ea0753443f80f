#include "device/host_utils.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "formats/plist_library.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace bw {

namespace {

std::string Format(const std::tm& time, const char* format) {
    char text[128];
    const size_t length = std::strftime(text, sizeof text, format, &time);
    return std::string(text, length);
}

// Host paths use "/" here; a backslash still separates, as callers may pass Windows-style text.
size_t LastSeparator(std::string_view path) {
    return path.find_last_of("/\\");
}

uint64_t WalkFolder(const std::string& folder, std::vector<std::string>& folders) {
    uint64_t total = 0;
    std::vector<platform::FolderEntry> entries;
    if (!platform::ListFolder(folder, entries)) return 0;
    for (const platform::FolderEntry& entry : entries) {
        const std::string path = platform::JoinPath(folder, entry.name);
        if (entry.isLink) continue;  // never leave the tree through a link
        if (entry.isFolder) {
            folders.push_back(path);
            total += WalkFolder(path, folders);
        } else {
            total += entry.size;
        }
    }
    return total;
}

// Days since 1601-01-01 (the Windows epoch) of a civil date.
int64_t DaysSince1601(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    constexpr int64_t kDaysFrom0000To1601 = 584694;  // 0000-03-01 based count of 1601-01-01
    return era * 146097 + dayOfEra - kDaysFrom0000To1601;
}

// 100-nanosecond intervals since 1601, as the Windows file time counts.
int64_t FileTimeOf(const SystemTime& time) {
    const int64_t days = DaysSince1601(time.year, time.month, time.day);
    const int64_t seconds = ((days * 24 + time.hour) * 60 + time.minute) * 60 + time.second;
    return seconds * 10'000'000 + int64_t{time.milliseconds} * 10'000;
}

// Each level of `subfolder` below `base` made private to the user (see platform::TempFolder), or
// empty when one cannot be: what is copied there (a phone's databases, its settings) is the
// user's alone.
std::string PrivateFolderBelow(const std::string& base, std::string_view subfolder) {
    if (base.empty()) return {};
    std::string folder = base;
    size_t start = 0;
    while (start <= subfolder.size()) {
        const size_t end = std::min(subfolder.find('/', start), subfolder.size());
        const std::string_view level = subfolder.substr(start, end - start);
        start = end + 1;
        if (level.empty()) continue;
        if (level == "." || level == "..") return {};
        folder = platform::JoinPath(folder, level);
        if (!platform::CreatePrivateFolder(folder)) return {};
    }
    return folder;
}

}  // namespace

bool HostFileExists(const std::string& path) {
    return platform::CanOpenForReading(path);
}

bool CopyHostFile(const std::string& source, const std::string& target) {
    return platform::CopyFile(source, target);
}

int64_t HostFileSize(const std::string& path) {
    if (!platform::CanOpenForReading(path)) return 0;
    return static_cast<int64_t>(platform::FileSize(path).value_or(0));
}

std::string FileNameOf(std::string_view path) {
    const size_t separator = LastSeparator(path);
    return separator == std::string_view::npos ? std::string{}
                                               : std::string(path.substr(separator + 1));
}

std::string DeviceFileNameOf(std::string_view devicePath) {
    const size_t slash = devicePath.rfind('/');
    return slash == std::string_view::npos ? std::string{}
                                           : std::string(devicePath.substr(slash + 1));
}

bool IsFolderWritable(const std::string& folder) {
    return platform::CanCreateFilesIn(folder);
}

uint64_t ListFolderTree(const std::string& folder, std::vector<std::string>& folders) {
    return WalkFolder(folder, folders);
}

void DeleteFolderTree(const std::string& folder) {
    platform::DeleteTree(folder);
}

std::string GetTempFolder(std::string_view subfolder) {
    return PrivateFolderBelow(platform::TempFolder(), subfolder);
}

std::string GetPhotoTempFolder(std::string_view subfolder) {
    return PrivateFolderBelow(PrivateFolderBelow(platform::TempFolder(), "PhotoSync"), subfolder);
}

std::string GetBackupRoot() {
    const std::string roaming = platform::RoamingAppDataFolder();
    if (roaming.empty()) return {};
    return platform::JoinPath(roaming, "Apple Computer/MobileSync/Backup");
}

std::string EnsureBackupFolder(std::string_view name) {
    const std::string root = GetBackupRoot();
    if (root.empty()) return {};
    if (!IsFolderWritable(root)) platform::CreateFolders(root);
    return name.empty() ? root : platform::JoinPath(root, name);
}

std::string GetBackupToolPath() {
    const auto library = platform::ReadRegistryString(
        platform::RegistryRoot::LocalMachine,
        "SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared", "iTunesMobileDeviceDLL");
    if (!library) return {};
    const size_t separator = LastSeparator(*library);
    if (separator == std::string::npos) return {};
    const std::string tool = library->substr(0, separator + 1) + "AppleMobileBackup.exe";
    return platform::IsFile(tool) ? tool : std::string{};
}

bool FindProcess(std::string_view exeName, int& processId) {
    const std::vector<platform::ProcessId> found = platform::FindProcesses(exeName);
    if (found.empty()) return false;
    processId = found.front();
    return true;
}

void KillProcess(std::string_view exeName) {
    // A process we may not end (another user's) would be found again and again: each process is
    // tried once, and the loop ends when only such processes remain or after a fixed number of
    // rounds, whichever comes first.
    std::set<platform::ProcessId> tried;
    for (int round = 0; round < 50; ++round) {
        bool ended = false;
        for (platform::ProcessId pid : platform::FindProcesses(exeName)) {
            if (!tried.insert(pid).second) continue;
            ended = platform::TerminateProcess(pid) || ended;
        }
        if (!ended) return;
        platform::Sleep(100);
    }
}

std::string NewGuidText() {
    unsigned char b[16];
    platform::RandomBytes(b, sizeof b);
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
    const unsigned long first =
        (static_cast<unsigned long>(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
    char text[40];
    std::snprintf(text, sizeof text, "%08lX-%04X-%04x-%02X%02X-%02X%02X%02X%02X%02X%02X", first,
                  (b[4] << 8) | b[5], (b[6] << 8) | b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

std::string FormatAsUuid(std::string_view hex) {
    static constexpr std::string_view kZero = "00000000-0000-0000-0000-000000000000";
    if (hex.size() >= 20) {
        // Dashes after digits 8, 12, 16 and 20; digits past 32 stay in the last group. Built by
        // appending: g++ 12 at -O3 sees a false overlap in std::string::insert (-Wrestrict).
        std::string out;
        out.reserve(hex.size() + 4);
        size_t from = 0;
        for (size_t to : {8u, 12u, 16u, 20u}) {
            out.append(hex.substr(from, to - from)).push_back('-');
            from = to;
        }
        return out.append(hex.substr(from));
    }
    if (hex.size() < 11) {
        // Fewer digits than the last group has: they end it, zeros and dashes before them.
        return std::string(kZero.substr(0, kZero.size() - hex.size())).append(hex);
    }
    // 11 to 19 characters: no caller passes these (identifiers have 32 digits). Padding with
    // leading zeros to 32 digits keeps every character and gives a well-formed identifier.
    return FormatAsUuid(std::string(32 - hex.size(), '0') + std::string(hex));
}

std::string ReadBackupVersion(const std::string& backupFolder) {
    CDicValueObj info;
    readPlistFromFile(platform::JoinPath(backupFolder, "Info.plist"), info);
    std::string version = info.GetString("Larkspur Version").value_or("");
    FreePListDictionary(info);
    return version;
}

std::string ReadBackupDate(const std::string& backupFolder) {
    const std::string path = platform::JoinPath(backupFolder, "Info.plist");
    CDicValueObj info;
    readPlistFromFile(path, info);
    const auto date = info.GetDate("Last Backup Date");
    FreePListDictionary(info);
    char text[64];
    if (date) {
        std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d", date->year + 1900,
                      date->month + 1, date->day, date->hour, date->minute, date->second);
        return text;
    }
    const auto written = platform::LastWriteTime(path);
    if (!written) return {};
    const std::tm local = platform::LocalCalendar(*written);
    std::snprintf(text, sizeof text, "%d%d%d-%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

std::string FormatStamp(const std::tm& time) {
    return Format(time, "%Y%m%d-%H%M%S");
}

namespace {

// "%Y<sep>%m<sep>%d %H:%M:%S" written digit by digit: a scan shows a date for every message and
// call, and strftime was a tenth of a large message scan. Years of other than four digits and
// fields out of their range go through strftime, which decides how they look.
std::string FormatDateTimeWith(const std::tm& time, char separator) {
    const int year = time.tm_year + 1900;
    const auto inRange = [](int value, int low, int high) { return value >= low && value <= high; };
    if (!inRange(year, 1000, 9999) || !inRange(time.tm_mon, 0, 11) ||
        !inRange(time.tm_mday, 1, 31) || !inRange(time.tm_hour, 0, 23) ||
        !inRange(time.tm_min, 0, 59) || !inRange(time.tm_sec, 0, 60)) {
        return Format(time, separator == '/' ? "%Y/%m/%d %H:%M:%S" : "%Y-%m-%d %H:%M:%S");
    }
    char text[19];
    const auto two = [&text](size_t at, int value) {
        text[at] = static_cast<char>('0' + value / 10);
        text[at + 1] = static_cast<char>('0' + value % 10);
    };
    two(0, year / 100);
    two(2, year % 100);
    text[4] = separator;
    two(5, time.tm_mon + 1);
    text[7] = separator;
    two(8, time.tm_mday);
    text[10] = ' ';
    two(11, time.tm_hour);
    text[13] = ':';
    two(14, time.tm_min);
    text[16] = ':';
    two(17, time.tm_sec);
    return std::string(text, sizeof text);
}

}  // namespace

std::string FormatDateTime(const std::tm& time) {
    return FormatDateTimeWith(time, '-');
}

std::string FormatDateTimeSlashed(const std::tm& time) {
    return FormatDateTimeWith(time, '/');
}

std::string FormatRelativeTime(const std::tm& time) {
    const int64_t age = platform::NowUnixSeconds() - platform::UnixSecondsFromLocal(time);
    if (age < 86400) return Format(time, "%H:%M:%S");
    if (age < 172800) return "Yesterday " + Format(time, "%H:%M:%S");
    if (age < 604800) return Format(time, "%A %H:%M:%S");
    return Format(time, "%Y/%m/%d %H:%M:%S");
}

int64_t SecondsBetween(const SystemTime& later, const SystemTime& earlier) {
    return (FileTimeOf(later) - FileTimeOf(earlier)) / 10'000'000;
}

int64_t SecondsSince1904(const SystemTime& time) {
    SystemTime epoch;
    epoch.year = 1904;
    return SecondsBetween(time, epoch);
}

std::string GetEncoderClsid(std::string_view mimeType) {
    if (mimeType == "image/jpeg") return "jpegsave";
    if (mimeType == "image/png") return "pngsave";
    if (mimeType == "image/tiff") return "tiffsave";
    return {};
}

}  // namespace bw
