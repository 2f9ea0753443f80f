/* The simulator's mobile device library: the C names and LP64 signatures a host looks up with
 * dlsym, served from device images (see sim/README.md). Control functions for tests are in
 * sim_control.h.
 *
 * Handle conventions of this runtime:
 * - AMDeviceRef: a device as it arrived. References are never freed while the process runs, so
 *   a host may keep them after the device left; calls on a device that left fail with
 *   0xE800000B (not connected). A device that arrives again gets a new reference.
 * - AMDServiceConnectionRef: a CF object (release it with CFRelease). Both AMDeviceStartService
 *   and AMDeviceSecureStartService hand one out, as does AMDeviceStartHouseArrestService.
 *   AMDServiceConnectionGetSocket gives a small socket number that stands for the connection.
 * - Older runtimes handed out a socket from AMDeviceStartService and the house-arrest start, and
 *   the AFC connection or service connection made on it took it over. Here the same holds for
 *   the connection those two calls return: the first AFCConnectionOpen or
 *   AMDServiceConnectionCreate on it takes over the caller's reference and releases it when it
 *   closes (AFCConnectionClose) or is released. A connection from AMDeviceSecureStartService
 *   stays the caller's to release; an AFC connection on it keeps it alive until AFCConnectionClose.
 * - Functions whose first argument is "socketOrConnection" (AFCConnectionOpen, the notification
 *   functions, AMDServiceConnectionCreate, the application functions) accept either a service
 *   connection or its socket number, passed as a pointer-sized value.
 * - Connections of a device on the network come with a secure context
 *   (AMDServiceConnectionGetSecureIOContext is not NULL); AFC on them fails with 11 (not
 *   connected) until AFCConnectionSetSecureContext attached that context, as an SSL socket drops
 *   a peer that speaks plain text.
 * - AFCConnectionRef, AFCDirectoryRef, AFCKeyValueRef, AMDeviceNotificationRef: opaque values
 *   that are never reused, so a stale one fails (AFC status 7) instead of reaching another object.
 * - AFCFileRef: a 64-bit number, never 0 for an open file.
 *
 * Statuses: the AMDevice and service functions return 0 or an AMD error (0xE80000xx); the AFC
 * functions return AFC protocol codes (0 success, 7 invalid argument, 8 not found, 9 is a
 * directory, 10 permission denied, 11 not connected, 16 exists, 19 would block, ...). Removing a
 * folder that is not empty fails with 1, the device's own answer to that request.
 */
#ifndef BRACKWATER_SIM_MOBILEDEVICE_MOBILEDEVICE_H
#define BRACKWATER_SIM_MOBILEDEVICE_MOBILEDEVICE_H

#include <stddef.h>
#include <stdint.h>

/* Relative, so that the header needs no include path of its own. */
#include "../cf/CoreFoundation.h"

#define BW_SIM_MD_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef struct BwSimAMDevice* AMDeviceRef;
typedef struct BwSimAMDeviceNotification* AMDeviceNotificationRef;
typedef CFTypeRef AMDServiceConnectionRef;
typedef struct BwSimAFCConnection* AFCConnectionRef;
typedef struct BwSimAFCDirectory* AFCDirectoryRef;
typedef struct BwSimAFCKeyValue* AFCKeyValueRef;
typedef uint64_t AFCFileRef;

/* Messages of the device notification callback. */
enum { kAMDeviceAttached = 1, kAMDeviceDetached = 2 };

struct am_device_notification_callback_info {
    AMDeviceRef dev;                      /* offset 0 */
    uint32_t msg;                         /* offset 8 */
    AMDeviceNotificationRef subscription; /* offset 16 */
};
#ifdef __cplusplus
static_assert(offsetof(am_device_notification_callback_info, msg) == 8, "LP64 layout");
static_assert(offsetof(am_device_notification_callback_info, subscription) == 16, "LP64 layout");
static_assert(sizeof(am_device_notification_callback_info) == 24, "LP64 layout");
#endif

typedef void (*am_device_notification_callback)(struct am_device_notification_callback_info* info,
                                                void* context);
typedef void (*am_restore_device_callback)(void* restoreDevice, void* userInfo);
typedef void (*am_notification_proxy_callback)(CFStringRef name, void* context);
typedef void (*am_install_callback)(CFDictionaryRef status, void* context);

/* Device notifications. Callbacks run on one simulator thread, one at a time, in order. */
BW_SIM_MD_EXPORT int AMDeviceNotificationSubscribe(am_device_notification_callback callback,
                                                   unsigned int unused0, unsigned int unused1,
                                                   void* context,
                                                   AMDeviceNotificationRef* outNotification);
BW_SIM_MD_EXPORT int AMDeviceNotificationUnsubscribe(AMDeviceNotificationRef notification);
/* Restore-mode devices: the four callbacks are stored; BwSimFireRestoreCallback calls them. */
BW_SIM_MD_EXPORT unsigned int AMRestoreRegisterForDeviceNotifications(
    am_restore_device_callback dfuConnect, am_restore_device_callback recoveryConnect,
    am_restore_device_callback dfuDisconnect, am_restore_device_callback recoveryDisconnect,
    unsigned int unknown0, void* userInfo);

/* Devices, pairing and sessions. */
BW_SIM_MD_EXPORT void AMDeviceRetain(AMDeviceRef device);
BW_SIM_MD_EXPORT void AMDeviceRelease(AMDeviceRef device);
BW_SIM_MD_EXPORT CFStringRef AMDeviceCopyDeviceIdentifier(AMDeviceRef device);
BW_SIM_MD_EXPORT int AMDeviceGetInterfaceType(AMDeviceRef device);
BW_SIM_MD_EXPORT int AMDeviceConnect(AMDeviceRef device);
BW_SIM_MD_EXPORT int AMDeviceDisconnect(AMDeviceRef device);
BW_SIM_MD_EXPORT int AMDeviceIsPaired(AMDeviceRef device);
BW_SIM_MD_EXPORT int AMDevicePair(AMDeviceRef device);
BW_SIM_MD_EXPORT int AMDeviceValidatePairing(AMDeviceRef device);
BW_SIM_MD_EXPORT int AMDeviceStartSession(AMDeviceRef device);
BW_SIM_MD_EXPORT int AMDeviceStopSession(AMDeviceRef device);
BW_SIM_MD_EXPORT int AMSInitialize(void);
/* The attached devices in the order they arrived (+1 CFArray). Device references are not CF
 * objects here (they are never freed), so the array holds them without retaining them. */
BW_SIM_MD_EXPORT CFArrayRef AMDCreateDeviceList(void);

/* Lockdown values: NULL domain = the default domain, NULL key = the whole domain. +1 result. */
BW_SIM_MD_EXPORT CFTypeRef AMDeviceCopyValue(AMDeviceRef device, CFStringRef domain,
                                             CFStringRef key);
BW_SIM_MD_EXPORT int AMDeviceSetValue(AMDeviceRef device, CFStringRef domain, CFStringRef key,
                                      CFTypeRef value);
BW_SIM_MD_EXPORT int AMDeviceGetWirelessBuddyFlags(AMDeviceRef device, long* outFlags);

/* Services. */
BW_SIM_MD_EXPORT int AMDeviceStartService(AMDeviceRef device, CFStringRef serviceName,
                                          AMDServiceConnectionRef* outHandle,
                                          unsigned int* unknown);
BW_SIM_MD_EXPORT int AMDeviceSecureStartService(AMDeviceRef device, CFStringRef serviceName,
                                                CFDictionaryRef options,
                                                AMDServiceConnectionRef* outConnection);
BW_SIM_MD_EXPORT int AMDeviceStartHouseArrestService(AMDeviceRef device, CFStringRef bundleId,
                                                     CFDictionaryRef options,
                                                     AMDServiceConnectionRef* outHandle,
                                                     unsigned int* unknown);
BW_SIM_MD_EXPORT AMDServiceConnectionRef AMDServiceConnectionCreate(const void* socketOrConnection,
                                                                    void* secureContext,
                                                                    CFDictionaryRef options);
BW_SIM_MD_EXPORT int AMDServiceConnectionGetSocket(AMDServiceConnectionRef connection);
BW_SIM_MD_EXPORT void* AMDServiceConnectionGetSecureIOContext(AMDServiceConnectionRef connection);
/* Bytes sent (all of them) or -1. Messages are framed as a 4-byte big-endian length and a
 * property list; the service answers each request with whole messages. */
BW_SIM_MD_EXPORT int AMDServiceConnectionSend(AMDServiceConnectionRef connection, const void* bytes,
                                              size_t length);
/* Bytes received (at most length), 0 once the connection is closed, -1 on error or when nothing
 * arrives within a second. */
BW_SIM_MD_EXPORT int AMDServiceConnectionReceive(AMDServiceConnectionRef connection, void* buffer,
                                                 size_t length);
BW_SIM_MD_EXPORT void AMDServiceConnectionInvalidate(AMDServiceConnectionRef connection);

/* The notification proxy ("com.apple.mobile.notification_proxy"). */
BW_SIM_MD_EXPORT int AMDObserveNotification(const void* socketOrConnection, CFStringRef name);
BW_SIM_MD_EXPORT int AMDPostNotification(const void* socketOrConnection, CFStringRef name,
                                         CFStringRef userInfo);
BW_SIM_MD_EXPORT int AMDListenForNotifications(const void* socketOrConnection,
                                               am_notification_proxy_callback callback,
                                               void* context);

/* Applications. Lookup needs a session and answers {bundle identifier: attributes}, options as
 * the "ClientOptions" of an installation-proxy browse; the others are not simulated and answer
 * 0xE800000F. */
BW_SIM_MD_EXPORT int AMDeviceLookupApplications(AMDeviceRef device, CFDictionaryRef options,
                                                CFDictionaryRef* outApplications);
BW_SIM_MD_EXPORT int AMDeviceInstallApplication(const void* socketOrConnection, CFStringRef path,
                                                CFDictionaryRef options,
                                                am_install_callback callback, void* context);
BW_SIM_MD_EXPORT int AMDeviceUninstallApplication(const void* socketOrConnection,
                                                  CFStringRef bundleId, CFDictionaryRef options,
                                                  am_install_callback callback, void* context);
BW_SIM_MD_EXPORT int AMDeviceArchiveApplication(const void* socketOrConnection,
                                                CFStringRef bundleId, CFDictionaryRef options,
                                                am_install_callback callback, void* context);
BW_SIM_MD_EXPORT int AMDeviceRemoveApplicationArchive(const void* socketOrConnection,
                                                      CFStringRef bundleId, CFDictionaryRef options,
                                                      am_install_callback callback, void* context);

/* AFC. Paths are UTF-8 with "/" and never leave the service's root: "." and ".." are resolved
 * against the root (".." at the root stays there) and a link that points outside the root reads
 * as a link in listings and file information, but opening through it fails with 8. */
BW_SIM_MD_EXPORT int AFCConnectionOpen(const void* socketOrConnection, unsigned int ioTimeout,
                                       AFCConnectionRef* outConnection);
BW_SIM_MD_EXPORT void AFCConnectionSetSecureContext(AFCConnectionRef connection,
                                                    void* secureContext);
/* Closes the connection, its open files and the service connection under it. */
BW_SIM_MD_EXPORT int AFCConnectionClose(AFCConnectionRef connection);

/* Keys "Model", "FSTotalBytes", "FSFreeBytes", "FSBlockSize"; values are decimal text. */
BW_SIM_MD_EXPORT int AFCDeviceInfoOpen(AFCConnectionRef connection, AFCKeyValueRef* outInfo);
/* Keys "st_size", "st_blocks", "st_nlink", "st_ifmt", "st_mtime", "st_birthtime" (nanoseconds
 * since 1970), and "LinkTarget" for links. The path's last part is not followed. */
BW_SIM_MD_EXPORT int AFCFileInfoOpen(AFCConnectionRef connection, const char* path,
                                     AFCKeyValueRef* outInfo);
/* 0 with both strings NULL after the last pair. The strings belong to the iterator. */
BW_SIM_MD_EXPORT int AFCKeyValueRead(AFCKeyValueRef info, char** outKey, char** outValue);
BW_SIM_MD_EXPORT int AFCKeyValueClose(AFCKeyValueRef info);

/* A listing taken when the folder is opened: ".", "..", then the names in byte order. */
BW_SIM_MD_EXPORT int AFCDirectoryOpen(AFCConnectionRef connection, const char* path,
                                      AFCDirectoryRef* outDirectory);
/* 0 with *outName NULL after the last name. The name belongs to the listing. */
BW_SIM_MD_EXPORT int AFCDirectoryRead(AFCConnectionRef connection, AFCDirectoryRef directory,
                                      char** outName);
BW_SIM_MD_EXPORT int AFCDirectoryClose(AFCConnectionRef connection, AFCDirectoryRef directory);
/* The simulator's own, which a real runtime lacks (callers look it up as optional): a listing
 * whose entries carry their file information, taken in the same exchange as the names. Opened
 * like AFCDirectoryOpen (same statuses) and closed with AFCDirectoryClose. Each read gives the
 * next name and its information as AFCFileInfoOpen of the entry's path would give it, laid out as
 * key, NUL, value, NUL, ... and ended by an empty key; "." and "..", and an entry whose
 * information could not be read, carry an empty list. Both NULL at the end; both stay valid until
 * the listing is closed. Reading a listing that AFCDirectoryOpen opened: status 7. */
BW_SIM_MD_EXPORT int BwSimDirectoryOpenWithInfo(AFCConnectionRef connection, const char* path,
                                                AFCDirectoryRef* outDirectory);
BW_SIM_MD_EXPORT int BwSimDirectoryReadWithInfo(AFCConnectionRef connection,
                                                AFCDirectoryRef directory, char** outName,
                                                char** outInfo);
/* Creates missing parents too; an existing folder is success. */
BW_SIM_MD_EXPORT int AFCDirectoryCreate(AFCConnectionRef connection, const char* path);
BW_SIM_MD_EXPORT int AFCRemovePath(AFCConnectionRef connection, const char* path);
BW_SIM_MD_EXPORT int AFCRenamePath(AFCConnectionRef connection, const char* from, const char* to);

/* Modes (low 32 bits only): 1 r, 2 r+ (create), 3 w (create, truncate), 4 w+, 5 a, 6 a+. */
BW_SIM_MD_EXPORT int AFCFileRefOpen(AFCConnectionRef connection, const char* path, uint64_t mode,
                                    AFCFileRef* outFile);
/* *inOutLength: only its low 32 bits are read and written, so callers that pass a uint32_t work
 * as well as those that pass a size_t. 0 bytes read means the end of the file. */
BW_SIM_MD_EXPORT int AFCFileRefRead(AFCConnectionRef connection, AFCFileRef file, void* buffer,
                                    size_t* inOutLength);
/* Only the low 32 bits of length count, for the same reason. */
BW_SIM_MD_EXPORT int AFCFileRefWrite(AFCConnectionRef connection, AFCFileRef file,
                                     const void* buffer, size_t length);
/* whence (low 32 bits): 0 from the start, 1 from the current position, 2 from the end. */
BW_SIM_MD_EXPORT int AFCFileRefSeek(AFCConnectionRef connection, AFCFileRef file, int64_t offset,
                                    uint64_t whence);
/* Writes only the low 32 bits of the position, as AFCFileRefRead does with its length. */
BW_SIM_MD_EXPORT int AFCFileRefTell(AFCConnectionRef connection, AFCFileRef file,
                                    uint64_t* outPosition);
BW_SIM_MD_EXPORT int AFCFileRefSetFileSize(AFCConnectionRef connection, AFCFileRef file,
                                           uint64_t size);
/* Any non-zero `exclusive` asks for an exclusive lock (two-argument callers leave garbage
 * there); 19 when another holder has it. */
BW_SIM_MD_EXPORT int AFCFileRefLock(AFCConnectionRef connection, AFCFileRef file,
                                    unsigned char exclusive);
BW_SIM_MD_EXPORT int AFCFileRefUnlock(AFCConnectionRef connection, AFCFileRef file);
BW_SIM_MD_EXPORT int AFCFileRefClose(AFCConnectionRef connection, AFCFileRef file);
BW_SIM_MD_EXPORT int AFCFlushData(AFCConnectionRef connection, AFCFileRef file);

#ifdef __cplusplus
}
#endif

#endif /* BRACKWATER_SIM_MOBILEDEVICE_MOBILEDEVICE_H */
