/* The simulator's AirTraffic host library: the C names and LP64 signatures a host looks up with
 * dlsym. Like the library it stands in for, it reaches the device only through the mobile device
 * library's public functions: it finds the device among AMDCreateDeviceList, connects, starts
 * "com.apple.atc" inside a short session and exchanges framed property-list messages
 * {"Command": name, "Params": {...}, "Session": number} over the service connection.
 *
 * Conventions of this runtime:
 * - ATHostConnectionRef: an opaque value that is never reused, so a stale or made-up one fails
 *   cleanly. CreateWithLibrary returns it with one reference; Retain adds one, Release drops one.
 *   The link to the device ends at Invalidate or at the last Release, whichever comes first.
 * - ReadMessage returns the next device message (+1, a CFDictionary; CFRelease it). When none
 *   arrives within 300 ms it returns NULL, and the host asks again. Once the host invalidated the
 *   connection it returns NULL at once. When the link dies (the device left, the device dropped
 *   it, a broken message), the messages that arrived before are delivered, then one
 *   {"Command": "ConnectionInvalid", "Params": {}}, then NULL at once.
 * - Statuses: 0 on success; 0xE8000007 for a NULL or unknown connection or a missing argument,
 *   0xE800000B once the link is gone, 0xE8000005 when the message could not be sent.
 */
#ifndef BRACKWATER_SIM_AIRTRAFFIC_AIRTRAFFICHOST_H
#define BRACKWATER_SIM_AIRTRAFFIC_AIRTRAFFICHOST_H

#include <stdint.h>

/* Relative, so that the header needs no include path of its own. */
#include "../cf/CoreFoundation.h"

#define BW_SIM_ATH_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef struct BwSimATHostConnection* ATHostConnectionRef;

/* The link to the device `deviceUDID` (attached, paired), or NULL. `unknown` is ignored. */
BW_SIM_ATH_EXPORT ATHostConnectionRef ATHostConnectionCreateWithLibrary(CFStringRef libraryID,
                                                                        CFStringRef deviceUDID,
                                                                        void* unknown);
/* Adds a reference; 0, or 0xE8000007 for an unknown connection. */
BW_SIM_ATH_EXPORT int ATHostConnectionRetain(ATHostConnectionRef connection);
BW_SIM_ATH_EXPORT void ATHostConnectionRelease(ATHostConnectionRef connection);
BW_SIM_ATH_EXPORT void ATHostConnectionInvalidate(ATHostConnectionRef connection);
BW_SIM_ATH_EXPORT uint32_t ATHostConnectionGetCurrentSessionNumber(ATHostConnectionRef connection);

BW_SIM_ATH_EXPORT CFDictionaryRef ATHostConnectionReadMessage(ATHostConnectionRef connection);

/* Wire "PowerAssertion", Params {"Enabled": enable}. */
BW_SIM_ATH_EXPORT int ATHostConnectionSendPowerAssertion(ATHostConnectionRef connection,
                                                         CFBooleanRef enable);
/* Wire "HostInfo", Params {"HostInfo": hostInfo}. */
BW_SIM_ATH_EXPORT int ATHostConnectionSendHostInfo(ATHostConnectionRef connection,
                                                   CFDictionaryRef hostInfo);
/* Wire "RequestingSync", Params {"Dataclasses", "DataclassAnchors", "HostInfo"}. */
BW_SIM_ATH_EXPORT int ATHostConnectionSendSyncRequest(ATHostConnectionRef connection,
                                                      CFArrayRef dataclasses,
                                                      CFDictionaryRef anchors,
                                                      CFDictionaryRef hostInfo);
/* Wire "FinishedSyncingMetadata", Params {"SyncTypes", "DataclassAnchors"}. */
BW_SIM_ATH_EXPORT int ATHostConnectionSendMetadataSyncFinished(ATHostConnectionRef connection,
                                                               CFDictionaryRef syncTypes,
                                                               CFDictionaryRef anchors);
/* Wire "SyncFailed", Params {"ErrorCode"}. */
BW_SIM_ATH_EXPORT int ATHostConnectionSendSyncFailed(ATHostConnectionRef connection, int errorCode);
/* Wire "FileError", Params {"AssetID", "Dataclass", "ErrorCode"}. Declared void by some hosts;
 * the status is there for those that read it. */
BW_SIM_ATH_EXPORT int ATHostConnectionSendFileError(ATHostConnectionRef connection,
                                                    CFStringRef assetID, CFStringRef dataclass,
                                                    int errorCode);
/* Wire "FileComplete", Params {"AssetID", "Dataclass", "AssetPath"}. */
BW_SIM_ATH_EXPORT int ATHostConnectionSendAssetCompleted(ATHostConnectionRef connection,
                                                         CFStringRef assetID, CFStringRef dataclass,
                                                         CFStringRef assetPath);
/* Wire "FileProgress", Params {"AssetID", "Dataclass", "AssetProgress"}. */
BW_SIM_ATH_EXPORT void ATHostConnectionSendFileProgress(ATHostConnectionRef connection,
                                                        CFStringRef assetID, CFStringRef dataclass,
                                                        double progress, int unknown0,
                                                        int unknown1);
/* Wire "Ping", Params {}. */
BW_SIM_ATH_EXPORT void ATHostConnectionSendPing(ATHostConnectionRef connection);
/* Sends a message made with ATCFMessageCreate (or any dictionary with a text "Command"). */
BW_SIM_ATH_EXPORT int ATHostConnectionSendMessage(ATHostConnectionRef connection,
                                                  CFDictionaryRef message);

/* {"Command": command, "Params": params or {}, "Session": session}, +1; NULL without a command. */
BW_SIM_ATH_EXPORT CFDictionaryRef ATCFMessageCreate(uint32_t session, CFStringRef command,
                                                    CFDictionaryRef params);
/* message["Command"] (+0), NULL when it is no dictionary or has no text command. */
BW_SIM_ATH_EXPORT CFStringRef ATCFMessageGetName(CFDictionaryRef message);
/* message["Params"][key] (+0), or NULL. */
BW_SIM_ATH_EXPORT CFTypeRef ATCFMessageGetParam(CFDictionaryRef message, CFStringRef key);

#ifdef __cplusplus
}
#endif

#endif /* BRACKWATER_SIM_AIRTRAFFIC_AIRTRAFFICHOST_H */
