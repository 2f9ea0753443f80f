/* Backup and restore: the backup information file, backup preparation and the checks a host asks
 * before a backup or restore, and the driver of the backup tool with its status record.
 * Host paths are UTF-16 and zero-terminated. */
#ifndef BRACKWATER_BACKUP_H
#define BRACKWATER_BACKUP_H

#include <stddef.h>
#include <stdint.h>

#include "brackwater/base.h"
#include "brackwater/device.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Length of BackupStatus.message in characters, the terminating zero included. */
#define BW_BACKUP_MESSAGE_CHARS 260

/* Owned by the host, filled by the library while a backup or restore runs. The host polls it;
 * `finished` is the last field written. */
typedef struct BackupStatus {
    uint8_t finished; /* 1 when the exchange with the backup tool has ended, in any way */
    double percent;   /* the last progress percentage the tool reported */
    BwChar message[BW_BACKUP_MESSAGE_CHARS]; /* status text for display, zero-terminated */
    uint8_t failed;                          /* 1 when an error result was stored */
    int32_t errorCode; /* the tool's "errorCode"; 1 the tool could not be started; 2 the pipe
                          connection failed */
} BackupStatus;

#ifdef __cplusplus
static_assert(sizeof(BackupStatus) == 544, "fixed layout");
static_assert(offsetof(BackupStatus, finished) == 0, "fixed layout");
static_assert(offsetof(BackupStatus, percent) == 8, "fixed layout");
static_assert(offsetof(BackupStatus, message) == 16, "fixed layout");
static_assert(offsetof(BackupStatus, failed) == 536, "fixed layout");
static_assert(offsetof(BackupStatus, errorCode) == 540, "fixed layout");
#else
_Static_assert(sizeof(BackupStatus) == 544, "fixed layout");
_Static_assert(offsetof(BackupStatus, finished) == 0, "fixed layout");
_Static_assert(offsetof(BackupStatus, percent) == 8, "fixed layout");
_Static_assert(offsetof(BackupStatus, message) == 16, "fixed layout");
_Static_assert(offsetof(BackupStatus, failed) == 536, "fixed layout");
_Static_assert(offsetof(BackupStatus, errorCode) == 540, "fixed layout");
#endif

/* Modes of DeviceBackUpNewEx. */
enum { kBackupModeBackup = 0, kBackupModeRestore = 1 };

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
/* Writes the backup information file ("Info.plist") of a device into a backup folder. */
class ICreateInfoPlist {
  public:
    /* Builds the device's information and replaces folder/Info.plist; 1 when it was written. */
    virtual unsigned char WriteInfoPlist() = 0;
    virtual ~ICreateInfoPlist() = default;
};

/* Moves a device's current backup out of the way before a new backup, and keeps the number of
 * this library's backups of the device within a limit. One per process. */
class IBackupPrepareWork {
  public:
    /* Stores the device, the delete-current flag and the maximum number of kept backups, and
     * reads the device's identifier, serial number and time zone offset. */
    virtual void Init(CIPhone* device, unsigned char deleteCurrent, int32_t maxKept) = 0;
    /* Archives (or, with the delete-current flag, deletes) the device's current backup folder
     * and deletes the oldest kept backup when the limit is reached. */
    virtual void Prepare() = 0;
    virtual ~IBackupPrepareWork() = default;
};

/* One backup or restore through the backup tool. */
class IDeviceBackUp {
  public:
    /* The record the run reports into; it may be null (nothing is reported). The host keeps it
     * alive until `finished` is 1. */
    virtual void SetStatus(BackupStatus* status) = 0;
    /* Starts the run on the library's own threads and returns at once; does nothing when the
     * target identifier is empty. */
    virtual void Start() = 0;
    virtual ~IDeviceBackUp() = default;
};
#else
typedef struct ICreateInfoPlist ICreateInfoPlist;
typedef struct IBackupPrepareWork IBackupPrepareWork;
typedef struct IDeviceBackUp IDeviceBackUp;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Backup information file ---- */

/* A writer of `folder`/Info.plist for the device; it reads the device's identifier now. Null for
 * an unknown device or a null folder. */
BRACKWATER_API ICreateInfoPlist* CreateInfoObjNewEx(CIPhone* device, const BwChar* folder);
/* Destroys the object and sets the pointer to null. */
BRACKWATER_API void CreateInfoObjDelete(ICreateInfoPlist** object);

/* ---- Preparation and checks ---- */

/* The process-wide preparation object, made on the first call and never destroyed. */
BRACKWATER_API IBackupPrepareWork* GetBackupPrepareWorkInstance(void);
/* 1 when the device will make an unencrypted backup; 0 for a null device, an encrypting device,
 * or when no session could be started. */
BRACKWATER_API unsigned char CheckDeviceBackUpEncryptionE(CIPhone* device);
/* 1 only when the folder's "Manifest.plist" parses and holds "IsEncrypted" as boolean true. */
BRACKWATER_API unsigned char CheckDeviceRestoreEx(CIPhone* device, const BwChar* folder);
/* 1 when the device is associated with Find My iPhone. */
BRACKWATER_API unsigned char IsOpeniCloudEx(CIPhone* device);

/* ---- Backup and restore ---- */

/* A run for the device `targetIdentifier` in `mode` (kBackupModeBackup or kBackupModeRestore).
 * `backupFolder` names the backup to restore; its last path component is the source identifier
 * that a restore from a copy uses. Null when memory runs out. */
BRACKWATER_API IDeviceBackUp* DeviceBackUpNewEx(const BwChar* targetIdentifier, int32_t mode,
                                                unsigned char restoreFromCopy,
                                                const BwChar* backupFolder);
/* Destroys the object and sets the pointer to null; a run already started goes on. */
BRACKWATER_API void DeviceBackUpDelete(IDeviceBackUp** object);
/* 1 when folder/Info.plist parses and was written by this library ("Larkspur Version"). */
BRACKWATER_API unsigned char VerifyBackUp(const BwChar* folder);

/* ---- Listing ---- */
/* The folder that holds the backups, by the two-call rule. */
BRACKWATER_API size_t BrackwaterBackupRoot(BwChar* buffer);
/* One kept backup: its folder (full path), "Last Backup Date" text and the library's version;
 * empty texts when the folder's Info.plist lacks them. The texts are valid during the call only. */
typedef void (*BwBackupSink)(void* context, const BwChar* folder, const BwChar* date,
                             const BwChar* version);
/* Calls `sink` for each backup of the device that this library made and keeps in the backup root
 * (its current backup and its archives), in name order; returns their number, -1 for
 * an unknown device. */
BRACKWATER_API int BrackwaterDeviceBackups(CIPhone* device, BwBackupSink sink, void* context);

/* ---- Keeping ---- */
/* For a host that prepares with a limit that removes nothing (so that a failed backup leaves every
 * earlier one) and keeps the number down only after a backup succeeded: removes the device's kept
 * backups, oldest "Last Backup Date" first, until at most `keep` remain. The device's current
 * backup is never removed, nor a backup without a "Last Backup Date". Returns the number removed,
 * -1 for an unknown device or a negative `keep`. */
BRACKWATER_API int BrackwaterPruneBackups(CIPhone* device, int32_t keep);
/* Removes one of the device's kept backups (a folder BrackwaterDeviceBackups lists) other than its
 * current one; 1 when it was removed. Anything else is left alone and answers 0. */
BRACKWATER_API int BrackwaterRemoveBackup(CIPhone* device, const BwChar* folder);

#ifdef __cplusplus
}
#endif

#endif
