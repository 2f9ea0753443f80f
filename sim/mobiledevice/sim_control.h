/* Control functions of the simulator's mobile device library, for tests and the command-line
 * host: devices arrive and leave, counters of what is open, injected failures, restore-mode
 * callbacks and device-side notifications. Plain C, exported beside the runtime's names.
 *
 * The environment variable BRACKWATER_SIM_IMAGES (image folders separated by ":") attaches those
 * images the first time the runtime or these functions are used, so that every process that
 * loads the library sees the same devices.
 */
#ifndef BRACKWATER_SIM_MOBILEDEVICE_SIM_CONTROL_H
#define BRACKWATER_SIM_MOBILEDEVICE_SIM_CONTROL_H

#include <stddef.h>

/* Relative, so that the header needs no include path of its own. */
#include "../cf/CoreFoundation.h"

#define BW_SIM_CONTROL_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* What is open right now. None of them goes below zero. */
typedef struct BwSimCounters {
    long attachedDevices;           /* images attached and not detached */
    long connectedDevices;          /* AMDeviceConnect minus AMDeviceDisconnect, over devices */
    long sessions;                  /* lockdown sessions started and not stopped */
    long serviceConnections;        /* service connections not yet invalidated or closed */
    long afcConnections;            /* AFCConnectionOpen minus AFCConnectionClose */
    long afcFiles;                  /* open AFCFileRefs */
    long directories;               /* open AFCDirectoryRefs */
    long keyValueIterators;         /* open AFCKeyValueRefs (file and device information) */
    long notificationSubscriptions; /* AMDeviceNotificationSubscribe minus Unsubscribe */
    long airTrafficConnections;     /* AirTraffic host connections with a reference left */
} BwSimCounters;

/* Attaches the image in `imageFolder`: the device arrives (message 1 to every subscription).
 * Its "UniqueDeviceID" is copied into udidOut (NUL-terminated) when udidOut is not NULL.
 * 0 on success; -1 when the folder is no image, the identifier does not fit in udidSize bytes, or
 * a device with the same identifier is attached (BwSimLastError says which). */
BW_SIM_CONTROL_EXPORT int BwSimAttach(const char* imageFolder, char* udidOut, size_t udidSize);

/* The device leaves (message 2 to every subscription): its lockdown connection and session end;
 * its AirTraffic links end at once (their hosts read "ConnectionInvalid"); other service and AFC
 * connections on it stay open until their holder closes them, and fail. A device that is
 * restarting does not come back. 0 on success, -1 when no device with that identifier is
 * attached. */
BW_SIM_CONTROL_EXPORT int BwSimDetach(const char* udid);

/* Detaches every attached device (and keeps restarting ones away); the number detached. */
BW_SIM_CONTROL_EXPORT int BwSimDetachAll(void);

BW_SIM_CONTROL_EXPORT void BwSimGetCounters(BwSimCounters* counters);

/* The next `count` calls of the runtime function `functionName` whose detail matches return
 * `status` without doing anything. `detail` NULL matches every call; otherwise it must equal the
 * call's detail: the service name of the service starts, the bundle identifier of the
 * house-arrest start, the key of AMDeviceCopyValue and AMDeviceSetValue, the path of the AFC
 * path functions (the first path of AFCRenamePath), the notification name of the notification
 * functions. Functions that return no status fail in their own way: NULL from the Copy and
 * Create functions, 0 from AMDeviceIsPaired, -1 from AMDServiceConnectionSend/Receive/GetSocket.
 * 0 on success, -1 for a NULL name or a count below 1. The environment variable
 * BRACKWATER_SIM_FAILURES arms failures when the library loads, for programs a test starts:
 * "FUNCTION,DETAIL,STATUS,COUNT" entries separated by ";" (an empty DETAIL matches any call). */
BW_SIM_CONTROL_EXPORT int BwSimInjectFailure(const char* functionName, const char* detail,
                                             int status, int count);
BW_SIM_CONTROL_EXPORT void BwSimClearFailures(void);

/* Holds one call, so that a test can act while the runtime is at a known point: the `nth` next
 * call (1 = the next) of `functionName` whose detail matches (as for BwSimInjectFailure) waits,
 * before it does anything, until BwSimRelease. One hold at a time. 0 on success, -1 for a NULL
 * name, `nth` below 1, or a hold armed or held already. */
BW_SIM_CONTROL_EXPORT int BwSimBlockCall(const char* functionName, const char* detail, int nth);
/* 0 once the held call waits, -1 when timeoutMs passed first. */
BW_SIM_CONTROL_EXPORT int BwSimWaitBlocked(int timeoutMs);
/* Lets the held call go on; disarms a hold that no call has reached yet. */
BW_SIM_CONTROL_EXPORT void BwSimRelease(void);

/* Calls the restore-mode callback registered at position `index` (0 to 3, in the argument order
 * of AMRestoreRegisterForDeviceNotifications) on the notification thread, with a restore-mode
 * device pointer and the registered user pointer. 0 when a callback was queued, -1 otherwise. */
BW_SIM_CONTROL_EXPORT int BwSimFireRestoreCallback(int index);

/* Returns 0 once every queued callback (device, restore-mode and notification-proxy) has been
 * delivered, -1 when timeoutMs passed first or when called from a callback. */
BW_SIM_CONTROL_EXPORT int BwSimWaitForNotifications(int timeoutMs);

/* Posts `name` on the attached device, as an app on it would: every notification proxy of the
 * device that observes the name relays it (to its AMDListenForNotifications callback, or as a
 * "RelayNotification" message). The number of proxies that relay it, or -1 when no device with
 * that identifier is attached. */
BW_SIM_CONTROL_EXPORT int BwSimPostDeviceNotification(const char* udid, const char* name);

/* How many times the host posted `name` to the device with AMDPostNotification (or a
 * "PostNotification" message) since the device was attached; -1 when no device with that
 * identifier is attached. */
BW_SIM_CONTROL_EXPORT long BwSimCountHostNotifications(const char* udid, const char* name);

/* How long the device `udid` stays away when "com.apple.mobile.diagnostics_relay" restarts it,
 * for every later restart of it (0: it arrives again at once); a negative value goes back to its
 * image's "RestartSeconds" switch. 0 on success, -1 for a NULL or empty identifier. */
BW_SIM_CONTROL_EXPORT int BwSimSetRestartDelay(const char* udid, int milliseconds);

/* Waits until every restart and shutdown asked of the device `udid` has finished (a restarted
 * device is attached again, a shut-down one has left) and the notifications about it have been
 * delivered. 0 then; -1 when none was asked for, a restarted device could not come back, or
 * timeoutMs passed first (BwSimLastError says which). */
BW_SIM_CONTROL_EXPORT int BwSimWaitForRestart(const char* udid, int timeoutMs);

/* The device's side of AirTraffic ("com.apple.atc"). Each call acts on the attached device
 * `udid`; -1 (BwSimLastError says why) when none is attached or an argument is wrong.
 *
 * Queues the message {"Command": command, "Params": params} for the device to send on each of
 * its open AirTraffic links, after the delay in force; `paramsXml` is an XML property list whose
 * top level is a dictionary (NULL: empty Params). A NULL command sends a message without
 * "Command", which hosts must skip. The number of links it was queued on. */
BW_SIM_CONTROL_EXPORT int BwSimAirTrafficQueueMessage(const char* udid, const char* command,
                                                      const char* paramsXml);
/* The host information ("HostInfo" of the Params) of the last "HostInfo" a host sent the device, as
 * an XML property list: its length in bytes, copied with a terminating NUL when `size` exceeds it;
 * -1 when none came. */
BW_SIM_CONTROL_EXPORT long BwSimAirTrafficHostInfo(const char* udid, char* xml, size_t size);
/* silent != 0: the device sends nothing of its own in answer to "HostInfo" (queued messages
 * still go out); 0: it answers again. Holds until the device leaves. 0 on success. */
BW_SIM_CONTROL_EXPORT int BwSimAirTrafficSetSilent(const char* udid, int silent);
/* Every message the device sends on AirTraffic from now on leaves `delayMs` milliseconds after
 * it was made (0 to 60000). Holds until the device leaves. 0 on success. */
BW_SIM_CONTROL_EXPORT int BwSimAirTrafficSetDelay(const char* udid, int delayMs);
/* The device drops its open AirTraffic links, as a phone does when its sync agent quits; the
 * number of links dropped. */
BW_SIM_CONTROL_EXPORT int BwSimAirTrafficDropLinks(const char* udid);

/* The device's side of the photo sync on AirTraffic (sim/README.md, "Photo sync"). Each call acts
 * on the attached device `udid` and holds until it leaves; 0 on success, -1 (BwSimLastError says
 * why) when none is attached or an argument is wrong. Stages: 1 "RequestingSync", 2
 * "FinishedSyncingMetadata", 3 the last "FileComplete"/"FileError" (or the manifest, when it
 * asked for nothing), 4 the list applied to the image, before "SyncFinished".
 *
 * refuse != 0: the device answers "RequestingSync" with "SyncFailed" {"ErrorCode": 12}. */
BW_SIM_CONTROL_EXPORT int BwSimPhotoSyncSetRefuse(const char* udid, int refuse);
/* The device stops answering at `stage` (1 to 4; 0: never): 1 no "ReadyForSync", 2 no
 * "AssetManifest", 3 nothing applied and no "SyncFinished", 4 applied but no "SyncFinished". */
BW_SIM_CONTROL_EXPORT int BwSimPhotoSyncSetStall(const char* udid, int stage);
/* The device drops its AirTraffic link (its host reads "ConnectionInvalid") instead of the answer
 * of `stage` (1 to 4, as above; 0: never). */
BW_SIM_CONTROL_EXPORT int BwSimPhotoSyncSetLeave(const char* udid, int stage);
/* Returns 0 once the device has handled the host message of `stage` (1 to 4) in its latest sync,
 * whether it answered, stalled or dropped the link; a new "RequestingSync" starts again from none.
 * -1 when timeoutMs passed first. */
BW_SIM_CONTROL_EXPORT int BwSimPhotoSyncWaitStage(const char* udid, int stage, int timeoutMs);

/* The camera rolls of the attached devices as portable devices: a new array (+1) of dictionaries
 * {"FriendlyName": "Apple iPhone", "SerialNumber": the device's "SerialNumber", "Folder": the host
 * path of its var/mobile/Media/DCIM}, in the order the devices arrived; NULL when the array cannot
 * be made. A device whose DCIM folder is missing or reached through a link is left out. */
BW_SIM_CONTROL_EXPORT CFArrayRef BwSimCopyPortableDevices(void);

/* For the simulator's other runtime libraries (the AirTraffic host library), which share this
 * library's failure table and counters. BwSimTakeFailure: 1 with *status set when a failure is
 * armed for this call of `functionName` with `detail` (NULL: none), one use taken; 0 otherwise.
 * BwSimCountAirTrafficConnection adds `delta` to airTrafficConnections. */
BW_SIM_CONTROL_EXPORT int BwSimTakeFailure(const char* functionName, const char* detail,
                                           int* status);
BW_SIM_CONTROL_EXPORT void BwSimCountAirTrafficConnection(int delta);

/* A sentence about the last failed control call on this thread ("" when there was none). */
BW_SIM_CONTROL_EXPORT const char* BwSimLastError(void);

#ifdef __cplusplus
}
#endif

#endif /* BRACKWATER_SIM_MOBILEDEVICE_SIM_CONTROL_H */
