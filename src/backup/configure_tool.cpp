#include "backup/configure_tool.h"

#include <charconv>

#include "device/device_identifier.h"
#include "device/host_utils.h"
#include "device/iphone.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace bw {
namespace {

constexpr std::string_view kManifestName = "Manifest.mbdb";
constexpr std::string_view kPushStore = ".pushstore";
constexpr std::string_view kHomeDomain = "HomeDomain";

std::string LastComponent(std::string_view path) {
    const size_t slash = path.find_last_of("/\\");
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool IsBackupFileName(std::string_view name) {
    if (name.size() != 40) return false;
    for (const char c : name) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

// Read in base 10 up to the first character that is not part of the number, as the backup
// preparation reads it: a device that reports the offset as a real ("3600.0") gives 3600.
int64_t ParseOffset(const std::string& text) {
    int64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() ? value : 0;
}

std::tm TmFromPlist(const PlistCalendar& date) {
    std::tm tm{};
    tm.tm_sec = date.second;
    tm.tm_min = date.minute;
    tm.tm_hour = date.hour;
    tm.tm_mday = date.day;
    tm.tm_mon = date.month;
    tm.tm_year = date.year;
    return tm;
}

}  // namespace

std::string ConfigureDescription(int32_t category) {
    std::string_view text;
    switch (category) {
        case kCategoryMessages:
            text = " Message and Attachments";
            break;
        case kCategoryBrowsingHistory:
            text = " Browsing History";
            break;
        case kCategorySafariCookie:
            text = " Safari Cookie";
            break;
        case kCategorySafariHistory:
            text = " Safari History";
            break;
        case kCategoryWebAppCache:
            text = " Web App Cache";
            break;
        case kCategoryRunningApps:
            text = " Background Running Apps";
            break;
        case kCategoryContact:
            text = " Contact ";
            break;
        case kCategoryWebEmailHistory:
            text = " WebEmail History ";
            break;
        default:
            break;
    }
    return "Modify " + std::string(text) + " File";
}

std::string SafariDomainFor(std::string_view productVersion) {
    return productVersion.starts_with('7') ? "AppDomain-com.apple.mobilesafari" : "HomeDomain";
}

bool IsPlainFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find_first_of(std::string_view("/\\\0", 3)) == std::string_view::npos;
}

CConfigureTool& CConfigureTool::Instance() {
    // Never destroyed: scanners may still hold paths into it while the process ends.
    static CConfigureTool* instance = new CConfigureTool();
    return *instance;
}

CConfigureTool::CConfigureTool() = default;
CConfigureTool::~CConfigureTool() = default;

void CConfigureTool::Reset() {
    udid_.clear();
    productVersion_.clear();
    timeZoneOffset_ = 0;
    deviceBackupFolder_.clear();
    sourceFolder_.clear();
    backupCopyFolder_.clear();
    restoreCopyFolder_.clear();
    manifest_.reset();
    configuration_ = CDicValueObj();
    workingNames_.clear();
}

bool CConfigureTool::CreateIn(CIPhone* device, std::string workPath, bool deleteCurrent) {
    workPath_ = std::move(workPath);
    device_ = device;
    if (device != nullptr) {
        ConfigureDeviceFacts facts;
        facts.udid = device->ReadDeviceValueText("", "UniqueDeviceID");
        facts.productVersion = device->ReadDeviceValueText("", "ProductVersion");
        facts.timeZoneOffsetSeconds =
            ParseOffset(device->ReadDeviceValueText("", "TimeZoneOffsetFromUTC"));
        return SetUp(facts, workPath_, GetBackupRoot(), deleteCurrent);
    }
    CopyManifestFiles();
    return manifest_ != nullptr;
}

bool CConfigureTool::SetUp(const ConfigureDeviceFacts& facts, std::string workPath,
                           std::string backupRoot, bool deleteCurrent) {
    // The identifier names three folders; one that is not a plain name (a device answering
    // "../x") would put them anywhere.
    if (!IsDeviceIdentifier(facts.udid) || backupRoot.empty()) {
        Reset();
        workPath_ = std::move(workPath);
        return false;
    }
    return SetUpFromFolder(facts, std::move(workPath), platform::JoinPath(backupRoot, facts.udid),
                           deleteCurrent);
}

bool CConfigureTool::SetUpFromFolder(const ConfigureDeviceFacts& facts, std::string workPath,
                                     std::string sourceFolder, bool deleteCurrent) {
    Reset();
    workPath_ = std::move(workPath);
    if (!IsDeviceIdentifier(facts.udid) || workPath_.empty() || sourceFolder.empty()) return false;
    udid_ = facts.udid;
    productVersion_ = facts.productVersion;
    timeZoneOffset_ = facts.timeZoneOffsetSeconds;
    sourceFolder_ = std::move(sourceFolder);
    deviceBackupFolder_ = platform::JoinPath(workPath_, "DeviceBackup");
    backupCopyFolder_ =
        platform::JoinPath(platform::JoinPath(deviceBackupFolder_, "Backup"), udid_);
    restoreCopyFolder_ =
        platform::JoinPath(platform::JoinPath(deviceBackupFolder_, "Restore"), udid_);

    // A completion that was cut off half-way is finished before its folders are archived, so
    // the source folder is never left between the old and the new state.
    FinishInterruptedCompletion();

    platform::CreateFolders(deviceBackupFolder_);
    const std::string dateText = ArchiveDateText(timeZoneOffset_);
    const bool made = MakeFreshFolder(platform::JoinPath(deviceBackupFolder_, "Backup"), dateText,
                                      deleteCurrent) &&
                      MakeFreshFolder(platform::JoinPath(deviceBackupFolder_, "Restore"), dateText,
                                      deleteCurrent);
    if (!made) {
        backupCopyFolder_.clear();
        restoreCopyFolder_.clear();
        return false;
    }
    BuildTopLevel();
    CopyManifestFiles();
    return manifest_ != nullptr;
}

std::string CConfigureTool::ArchiveDateText(int64_t timeZoneOffsetSeconds) const {
    CDicValueObj info;
    readPlistFromFile(platform::JoinPath(sourceFolder_, "Info.plist"), info);
    const std::optional<PlistCalendar> date = info.GetDate("Last Backup Date");
    int64_t seconds = platform::NowUnixSeconds();
    if (date) seconds = platform::UnixSecondsFromUtc(TmFromPlist(*date)) + timeZoneOffsetSeconds;
    return FormatStamp(platform::LocalCalendar(seconds));
}

bool CConfigureTool::MakeFreshFolder(const std::string& parent, const std::string& dateText,
                                     bool deleteCurrent) {
    if (!platform::CreateFolders(parent)) return false;
    const std::string folder = platform::JoinPath(parent, udid_);
    if (platform::PathExists(folder)) {
        if (deleteCurrent) {
            if (!platform::DeleteTree(folder)) return false;
        } else {
            // Two set-ups within one second would pick the same archive name; the earlier
            // archive is kept and the later one gets a counter.
            const std::string archive = platform::JoinPath(parent, udid_ + "-" + dateText);
            std::string target = archive;
            for (int n = 2; platform::PathExists(target) && n < 1000; ++n) {
                target = archive + "-" + std::to_string(n);
            }
            if (!platform::RenamePath(folder, target)) return false;
        }
    }
    return platform::CreateFolder(folder) && platform::IsFolder(folder);
}

void CConfigureTool::BuildTopLevel() {
    configuration_ = CDicValueObj::MakeDictionary();
    configuration_.Set("Larkspur Version", CDicValueObj::MakeString("1.0.0.0"));
    CDicValueObj info;
    readPlistFromFile(platform::JoinPath(sourceFolder_, "Info.plist"), info);
    if (const auto date = info.GetDate("Last Backup Date")) {
        configuration_.Set("Backup Date", CDicValueObj::MakeDate(*date));
    }
    if (const auto guid = info.GetString("GUID")) {
        configuration_.Set("iTunes Backup", CDicValueObj::MakeString(*guid));
    }
}

void CConfigureTool::CopyManifestFiles() {
    if (sourceFolder_.empty() || backupCopyFolder_.empty() || restoreCopyFolder_.empty()) return;
    bool manifestCopied = false;
    for (const std::string_view name :
         {kManifestName, std::string_view("Info.plist"), std::string_view("Manifest.plist")}) {
        const std::string source = platform::JoinPath(sourceFolder_, name);
        if (!platform::IsPlainFile(source)) continue;
        platform::ReplaceFileWithCopy(source, platform::JoinPath(backupCopyFolder_, name), false);
        const bool copied = platform::ReplaceFileWithCopy(
            source, platform::JoinPath(restoreCopyFolder_, name), false);
        if (name == kManifestName) manifestCopied = copied;
    }
    if (manifestCopied) {
        manifest_ = std::make_unique<ManifestDataManager>(
            udid_, sourceFolder_, platform::JoinPath(restoreCopyFolder_, kManifestName));
    }
}

// ---- Working copies ----

std::string CConfigureTool::ServeFile(const MbdbRecord& record, std::string_view domain,
                                      std::string_view searched, int32_t category, bool addEntry,
                                      const std::string& workingName) {
    const std::string& name = record.backupFileName;
    if (!IsBackupFileName(name) || !IsPlainFileName(workingName)) return "";
    const std::string source = platform::JoinPath(sourceFolder_, name);
    if (!platform::IsPlainFile(source)) return "";
    const std::string backupCopy = platform::JoinPath(backupCopyFolder_, name);
    const std::string restoreCopy = platform::JoinPath(restoreCopyFolder_, workingName);
    // The untouched copy is made once; the working copy too, because a second request (another
    // scanner, or the same one again) must not undo the edits made since the first.
    if (!platform::IsPlainFile(backupCopy))
        platform::ReplaceFileWithCopy(source, backupCopy, false);
    if (!platform::IsPlainFile(restoreCopy))
        platform::ReplaceFileWithCopy(source, restoreCopy, false);
    if (!platform::IsPlainFile(backupCopy) || !platform::IsPlainFile(restoreCopy)) return "";
    if (addEntry) AddModifyEntry(name, domain, searched, category);
    return restoreCopy;
}

void CConfigureTool::AddModifyEntry(const std::string& key, std::string_view domain,
                                    std::string_view fullName, int32_t category) {
    if (configuration_.type != kPlistDictionary) configuration_ = CDicValueObj::MakeDictionary();
    if (configuration_.Find(key) != nullptr) return;
    CDicValueObj entry = CDicValueObj::MakeDictionary();
    entry.Set("ExecuteType", CDicValueObj::MakeInteger(kExecuteModify));
    entry.Set("Description", CDicValueObj::MakeString(ConfigureDescription(category)));
    entry.Set("Note", CDicValueObj::MakeString(""));
    entry.Set("Domain", CDicValueObj::MakeString(std::string(domain)));
    entry.Set("FullName", CDicValueObj::MakeString(std::string(fullName)));
    entry.Set("Result", CDicValueObj::MakeBool(false));
    configuration_.Set(key, entry);
}

std::string CConfigureTool::CopyWorkingFile(std::string_view domain, std::string_view path,
                                            int32_t category) {
    if (manifest_ == nullptr || path.empty()) return "";
    const MbdbRecord record = manifest_->FindRecord(domain, path);
    if (record.backupFileName.empty()) return "";
    return ServeFile(record, domain, path, category, true, record.backupFileName);
}

std::string CConfigureTool::CopySafariCookies() {
    return CopyWorkingFile(kHomeDomain, "Cookies.binarycookies", kCategorySafariCookie);
}
std::string CConfigureTool::CopySafariHistory() {
    return CopyWorkingFile(SafariDomain(), "History.plist", kCategorySafariHistory);
}
std::string CConfigureTool::CopySuspendState() {
    return CopyWorkingFile(SafariDomain(), "SuspendState.plist", kCategoryBrowsingHistory);
}
std::string CConfigureTool::CopyWebAppDatabases() {
    return CopyWorkingFile(SafariDomain(), "WebKit/Databases/Databases.db", kCategoryWebAppCache);
}
std::string CConfigureTool::CopyWebMailDatabases() {
    return CopyWorkingFile(SafariDomain(), "WebKit/Databases/Databases.db",
                           kCategoryWebEmailHistory);
}
std::string CConfigureTool::CopySpringboardPlist() {
    return CopyWorkingFile(kHomeDomain, "com.apple.springboard.plist", kCategoryRunningApps);
}
std::string CConfigureTool::CopySmsDatabase() {
    return CopyWorkingFile(kHomeDomain, "SMS/sms.db", kCategoryMessages);
}
std::string CConfigureTool::CopyAddressBook() {
    return CopyWorkingFile(kHomeDomain, "AddressBook.sqlitedb", kCategoryContact);
}
std::string CConfigureTool::CopyCallHistory() {
    return CopyWorkingFile("WirelessDomain", "call_history.db", kCategoryCallHistory);
}
std::string CConfigureTool::CopyWebAppCacheDatabase() {
    const bool seven = productVersion_.starts_with('7');
    return CopyWorkingFile(SafariDomain(), seven ? "StorageTracker.db" : "ApplicationCache.db",
                           kCategoryWebAppCache);
}
std::string CConfigureTool::CopyLocalStorageDatabase(std::string_view relativePath) {
    return CopyWorkingFile(SafariDomain(), relativePath, kCategoryWebAppCache);
}

std::vector<std::string> CConfigureTool::CopyPushStoreFiles() {
    std::vector<std::string> copies;
    if (manifest_ == nullptr) return copies;
    for (const MbdbRecord& record : manifest_->ListDomainRecords(kHomeDomain)) {
        if (record.path.text.find(kPushStore) == std::string::npos) continue;
        if (!platform::IsPlainFile(platform::JoinPath(sourceFolder_, record.backupFileName))) {
            continue;  // folders and files missing from the backup
        }
        // The device's name tells the scanner the store's application. A name that is not a
        // store's, or that two stores share, falls back to the backup file name.
        std::string workingName = LastComponent(record.path.text);
        const auto known = workingNames_.find(workingName);
        const bool taken = known != workingNames_.end() && known->second != record.backupFileName;
        if (!workingName.ends_with(kPushStore) || !IsPlainFileName(workingName) || taken) {
            workingName = record.backupFileName;
        }
        std::string copy = ServeFile(record, kHomeDomain, kPushStore, 0, false, workingName);
        if (copy.empty()) continue;
        if (workingName != record.backupFileName) {
            workingNames_[workingName] = record.backupFileName;
        }
        copies.push_back(std::move(copy));
    }
    return copies;
}

// ---- Delete entries ----

std::string CConfigureTool::BackupNameOfWorkingCopy(std::string_view workingCopyOrName) const {
    const std::string name = LastComponent(workingCopyOrName);
    if (const auto known = workingNames_.find(name); known != workingNames_.end()) {
        return known->second;
    }
    return IsPlainFileName(name) ? name : "";
}

bool CConfigureTool::AddDeleteEntry(std::string_view workingCopyOrName, std::string_view domain,
                                    std::string_view fullName, std::string_view parent,
                                    std::string_view note) {
    const std::string key = BackupNameOfWorkingCopy(workingCopyOrName);
    if (key.size() <= kMaxTopLevelValueKey || domain.empty() || fullName.empty()) return false;
    if (configuration_.type != kPlistDictionary) configuration_ = CDicValueObj::MakeDictionary();
    if (const CDicValueObj* existing = configuration_.Find(key)) {
        CDicValueObj entry = *existing;  // shares the entry's payload
        if (entry.type != kPlistDictionary) return false;
        entry.Set("ExecuteType", CDicValueObj::MakeInteger(kExecuteDelete));
        if (!parent.empty()) entry.Set("Parent", CDicValueObj::MakeString(std::string(parent)));
        return true;
    }
    CDicValueObj entry = CDicValueObj::MakeDictionary();
    entry.Set("ExecuteType", CDicValueObj::MakeInteger(kExecuteDelete));
    // Delete entries have no category; the description is the category-less text.
    entry.Set("Description", CDicValueObj::MakeString(ConfigureDescription(0)));
    if (!parent.empty()) entry.Set("Parent", CDicValueObj::MakeString(std::string(parent)));
    entry.Set("Note", CDicValueObj::MakeString(std::string(note)));
    entry.Set("Domain", CDicValueObj::MakeString(std::string(domain)));
    entry.Set("FullName", CDicValueObj::MakeString(std::string(fullName)));
    entry.Set("Result", CDicValueObj::MakeBool(false));
    configuration_.Set(key, entry);
    return true;
}

bool CConfigureTool::MarkForDeletion(std::string_view workingCopy) {
    const std::string key = BackupNameOfWorkingCopy(workingCopy);
    if (key.empty()) return false;
    const CDicValueObj* existing = configuration_.Find(key);
    if (existing == nullptr || existing->type != kPlistDictionary) return false;
    CDicValueObj entry = *existing;
    entry.Set("ExecuteType", CDicValueObj::MakeInteger(kExecuteDelete));
    return true;
}

}  // namespace bw
