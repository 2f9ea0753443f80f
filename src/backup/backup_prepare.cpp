// Backup preparation and the backup checks.
#include "backup/backup_prepare.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <new>
#include <utility>

#include "backup/backup_info.h"
#include "device/connect_listener.h"
#include "device/device_identifier.h"
#include "device/host_utils.h"
#include "device/iphone.h"
#include "formats/plist_library.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace bw {
namespace {

std::optional<PlistCalendar> LastBackupDate(const CDicValueObj& info) {
    return info.GetDate("Last Backup Date");
}

CDicValueObj ReadInfoPlist(const std::string& folder) {
    CDicValueObj info;
    readPlistFromFile(platform::JoinPath(folder, "Info.plist"), info);
    return info;
}

int64_t UnixSecondsOf(const PlistCalendar& date) {
    std::tm utc{};
    utc.tm_year = date.year;
    utc.tm_mon = date.month;
    utc.tm_mday = date.day;
    utc.tm_hour = date.hour;
    utc.tm_min = date.minute;
    utc.tm_sec = date.second;
    return platform::UnixSecondsFromUtc(utc);
}

}  // namespace

int64_t ParseTimeZoneOffset(const std::string& text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    while (begin != end && (*begin == ' ' || *begin == '\t'))
        ++begin;
    if (begin != end && *begin == '+') ++begin;
    int64_t value = 0;
    const auto [rest, error] = std::from_chars(begin, end, value, 10);
    (void)rest;
    return error == std::errc() ? value : 0;
}

bool IsLibraryBackup(const std::string& folder) {
    CDicValueObj info = ReadInfoPlist(folder);
    const bool marked = info.Find(kLarkspurVersionKey) != nullptr;
    FreePListDictionary(info);
    return marked;
}

void CBackupPrepareWork::Init(::CIPhone* device, unsigned char deleteCurrent, int32_t maxKept) {
    InitDevice(FromHost(device), deleteCurrent != 0, maxKept);
}

void CBackupPrepareWork::InitDevice(CIPhone* device, bool deleteCurrent, int32_t maxKept) {
    device_ = device;
    deleteCurrent_ = deleteCurrent;
    maxKept_ = maxKept;
    uniqueIdentifier_.clear();
    serialNumber_.clear();
    timeZoneOffset_ = 0;
    if (device_ != nullptr) {
        uniqueIdentifier_ = device_->ReadDeviceValueText("", "UniqueDeviceID");
        serialNumber_ = device_->ReadDeviceValueText("", "SerialNumber");
        timeZoneOffset_ =
            ParseTimeZoneOffset(device_->ReadDeviceValueText("", "TimeZoneOffsetFromUTC"));
    }
    backupRoot_.clear();
    currentFolder_.clear();
}

std::vector<std::string> KeptBackupsOf(const std::string& root, const std::string& udid) {
    std::vector<std::string> kept;
    // The identifier is matched inside folder names: one of another shape ("e", "") would
    // match other devices' backups.
    if (!IsDeviceIdentifier(udid) || root.empty()) return kept;
    std::vector<platform::FolderEntry> entries;
    if (!platform::ListFolder(root, entries)) return kept;
    for (const platform::FolderEntry& entry : entries) {
        // A link is not a backup of ours even when its name matches: deleting "the oldest"
        // through it could reach outside the backup root.
        if (!entry.isFolder || entry.isLink) continue;
        if (entry.name.find(udid) == std::string::npos) continue;
        const std::string folder = platform::JoinPath(root, entry.name);
        if (IsLibraryBackup(folder)) kept.push_back(folder);
    }
    std::sort(kept.begin(), kept.end());
    return kept;
}

int32_t CBackupPrepareWork::CountKeptBackups() {
    keptBackups_ = KeptBackupsOf(backupRoot_, uniqueIdentifier_);
    return static_cast<int32_t>(std::min<size_t>(keptBackups_.size(), INT32_MAX));
}

void CBackupPrepareWork::DeleteOldestKeptBackup() {
    std::vector<std::pair<int64_t, std::string>> dated;
    for (const std::string& folder : keptBackups_) {
        CDicValueObj info = ReadInfoPlist(folder);
        const auto date = LastBackupDate(info);
        if (info.Find(kLarkspurVersionKey) != nullptr && date) {
            dated.emplace_back(UnixSecondsOf(*date), folder);
        }
        FreePListDictionary(info);
    }
    if (dated.empty()) return;
    // Equal dates fall back to the folder name, so the choice does not depend on listing order.
    const auto oldest = std::min_element(dated.begin(), dated.end());
    if (platform::IsFolder(oldest->second)) DeleteFolderTree(oldest->second);
}

std::string CBackupPrepareWork::ArchiveDateText(const std::string& folder) const {
    CDicValueObj info = ReadInfoPlist(folder);
    const auto date = LastBackupDate(info);
    FreePListDictionary(info);
    char text[64];
    if (date) {
        // The archive is named by the device's own wall-clock time of the backup: the UTC date
        // shifted by the device's offset. It is formatted from UTC fields so that the name does
        // not depend on the time zone of the computer.
        return FormatStamp(platform::UtcCalendar(UnixSecondsOf(*date) + timeZoneOffset_));
    }
    const auto written = platform::LastWriteTime(folder);
    const std::tm local = platform::LocalCalendar(written.value_or(platform::NowUnixSeconds()));
    std::snprintf(text, sizeof text, "%d%d%d-%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

void CBackupPrepareWork::Prepare() {
    // The identifier names the current folder: without one it would be the backup root itself,
    // and one like "../x" would lie outside it.
    if (!IsDeviceIdentifier(uniqueIdentifier_)) return;
    backupRoot_ = EnsureBackupFolder("");
    if (backupRoot_.empty()) return;  // no home: nowhere that is the user's own
    currentFolder_ = platform::JoinPath(backupRoot_, uniqueIdentifier_);

    const bool currentExists = platform::IsFolder(currentFolder_);
    if (deleteCurrent_) {
        if (currentExists) DeleteFolderTree(currentFolder_);
        return;
    }
    if (CountKeptBackups() >= maxKept_) DeleteOldestKeptBackup();
    if (!currentExists || !platform::IsFolder(currentFolder_)) return;

    const std::string base = currentFolder_ + "-" + ArchiveDateText(currentFolder_);
    // Two backups within the same second would get the same name; the later one gets a number
    // instead of failing the rename and being overwritten by the next backup.
    std::string archive = base;
    for (int suffix = 2; platform::PathExists(archive) && suffix < 1000; ++suffix) {
        archive = base + "-" + std::to_string(suffix);
    }
    if (!platform::PathExists(archive)) platform::RenamePath(currentFolder_, archive);
}

CBackupPrepareWork* BackupPrepareWorkInstance() {
    // Never destroyed: the host may hold the pointer until the process ends.
    static CBackupPrepareWork* instance = new (std::nothrow) CBackupPrepareWork();
    return instance;
}

bool CheckDeviceBackUpEncryption(CIPhone* device) {
    return device != nullptr && device->WillNotEncryptBackup();
}

bool CheckDeviceRestore(CIPhone* device, const std::string& folder) {
    if (device == nullptr || folder.empty() || !platform::IsFolder(folder)) return false;
    const std::string manifest = platform::JoinPath(folder, "Manifest.plist");
    if (!platform::IsFile(manifest)) return false;
    CDicValueObj plist;
    readPlistFromFile(manifest, plist);
    const bool encrypted = plist.GetBool("IsEncrypted").value_or(false);
    FreePListDictionary(plist);
    return encrypted;
}

bool IsOpeniCloud(CIPhone* device) {
    return device != nullptr && device->IsFindMyPhoneOn();
}

}  // namespace bw
