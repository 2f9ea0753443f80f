/* Deep clean: working folders for a device's backup, in which the privacy scanners edit copies of
 * the backup's files, and the completion that writes the edited files and the changed manifest
 * back into the device's backup folder before it is restored.
 *
 * Order of use: back the device up, CreateConfigureToolExIn, the privacy scans and cleans,
 * DeepCleanComplete, restore the device's backup folder. The work lives in one process-wide
 * object that is made on first use and never destroyed. */
#ifndef BRACKWATER_DEEPCLEAN_H
#define BRACKWATER_DEEPCLEAN_H

#include "brackwater/base.h"
#include "brackwater/device.h"
#include "brackwater/scan.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Stores the work path and the device. With a device: makes fresh folders
 * <work path>/DeviceBackup/Backup/<device identifier> (untouched copies and "BackupInfo.plist")
 * and <work path>/DeviceBackup/Restore/<device identifier> (the working copies), keeping or
 * deleting earlier ones as the backup preparation's delete-current flag says, starts the
 * configuration from the backup's "Info.plist" and copies the backup's manifest files. A deep
 * clean that an earlier process left unfinished is finished first. Returns 1 when the backup's
 * manifest was found and copied, so that the scanners can get their files; else 0. */
BRACKWATER_API unsigned char CreateConfigureToolExIn(CIPhone* device, const BwChar* workPath);

/* Writes the configuration as "BackupInfo.plist" (binary) into the backup copy folder. 1 when it
 * was written; 0 when the configuration is empty or the folder is not set up. */
BRACKWATER_API unsigned char CreateBackupInfo(void);

/* Applies the configuration to the device's backup folder: edited working copies replace their
 * backup files and their manifest records get the new size and hash; delete entries take their
 * files and records out; each entry's "Result" (and "Outcome" text) tells what happened. Every
 * file of the backup folder is replaced by a rename of a complete file, and nothing outside the
 * three folders is read or written. Then writes "BackupInfo.plist"; returns as
 * CreateBackupInfo. */
BRACKWATER_API unsigned char DeepCleanComplete(void);

/* Sets the configuration up over an existing backup folder without its device, for reading it:
 * `udid` and `productVersion` stand for the device's "UniqueDeviceID" and "ProductVersion" (a
 * backup's Info.plist has them as "Unique Identifier" and "Product Version"), and the working
 * folders go below `workPath`, fresh (earlier ones there are deleted). Set-up and scans only read
 * `backupFolder`; DeepCleanComplete after it would write into it. Returns as
 * CreateConfigureToolExIn; 0 for a null argument or an identifier that is no device's. */
BRACKWATER_API unsigned char BrackwaterDeepCleanFromFolder(const BwChar* backupFolder,
                                                           const BwChar* udid,
                                                           const BwChar* productVersion,
                                                           const BwChar* workPath);

/* A scan session without a device, for the scanners that read only the deep-clean configuration
 * (calls, messages, surplus attachment files); release it with ScanDeviceDelete. Null when memory
 * runs out. */
BRACKWATER_API IScanDevice* BrackwaterScanBackupNew(void);

#ifdef __cplusplus
}
#endif

#endif
