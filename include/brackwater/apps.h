/* Installed applications: the user applications of a device with their names, bundle identifiers
 * and icons, as IAppInfo records that the library owns. The same interface carries the
 * per-application results of the sandbox scans (application caches, cookies and temporary files),
 * whose child items are the files found. */
#ifndef BRACKWATER_APPS_H
#define BRACKWATER_APPS_H

#include <stddef.h>
#include <stdint.h>

#include "brackwater/base.h"

/* The device, as brackwater/device.h declares it; repeated here so that this header does not
 * depend on the order in which the public headers are included. */
#ifdef __cplusplus
class CIPhone;
#else
typedef struct CIPhone CIPhone;
#endif

#ifdef __cplusplus
/* One file found in an application's sandbox; declared with the scan results. */
class IAppDetailFile;

/* The operations in the order hosts rely on. Texts and bytes follow the two-call pattern: a call
 * with a null buffer returns the size and writes nothing; a call with a buffer of at least that
 * size copies and returns the same size. */
class IAppInfo {
  public:
    /* The child item at `index` (sandbox scan results only); null outside 0 to count minus 1 and
     * for installed-application records. */
    virtual IAppDetailFile* GetItem(int32_t index) = 0;
    /* Bytes of the PNG icon; 0 when the application has none. */
    virtual size_t GetIconData(unsigned char* buffer) = 0;
    /* The display name's length in UTF-16 characters plus 2; copies the name and a terminating
     * zero. */
    virtual size_t GetName(BwChar* buffer) = 0;
    /* The bundle identifier, the same way. */
    virtual size_t GetIdentifier(BwChar* buffer) = 0;
    /* A non-zero argument flips the selected flag; returns the flag. */
    virtual unsigned char Selected(unsigned char toggle) = 0;
    /* Number of files found (sandbox scan results; 0 for installed-application records). */
    virtual int32_t GetItemCount() = 0;
    /* Total size in bytes of the files found. */
    virtual uint64_t GetTotalSize() = 0;
    /* A count kept by the scan (0 for installed-application records). */
    virtual int32_t GetKindCount() = 0;
    /* The same total as GetTotalSize, kept in its own slot for hosts that call it there. */
    virtual uint64_t GetTotalSizeSecondEntry() = 0;
    virtual ~IAppInfo() = default;
};
#else
typedef struct IAppInfo IAppInfo;
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The installed user applications of `device` (system applications are never listed), in bundle
 * identifier order, with names and icons. Two calls: with null `records` or `capacity` 0 the
 * result is the number of applications; otherwise up to `capacity` record pointers are written
 * and the result is still the full number. The records belong to the library and stay valid
 * while the process runs; a later call for the same device gives the same records as long as
 * the device's applications did not change. The list is read from the device once and reused;
 * asking for another device reads that device's list. 0 for an unknown device or when the
 * device's installation service cannot be started. */
BRACKWATER_API int BrackwaterDeviceApplications(CIPhone* device, IAppInfo** records, int capacity);

#ifdef __cplusplus
}
#endif

#endif
