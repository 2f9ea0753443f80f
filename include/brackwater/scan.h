/* Junk scanning of a connected device: a scan session per device, one junk type per request, the
 * status record the host polls while a scan or clean runs, and the result records the host walks
 * and selects. The library owns every result record; the host never frees one. A result stays
 * valid until the session's next StartScan or its deletion. */
#ifndef BRACKWATER_SCAN_H
#define BRACKWATER_SCAN_H

#include <stddef.h>
#include <stdint.h>

#include "brackwater/base.h"
#include "brackwater/device.h"
#include "brackwater/privacy.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The host's status record, 552 bytes, little-endian. The session zeroes it when the host
 * registers it; afterwards only the library writes it, with plain stores, while the host reads it
 * from another thread. */
typedef struct BwScanStatus {
    double progress;        /* 0: percent of the current scan or clean, 0.0 to 100.0 */
    BwChar message[260];    /* 8: the current message with its terminating zero */
    uint32_t selectedCount; /* 528 */
    uint32_t shownCount;    /* 532: the item count shown to the user */
    uint64_t selectedSize;  /* 536: bytes of the selected items */
    uint32_t extraCount;    /* 544: a scanner's own counter (groups, folders); 0 when none */
    uint8_t finished;       /* 548: 1 once the scan or clean has ended */
    uint8_t busy;           /* 549: 1 while a scan runs, 0 during a clean */
    uint8_t reserved[2];    /* 550: zero */
} BwScanStatus;

#ifdef __cplusplus
static_assert(sizeof(BwScanStatus) == 552, "fixed layout");
static_assert(offsetof(BwScanStatus, progress) == 0, "fixed layout");
static_assert(offsetof(BwScanStatus, message) == 8, "fixed layout");
static_assert(offsetof(BwScanStatus, selectedCount) == 528, "fixed layout");
static_assert(offsetof(BwScanStatus, shownCount) == 532, "fixed layout");
static_assert(offsetof(BwScanStatus, selectedSize) == 536, "fixed layout");
static_assert(offsetof(BwScanStatus, extraCount) == 544, "fixed layout");
static_assert(offsetof(BwScanStatus, finished) == 548, "fixed layout");
static_assert(offsetof(BwScanStatus, busy) == 549, "fixed layout");
static_assert(offsetof(BwScanStatus, reserved) == 550, "fixed layout");
#else
_Static_assert(sizeof(BwScanStatus) == 552, "fixed layout");
_Static_assert(offsetof(BwScanStatus, message) == 8, "fixed layout");
_Static_assert(offsetof(BwScanStatus, selectedCount) == 528, "fixed layout");
_Static_assert(offsetof(BwScanStatus, selectedSize) == 536, "fixed layout");
_Static_assert(offsetof(BwScanStatus, finished) == 548, "fixed layout");
#endif

/* Characters of the message field, including the terminating zero. */
#define BW_SCAN_MESSAGE_CHARS 260

/* Junk types: the number passed to StartScan. Any other number scans nothing. Types 8 to 18 are
 * the private-data scanners, which work on a fresh backup set up for a deep clean (see
 * brackwater/deepclean.h; their records are in brackwater/privacy.h); a type whose scanner is not
 * part of this build scans nothing. */
enum {
    kJunkAppCaches = 0,           /* files in each application's Library/Caches */
    kJunkAppCookies = 1,          /* files in each application's Library/Cookies */
    kJunkAppTemp = 2,             /* files in each application's tmp, Library/tmp and Library/Tmp */
    kJunkCrashLogs = 3,           /* crash logs */
    kJunkDownloads = 4,           /* leftover download files */
    kJunkPhotoThumbnails = 5,     /* photo thumbnail caches */
    kJunkGeneralStorage = 6,      /* files in the general storage folder */
    kJunkRadioHistory = 7,        /* radio listening history */
    kJunkCallHistory = 8,         /* calls, grouped by contact */
    kJunkMessages = 9,            /* conversations with their messages and attachments */
    kJunkSafariTabs = 10,         /* Safari's saved open tabs with their page histories */
    kJunkSafariHistory = 12,      /* pages of Safari's history */
    kJunkSafariCookies = 11,      /* Safari's cookie file, in pages (the cookie-tree slot) */
    kJunkRecentApps = 15,         /* applications that ran recently */
    kJunkPushNotifications = 16,  /* notifications kept for each application */
    kJunkWebAppData = 13,         /* web application caches (before iOS 7), local storage (7) */
    kJunkWebMail = 14,            /* messages kept offline by web mail sites */
    kJunkAppLeftovers = 17,       /* data the backup holds for removed applications */
    kJunkSurplusAttachments = 18, /* attachment files no message refers to */
    kJunkLastType = 18
};

/* Result lists, read through the session's result slots. */
enum {
    kResultFiles = 0,         /* IScanFileInfo: types 3 to 6 */
    kResultSafariTabs = 0,    /* ISuspendStateModel, each with IPageEntriesList items: type 10 */
    kResultSafariHistory = 0, /* IHistoryDataModel: type 12 */
    kResultRadioHistory = 1,  /* IRadioHistoryModel: type 7 */
    kResultApplications = 2,  /* the application records of types 0 to 2, each with its
                                 IAppDetailFile items */
    kResultCallContacts = 3,  /* ICallContactModel: type 8 */
    kResultRecentApps = 0,    /* IAppInfo: type 15 */
    kResultPushStores = 0,    /* IAppPushStoreModel: type 16 */
    kResultWebAppData = 0,    /* ICacheGroupsModel: type 13 */
    kResultWebMail = 0,       /* IMailModel: type 14 */
    kResultAppLeftovers = 7,  /* IAppRemainModel: type 17 */
    kResultChats = 11,        /* ISMSChatModel: type 9 */
    kResultSurplusFiles = 12, /* ISurplusFileModel: type 18 */
    kResultListCount = 13
};

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
/* Text getters take a caller buffer: with a null buffer they return the text's length in
 * characters plus 2; with a buffer of at least that many characters they copy the text and its
 * terminating zero and return the same number. Select (toggle): a true toggle inverts the
 * selected flag; the result is the flag. Every found item starts selected. */
class IScanFileInfo {
  public:
    virtual size_t GetName(BwChar* buffer) = 0;
    virtual size_t GetPath(BwChar* buffer) = 0; /* the full path on the device */
    virtual uint64_t GetSize() = 0;
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual unsigned char GetFlag() = 0; /* a second flag, 0; reserved for the host */
    virtual ~IScanFileInfo() = default;
};

/* One file inside an application's container. */
class IAppDetailFile {
  public:
    virtual size_t GetName(BwChar* buffer) = 0;
    virtual size_t GetPath(BwChar* buffer) = 0; /* the full path inside the container */
    virtual uint64_t GetSize() = 0;
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual unsigned char GetFlag() = 0;
    virtual size_t GetDisplayPath(BwChar* buffer) = 0; /* without the container prefix */
    virtual ~IAppDetailFile() = default;
};

/* One row of the radio listening history. */
class IRadioHistoryModel {
  public:
    virtual size_t GetAlbum(BwChar* buffer) = 0;
    virtual size_t GetArtist(BwChar* buffer) = 0;
    virtual double GetDate() = 0; /* seconds since 2001-01-01 */
    virtual int32_t GetHistoryKey() = 0;
    virtual unsigned char Select(unsigned char toggle) = 0;
    virtual size_t GetStationName(BwChar* buffer) = 0;
    virtual double GetTrackStoreId() = 0;
    virtual size_t GetTitle(BwChar* buffer) = 0;
    virtual int32_t GetTrackKey() = 0;
    virtual ~IRadioHistoryModel() = default;
};

/* A scan session. StartScan and StartClean block the calling thread until the work ends; the host
 * polls the status record meanwhile and may call StopScan from another thread. The result slots
 * answer for the scanner of the last StartScan: item `index` of a list (null outside 0 to count
 * minus 1, or without a scanner), and the list's item count. */
class IScanDevice {
  public:
    virtual void SetStatusRecord(BwScanStatus* record) = 0;
    /* Appends the non-null identifiers, in order; the sandbox scans (types 0 to 2) skip these
     * applications. */
    virtual void SetAppList(const BwChar* const* identifiers, int32_t count) = 0;
    virtual void StartScan(int32_t type) = 0;
    virtual unsigned char IsExtendedType() = 0; /* the last type was 9 to 19 */
    virtual void StopScan() = 0;
    virtual void StartClean() = 0;
    virtual void* GetResult0(int32_t index) = 0; /* IScanFileInfo* */
    virtual int32_t GetResultCount0() = 0;
    virtual void* GetResult1(int32_t index) = 0; /* IRadioHistoryModel* */
    virtual int32_t GetResultCount1() = 0;
    virtual void* GetResult2(int32_t index) = 0; /* application records */
    virtual int32_t GetResultCount2() = 0;
    virtual void* GetResult3(int32_t index) = 0;
    virtual int32_t GetResultCount3() = 0;
    virtual void* GetResult4(int32_t index) = 0;
    virtual int32_t GetResultCount4() = 0;
    virtual void* GetResult5(int32_t index) = 0;
    virtual int32_t GetResultCount5() = 0;
    virtual void* GetResult6(int32_t index) = 0;
    virtual int32_t GetResultCount6() = 0;
    virtual void* GetResult7(int32_t index) = 0;
    virtual int32_t GetResultCount7() = 0;
    virtual void* GetResult8(int32_t index) = 0;
    virtual int32_t GetResultCount8() = 0;
    virtual void* GetResult9(int32_t index) = 0;
    virtual int32_t GetResultCount9() = 0;
    virtual void* GetResult10(int32_t index) = 0;
    virtual int32_t GetResultCount10() = 0;
    virtual void* GetResult11(int32_t index) = 0;
    virtual int32_t GetResultCount11() = 0;
    virtual void* GetResult12(int32_t index) = 0;
    virtual int32_t GetResultCount12() = 0;
    /* The root of the cookie results; null without a scanner. */
    virtual void* GetCookieTree() = 0;
    virtual ~IScanDevice() = default;
};
#else
typedef struct IScanDevice IScanDevice;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A new session for a device from the listener; null for a null or unknown device. */
BRACKWATER_API IScanDevice* ScanDeviceNew(CIPhone* device);
/* Destroys the session with its scanner and results; null is ignored. */
BRACKWATER_API void ScanDeviceDelete(IScanDevice* session);

#ifdef __cplusplus
}
#endif

#endif
