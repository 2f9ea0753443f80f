// CBackupPrepareWork: before a new backup of a device, its current backup folder in Apple's
// backup root is archived under a dated name (or deleted), and the number of this library's
// backups of the device is kept within a limit. One instance per process. Also the three checks
// the host asks before a backup or restore.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "brackwater/backup.h"

namespace bw {

class CIPhone;

class CBackupPrepareWork : public ::IBackupPrepareWork {
  public:
    CBackupPrepareWork() = default;
    ~CBackupPrepareWork() override = default;

    // The host's entry: the device pointer is checked against the devices this process made.
    void Init(::CIPhone* device, unsigned char deleteCurrent, int32_t maxKept) override;
    void Prepare() override;

    // The library's entry (the deep-clean configuration passes its own device).
    void InitDevice(CIPhone* device, bool deleteCurrent, int32_t maxKept);

    // The folders of the root that count as kept backups of the device (full paths), as the last
    // Prepare or CountKeptBackups found them.
    const std::vector<std::string>& KeptBackups() const { return keptBackups_; }
    int32_t CountKeptBackups();
    // The date text of a backup folder's archive name.
    std::string ArchiveDateText(const std::string& folder) const;

    // The host's choice for the device's current backup folder: deleted (true) or archived.
    bool DeleteCurrent() const { return deleteCurrent_; }
    const std::string& UniqueIdentifier() const { return uniqueIdentifier_; }
    const std::string& SerialNumber() const { return serialNumber_; }
    int64_t TimeZoneOffset() const { return timeZoneOffset_; }
    const std::string& BackupRoot() const { return backupRoot_; }
    const std::string& CurrentFolder() const { return currentFolder_; }

  private:
    void DeleteOldestKeptBackup();

    CIPhone* device_ = nullptr;
    bool deleteCurrent_ = false;
    int32_t maxKept_ = 0;
    std::string uniqueIdentifier_;
    std::string serialNumber_;
    int64_t timeZoneOffset_ = 0;
    std::string backupRoot_;
    std::string currentFolder_;
    std::vector<std::string> keptBackups_;
};

// The process-wide instance, made on the first call.
CBackupPrepareWork* BackupPrepareWorkInstance();

// The device's lockdown value "TimeZoneOffsetFromUTC" as text, read in base 10 up to the first
// character that is not part of the number; 0 when there is no number.
int64_t ParseTimeZoneOffset(const std::string& text);

// The folders of the backup root that count as this library's backups of the device: real
// folders whose name holds the identifier and whose Info.plist holds "Larkspur Version", sorted.
// Empty for an identifier that is not a device identifier.
std::vector<std::string> KeptBackupsOf(const std::string& root, const std::string& udid);

// True when the folder's Info.plist parses and holds "Larkspur Version".
bool IsLibraryBackup(const std::string& folder);

// The checks. A null device (or path) answers false.
bool CheckDeviceBackUpEncryption(CIPhone* device);
bool CheckDeviceRestore(CIPhone* device, const std::string& folder);
bool IsOpeniCloud(CIPhone* device);

}  // namespace bw
