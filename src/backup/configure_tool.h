// The deep-clean configuration: working folders for one device's backup, working copies of the
// files the privacy scanners edit, the list of intended changes ("BackupInfo.plist"), and the
// completion that writes the edited files and the manifest back into the backup folder.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "backup/manifest.h"
#include "formats/plist_library.h"

namespace bw {

class CIPhone;

// What set-up needs to know about the device. Read from a CIPhone by the export; tests give
// them directly.
struct ConfigureDeviceFacts {
    std::string udid;                   // "UniqueDeviceID"
    std::string productVersion;         // "ProductVersion"
    int64_t timeZoneOffsetSeconds = 0;  // "TimeZoneOffsetFromUTC"
};

// Configuration entry values.
inline constexpr int64_t kExecuteModify = 0;
inline constexpr int64_t kExecuteDelete = 1;
// Top-level keys of this length or shorter are the configuration's own values, never entries.
inline constexpr size_t kMaxTopLevelValueKey = 30;

// Category numbers of the scanners that ask for working copies.
enum ConfigureCategory : int32_t {
    kCategoryMessages = 1,
    kCategoryBrowsingHistory = 3,
    kCategorySafariCookie = 4,
    kCategorySafariHistory = 5,
    kCategoryWebAppCache = 6,
    kCategoryRunningApps = 7,
    kCategoryContact = 8,
    kCategoryCallHistory = 9,
    kCategoryWebEmailHistory = 10,
};

// "Modify " + the category's text + " File".
std::string ConfigureDescription(int32_t category);
// "AppDomain-com.apple.mobilesafari" for "ProductVersion" 7.x, otherwise "HomeDomain".
std::string SafariDomainFor(std::string_view productVersion);
// A name that stays inside the folder it is joined to: not empty, no "/", "\" or NUL, not "."
// or "..".
bool IsPlainFileName(std::string_view name);

class CConfigureTool {
  public:
    // The process-wide instance, made on first use and never destroyed.
    static CConfigureTool& Instance();

    CConfigureTool();
    virtual ~CConfigureTool();
    CConfigureTool(const CConfigureTool&) = delete;
    CConfigureTool& operator=(const CConfigureTool&) = delete;

    // ---- Set-up ----

    // Stores the work path and the device; with a device, sets up the folders and the
    // configuration from the device's values and the backup-preparation delete-current flag,
    // then copies the manifest files. False when no manifest manager exists afterwards.
    bool CreateIn(CIPhone* device, std::string workPath, bool deleteCurrent);
    // The same without a CIPhone: `backupRoot` is the folder holding the device's backup folder.
    bool SetUp(const ConfigureDeviceFacts& facts, std::string workPath, std::string backupRoot,
               bool deleteCurrent);
    // The same over any backup folder (one not named after the device, or outside the backup
    // root). Set-up and scans only read that folder; Complete writes into it.
    bool SetUpFromFolder(const ConfigureDeviceFacts& facts, std::string workPath,
                         std::string sourceFolder, bool deleteCurrent);
    // Copies "Manifest.mbdb", "Info.plist" and "Manifest.plist" from the source folder into both
    // copy folders and makes the manifest manager over the restore copy of the manifest.
    void CopyManifestFiles();

    // ---- Working copies for the scanners ----
    // Each returns the working copy in the restore copy folder, or "" when the manifest or the
    // file is missing. Asking again for a file already served returns the same copy with the
    // scanner's edits kept.

    std::string CopySafariCookies();     // "Cookies.binarycookies"
    std::string CopySafariHistory();     // "History.plist"
    std::string CopySuspendState();      // "SuspendState.plist"
    std::string CopyWebAppDatabases();   // "WebKit/Databases/Databases.db", web applications
    std::string CopyWebMailDatabases();  // "WebKit/Databases/Databases.db", web mail
    std::string CopySpringboardPlist();  // "com.apple.springboard.plist"
    std::string CopySmsDatabase();       // "SMS/sms.db"
    std::string CopyAddressBook();       // "AddressBook.sqlitedb"
    std::string CopyCallHistory();       // "call_history.db"
    // "StorageTracker.db" on iOS 7, "ApplicationCache.db" before, in the Safari domain.
    std::string CopyWebAppCacheDatabase();
    // One origin's local-storage database (a path from "StorageTracker.db", from "Library" on).
    std::string CopyLocalStorageDatabase(std::string_view relativePath);
    // Every "HomeDomain" file whose path contains ".pushstore". Each copy is named after the
    // device's file name, so the store's bundle identifier is its name without the extension.
    std::vector<std::string> CopyPushStoreFiles();
    // Any file: the first record of `domain` whose path contains `path`.
    std::string CopyWorkingFile(std::string_view domain, std::string_view path, int32_t category);

    // ---- Delete entries ----

    // Adds a delete entry for the backup file behind a working copy (or a backup file name):
    // "ExecuteType" 1, the domain and the path part that completion removes. "Parent" is kept
    // only when not empty. False when the working copy was not served here or the path is not a
    // plain file name.
    bool AddDeleteEntry(std::string_view workingCopyOrName, std::string_view domain,
                        std::string_view fullName, std::string_view parent = {},
                        std::string_view note = {});
    // Switches the entry of a served working copy to "ExecuteType" 1, so that completion deletes
    // its backup file and records instead of replacing them.
    bool MarkForDeletion(std::string_view workingCopy);

    // ---- Completion ----

    // Writes "BackupInfo.plist" into the backup copy folder; false when the configuration is
    // empty or could not be written.
    bool WriteBackupInfo();
    // Applies the configuration to the source folder and writes "BackupInfo.plist"; returns as
    // WriteBackupInfo.
    bool Complete();
    // Finishes a completion that was interrupted after it began to change the source folder
    // (a pending list in the backup copy folder). True when nothing was pending or it finished.
    bool FinishInterruptedCompletion();

    // ---- State ----

    const std::string& Udid() const { return udid_; }
    const std::string& ProductVersion() const { return productVersion_; }
    int64_t TimeZoneOffset() const { return timeZoneOffset_; }
    const std::string& WorkPath() const { return workPath_; }
    const std::string& SourceFolder() const { return sourceFolder_; }
    const std::string& BackupCopyFolder() const { return backupCopyFolder_; }
    const std::string& RestoreCopyFolder() const { return restoreCopyFolder_; }
    ManifestDataManager* Manifest() { return manifest_.get(); }
    CDicValueObj& Configuration() { return configuration_; }
    std::string SafariDomain() const { return SafariDomainFor(productVersion_); }

  private:
    struct Planned;

    void Reset();
    bool MakeFreshFolder(const std::string& parent, const std::string& dateText,
                         bool deleteCurrent);
    std::string ArchiveDateText(int64_t timeZoneOffsetSeconds) const;
    void BuildTopLevel();
    std::string ServeFile(const MbdbRecord& record, std::string_view domain,
                          std::string_view searched, int32_t category, bool addEntry,
                          const std::string& workingName);
    void AddModifyEntry(const std::string& key, std::string_view domain, std::string_view fullName,
                        int32_t category);
    std::string BackupNameOfWorkingCopy(std::string_view workingCopyOrName) const;

    bool PlanModify(const std::string& key, CDicValueObj& entry, Planned& plan);
    bool PlanDelete(const std::string& key, CDicValueObj& entry, Planned& plan);
    bool Commit(const Planned& plan);
    bool RollForward(const std::vector<std::string>& replace,
                     const std::vector<std::string>& remove);
    bool RollBack(const std::vector<std::string>& replace, const std::vector<std::string>& remove);
    void ResetWorkingManifest();
    std::string PendingListPath() const;

    CIPhone* device_ = nullptr;
    std::string udid_;
    std::string productVersion_;
    int64_t timeZoneOffset_ = 0;
    std::string workPath_;
    std::string deviceBackupFolder_;
    std::string sourceFolder_;
    std::string backupCopyFolder_;
    std::string restoreCopyFolder_;
    std::unique_ptr<ManifestDataManager> manifest_;
    CDicValueObj configuration_;
    // Working copies whose name is not the backup file name (push stores): name -> backup name.
    std::map<std::string, std::string> workingNames_;
};

}  // namespace bw
