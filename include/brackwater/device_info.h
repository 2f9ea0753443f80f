/* Device information: what a host shows about a connected device (its lockdown values, battery,
 * storage, the space each media category uses, its applications with icons, a screenshot), and
 * the small actions on it (rename, restart). */
#ifndef BRACKWATER_DEVICE_INFO_H
#define BRACKWATER_DEVICE_INFO_H

#include <stddef.h>
#include <stdint.h>

#include "brackwater/base.h"

#ifdef __cplusplus
class CIPhone;
class IAppInfo;
#else
typedef struct CIPhone CIPhone;
typedef struct IAppInfo IAppInfo;
#endif

/* One media category, copied to the host as a plain block of 56 bytes. `category` is "audio",
 * "video", "photo", "application", "book" or "userdata", zero-terminated. */
typedef struct BwMediaCategory {
    int32_t count;        /* number of items */
    BwChar category[22];  /* zero-terminated */
    int64_t physicalSize; /* bytes used */
} BwMediaCategory;
#ifdef __cplusplus
static_assert(sizeof(BwMediaCategory) == 56, "fixed layout");
static_assert(offsetof(BwMediaCategory, category) == 4, "fixed layout");
static_assert(offsetof(BwMediaCategory, physicalSize) == 48, "fixed layout");
#else
_Static_assert(sizeof(BwMediaCategory) == 56, "fixed layout");
_Static_assert(offsetof(BwMediaCategory, category) == 4, "fixed layout");
_Static_assert(offsetof(BwMediaCategory, physicalSize) == 48, "fixed layout");
#endif

/* Bytes the library allocated for the host (a screenshot); released with FreeScreenshot. */
typedef struct BwByteBuffer {
    unsigned char* bytes;
    size_t length;
} BwByteBuffer;

#ifdef __cplusplus
/* The operations in the order hosts rely on. The values are read from the device when the object
 * is made (and again by RefreshStorage); keys and texts are UTF-16 and zero-terminated.
 *
 * Keys: "BarreyCharging" (1 while charging), "CurrentCapacity" (battery percent),
 * "TotalDataAvailable", "TotalDataCapacity", "TotalDiskCapacity", "TotalSystemAvailable",
 * "TotalSystemCapacity", "MobileApplicationUsage" (bytes), "UniqueChipID", "DeviceName",
 * "DeviceColor", "DeviceClass", "PhoneNumber", "ProductType", "ProductVersion", "SerialNumber",
 * "TimeZone", "UniqueDeviceID", "TimeZoneOffsetFromUTC" (seconds), "SupportsWifiSyncing",
 * "SupportsAirTraffic" (0 or 1). Numbers are decimal text; a value the device does not give is
 * "" (text) or "0" (number). */
class IDeviceInfo {
  public:
    /* Copies the value of `key` with its terminating zero into `buffer`, which must be large
     * enough (BrackwaterDeviceInfoValue tells the size); an unknown key leaves it untouched. */
    virtual void GetDeviceValue(const BwChar* key, BwChar* buffer) = 0;
    /* Renames the device; 1 when the device took the name. */
    virtual unsigned char SetDeviceName(const BwChar* name) = 0;
    /* Reads storage and the values again, once a media usage load has finished. */
    virtual void RefreshStorage() = 0;
    /* Asks the device for the space each media category uses; the number of categories (0 when
     * the device did not answer in time). Blocks; one load at a time per process. */
    virtual int32_t LoadMediaUsage() = 0;
    /* Copies category `index`; an index outside 0 to count minus 1 gives an all-zero record. */
    virtual void GetMediaCategory(BwMediaCategory* category, int32_t index) = 0;
    /* The device's user applications with names and icons; the number of them. */
    virtual int32_t LoadApplications() = 0;
    /* The application at `index` (owned by this object), or null outside the list. */
    virtual IAppInfo* GetApplication(int32_t index) = 0;
    /* A picture of the screen as the device sends it (TIFF on older systems, PNG on newer).
     * 1 once the screenshot service could be started; `*screenshot` is then a new buffer, or
     * stays null when the device sent no picture. */
    virtual unsigned char TakeScreenshot(BwByteBuffer** screenshot) = 0;
    /* Releases a buffer from TakeScreenshot and sets the pointer to null; null is ignored. */
    virtual void FreeScreenshot(BwByteBuffer** screenshot) = 0;
    virtual ~IDeviceInfo() = default;
};
#else
typedef struct IDeviceInfo IDeviceInfo;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A new information object for the device, reading its values; null for a null device. The
 * object does not own the device. */
BRACKWATER_API IDeviceInfo* CDeviceInfoNew(CIPhone* device);
/* Releases the object; null is ignored. */
BRACKWATER_API void CDeviceInfoDelete(IDeviceInfo* info);

/* Restarts the device (it leaves and arrives again as a new device). Null is ignored. */
BRACKWATER_API void RestartDevice(CIPhone* device);

/* The value of `key` by the two-call rule: with a null buffer the result is the text's length in
 * UTF-16 characters plus 2; with a buffer of at least that many characters the text and its
 * terminating zero are copied and the result is the same. 0 for an unknown key or a null
 * argument. */
BRACKWATER_API size_t BrackwaterDeviceInfoValue(IDeviceInfo* info, const BwChar* key,
                                                BwChar* buffer);

#ifdef __cplusplus
}
#endif

#endif
