/* Devices: the connection listener, arrival and removal of devices, and their file service.
 * A connected device is a CIPhone, which the host holds as an opaque pointer and passes to the
 * other factories. */
#ifndef BRACKWATER_DEVICE_H
#define BRACKWATER_DEVICE_H

#include <stddef.h>
#include <stdint.h>

#include "brackwater/base.h"

#ifdef __cplusplus
#include <list>

class CIPhone;
class IConnectListener;
#else
typedef struct CIPhone CIPhone;
typedef struct IConnectListener IConnectListener;
#endif

/* Messages of the device callback. */
enum {
    kDeviceArrived = 1,       /* a device arrived and was opened; it is in the device list */
    kDeviceRemoved = 2,       /* a listed device left; the pointer stays valid (see below) */
    kRestoreDeviceEvent1 = 3, /* restore-mode notifications, in the order the runtime */
    kRestoreDeviceEvent2 = 4, /* registers them: 3 for its first callback, 5 for the */
    kRestoreDeviceEvent3 = 5, /* second, 4 for the third and 6 for the fourth */
    kRestoreDeviceEvent4 = 6
};

/* Called on the runtime's notification thread; it should return quickly. */
typedef void (*DeviceCallback)(CIPhone* device, uint32_t message, void* context);

#ifdef __cplusplus
typedef std::list<CIPhone*> DeviceList;

class IConnectListener {
  public:
    virtual unsigned char IsListening() = 0;
    virtual void StartListening() = 0;
    virtual void StopListening() = 0;
    /* Waits up to `seconds` for a device to be listed; a device still opening is waited for. */
    virtual void WaitForDevice(int32_t seconds, CIPhone** device) = 0;
    /* toCaller set: `list` becomes a copy of the device list; clear: the reverse. */
    virtual void CopyDeviceList(DeviceList& list, unsigned char toCaller) = 0;
    /* A null callback is ignored. */
    virtual void SetCallback(DeviceCallback callback, void* context) = 0;
    virtual ~IConnectListener() = default;
};
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Creates the listener once per process (loading the device runtime) and stores the two flags:
 * whether to open each device's whole file system too ("com.apple.afc2") and whether to accept
 * devices connected over the network. Removed devices stay valid objects for as long as the
 * process runs: their operations fail, but a host that still holds one never touches freed
 * memory. */
BRACKWATER_API IConnectListener* ConnectListenerNew(unsigned char openFullFileSystemTwin,
                                                    unsigned char acceptNetworkDevices);
BRACKWATER_API void ConnectListenerDelete(void);
/* The runtime's device reference of a device; null for a null pointer. */
BRACKWATER_API void* GetDeviceHandle(CIPhone* device);

/* ---- Device values and files, for hosts that show or move a device's files ---- */

/* Text of a device value by the two-call rule, read in a short lockdown session: `domain` may be
 * null; `key` is a lockdown key such as "DeviceName", "ProductType" or "ProductVersion"; the key
 * "UniqueDeviceID" answers the device's identifier without a session. The call with the buffer
 * copies the text measured by the call without it, so the two agree even if the device's value
 * changed in between. 0 when there is no such value (an empty one), and a buffer then receives
 * only the zero. */
BRACKWATER_API size_t BrackwaterDeviceValue(CIPhone* device, const BwChar* domain,
                                            const BwChar* key, BwChar* buffer);
/* 1 USB, 2 network, 0 unknown. */
BRACKWATER_API int BrackwaterDeviceInterfaceType(CIPhone* device);
/* The object for the device's whole file system, when it could be opened; else null. */
BRACKWATER_API CIPhone* BrackwaterDeviceFullFileSystem(CIPhone* device);

typedef struct BwDeviceFileInfo {
    uint64_t size;
    uint64_t modifiedTime; /* nanoseconds since 1970 */
    uint64_t birthTime;    /* nanoseconds since 1970; 0 when the device does not tell */
    int32_t fileType;      /* 1 file, 2 folder (also a link to one), 6 link, 3-5, 7, 8 others */
    int32_t reserved;
} BwDeviceFileInfo;
#ifdef __cplusplus
static_assert(sizeof(BwDeviceFileInfo) == 32, "fixed layout");
#else
_Static_assert(sizeof(BwDeviceFileInfo) == 32, "fixed layout");
#endif

/* Device paths use "/" (a backslash counts as one) and are joined to "/". Results: 1 success,
 * 0 failure. */
BRACKWATER_API int BrackwaterDeviceFileInfo(CIPhone* device, const BwChar* path,
                                            BwDeviceFileInfo* info);
/* Calls `entry` for each entry of the folder except "." and "..", in the device's order; `info`
 * is null unless `withInfo` is set, and then null for an entry whose information cannot be read. */
typedef void (*BwDirectoryEntry)(void* context, const BwChar* name, const BwDeviceFileInfo* info);
BRACKWATER_API int BrackwaterDeviceListDirectory(CIPhone* device, const BwChar* path, int withInfo,
                                                 BwDirectoryEntry entry, void* context);
BRACKWATER_API int BrackwaterDeviceCopyFromDevice(CIPhone* device, const BwChar* devicePath,
                                                  const BwChar* hostPath);
BRACKWATER_API int BrackwaterDeviceCopyToDevice(CIPhone* device, const BwChar* hostPath,
                                                const BwChar* devicePath);
/* Stops a copy from the device running on another thread, after its current block. */
BRACKWATER_API void BrackwaterDeviceCancelCopy(CIPhone* device);
/* Removes a file or an empty folder; with `recursive` a folder and everything below it. */
BRACKWATER_API int BrackwaterDeviceRemove(CIPhone* device, const BwChar* path, int recursive);
BRACKWATER_API int BrackwaterDeviceMakeDirectory(CIPhone* device, const BwChar* path);

#ifdef __cplusplus
}
#endif

#endif
