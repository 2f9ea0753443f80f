/* Every public header compiled as C (C11, no extensions): a host written in C includes them too,
 * so their C branches must stay valid. The uses below make the compiler check the declarations a
 * C host relies on, not only that the text parses. */
#include "brackwater/apps.h"
#include "brackwater/backup.h"
#include "brackwater/brackwater.h"
#include "brackwater/deepclean.h"
#include "brackwater/device.h"
#include "brackwater/device_info.h"
#include "brackwater/inspect.h"
#include "brackwater/photo.h"
#include "brackwater/privacy.h"
#include "brackwater/scan.h"

/* Opaque in C: only pointers pass through. */
typedef struct PublicHeadersInC {
    IConnectListener* listener;
    IScanDevice* session;
    IAppInfo* application;
    IDeviceBackUp* run;
    ICreateInfoPlist* info;
    IBackupPrepareWork* preparation;
    CIPhone* device;
    IDeviceInfo* information;
    BwMediaCategory category;
    IPhotoManager* photos;
    IPhotoAlbum* album;
    IPhoto* photo;
    DeviceCallback callback;
    BwOutputSink sink;
    BwBackupSink backupSink;
    BwDirectoryEntry entry;
    BwDeviceFileInfo fileInfo;
    BackupStatus backupStatus;
    BwScanStatus scanStatus;
    BwChar text[BW_SCAN_MESSAGE_CHARS + BW_BACKUP_MESSAGE_CHARS];
} PublicHeadersInC;

_Static_assert(sizeof(BwScanStatus) == 552, "the scan status record as C sees it");
_Static_assert(kJunkRadioHistory == 7 && kResultListCount == 13, "junk types and result lists");
_Static_assert(kBackupModeRestore == 1, "backup modes");
_Static_assert(kDeviceArrived == 1 && kDeviceRemoved == 2, "device callback messages");

/* The exports' types as C function pointers. */
void BrackwaterPublicHeadersInC(void);
void BrackwaterPublicHeadersInC(void) {
    IConnectListener* (*listenerNew)(unsigned char, unsigned char) = ConnectListenerNew;
    IScanDevice* (*scanNew)(CIPhone*) = ScanDeviceNew;
    int (*applications)(CIPhone*, IAppInfo**, int) = BrackwaterDeviceApplications;
    IDeviceBackUp* (*backupNew)(const BwChar*, int32_t, unsigned char, const BwChar*) =
        DeviceBackUpNewEx;
    unsigned char (*complete)(void) = DeepCleanComplete;
    int (*convert)(const BwChar*, const BwChar*, const BwChar*, BwOutputSink, void*) =
        BrackwaterPlistConvert;
    int (*list)(const BwChar*, int, BwOutputSink, void*) = BrackwaterManifestList;
    int (*resave)(const BwChar*) = BrackwaterManifestResave;
    size_t (*version)(BwChar*) = BrackwaterVersion;
    size_t (*lastError)(BwChar*) = BrackwaterLastError;
    size_t (*backupRoot)(BwChar*) = BrackwaterBackupRoot;
    int (*backups)(CIPhone*, BwBackupSink, void*) = BrackwaterDeviceBackups;
    int (*prune)(CIPhone*, int32_t) = BrackwaterPruneBackups;
    int (*removeBackup)(CIPhone*, const BwChar*) = BrackwaterRemoveBackup;
    int32_t (*addToAlbum)(IPhotoManager*, const BwChar* const*, int32_t, const BwChar*) =
        BrackwaterPhotoAddToAlbum;
    void (*backupSink)(void*, const BwChar*, const BwChar*, const BwChar*) = (BwBackupSink)0;
    void (*progress)(void*, int32_t, int32_t, int32_t, const BwChar*) = (BwPhotoSyncProgress)0;
    IDeviceInfo* (*informationNew)(CIPhone*) = CDeviceInfoNew;
    IPhotoManager* (*photosNew)(CIPhone*) = NewPhotoManager;
    size_t (*photoText)(IPhoto*, int32_t, BwChar*) = BrackwaterPhotoText;
    size_t (*albumText)(IPhotoAlbum*, int32_t, BwChar*) = BrackwaterPhotoAlbumText;
    int32_t (*photoNumber)(IPhoto*, int32_t) = BrackwaterPhotoNumber;
    int32_t (*syncResult)(IPhotoManager*) = BrackwaterPhotoSyncResult;
    void (*syncProgress)(IPhotoManager*, BwPhotoSyncProgress, void*) =
        BrackwaterPhotoSetSyncProgress;
    (void)list;
    (void)resave;
    (void)lastError;
    (void)backupRoot;
    (void)backups;
    (void)addToAlbum;
    (void)backupSink;
    (void)progress;
    (void)syncResult;
    (void)syncProgress;
    (void)informationNew;
    (void)photosNew;
    (void)photoText;
    (void)albumText;
    (void)photoNumber;
    (void)listenerNew;
    (void)scanNew;
    (void)applications;
    (void)backupNew;
    (void)complete;
    (void)convert;
    (void)version;
    (void)prune;
    (void)removeBackup;
}
