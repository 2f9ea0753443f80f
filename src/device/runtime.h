// The mobile device runtime loader: finds the mobile device library through the registry, loads
// it and CoreFoundation (and, on demand, AirTrafficHost) at run time, and keeps every function it
// looks up in one process-wide table. Every other part of the library reaches the runtime only
// through this table and the value bridge (runtime_values.h).
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "device/runtime_types.h"
#include "platform/library.h"

namespace bw {

// The mobile device library's names, in the order they are looked up. All are required.
// X(name, result type, parameter list)
#define BW_MOBILE_DEVICE_FUNCTIONS(X)                                                             \
    X(AMDeviceGetInterfaceType, int, (rt::AMDeviceRef))                                           \
    X(AMDeviceConnect, int, (rt::AMDeviceRef))                                                    \
    X(AMDeviceIsPaired, int, (rt::AMDeviceRef))                                                   \
    X(AMDevicePair, int, (rt::AMDeviceRef))                                                       \
    X(AMDeviceValidatePairing, int, (rt::AMDeviceRef))                                            \
    X(AMDeviceStartSession, int, (rt::AMDeviceRef))                                               \
    X(AMDeviceStopSession, int, (rt::AMDeviceRef))                                                \
    X(AMDeviceCopyDeviceIdentifier, rt::CFStringRef, (rt::AMDeviceRef))                           \
    X(AMDeviceDisconnect, int, (rt::AMDeviceRef))                                                 \
    X(AMDServiceConnectionGetSocket, int, (rt::AMDServiceConnectionRef))                          \
    X(AMDServiceConnectionGetSecureIOContext, void*, (rt::AMDServiceConnectionRef))               \
    X(AFCConnectionOpen, int, (rt::ServiceHandle, unsigned int, rt::AFCConnectionRef*))           \
    X(AFCConnectionSetSecureContext, void, (rt::AFCConnectionRef, void*))                         \
    X(AMDListenForNotifications, int, (rt::ServiceHandle, rt::NotificationProxyCallback, void*))  \
    X(AMSInitialize, int, ())                                                                     \
    X(AMDObserveNotification, int, (rt::ServiceHandle, rt::CFStringRef))                          \
    X(AMDeviceRemoveApplicationArchive, int,                                                      \
      (rt::ServiceHandle, rt::CFStringRef, rt::CFDictionaryRef, rt::InstallProgressCallback,      \
       void*))                                                                                    \
    X(AFCDeviceInfoOpen, int, (rt::AFCConnectionRef, rt::AFCKeyValueRef*))                        \
    X(AMDServiceConnectionSend, int, (rt::AMDServiceConnectionRef, const void*, size_t))          \
    X(AMDServiceConnectionReceive, int, (rt::AMDServiceConnectionRef, void*, size_t))             \
    X(AMDeviceStartHouseArrestService, int,                                                       \
      (rt::AMDeviceRef, rt::CFStringRef, rt::CFDictionaryRef, rt::ServiceHandle*, unsigned int*)) \
    X(AFCConnectionClose, int, (rt::AFCConnectionRef))                                            \
    X(AMDServiceConnectionInvalidate, void, (rt::AMDServiceConnectionRef))                        \
    X(AFCFileRefOpen, int, (rt::AFCConnectionRef, const char*, uint64_t, rt::AFCFileRef*))        \
    X(AFCFileRefClose, int, (rt::AFCConnectionRef, rt::AFCFileRef))                               \
    X(AFCFlushData, int, (rt::AFCConnectionRef, rt::AFCFileRef))                                  \
    X(AFCFileInfoOpen, int, (rt::AFCConnectionRef, const char*, rt::AFCKeyValueRef*))             \
    X(AFCDirectoryOpen, int, (rt::AFCConnectionRef, const char*, rt::AFCDirectoryRef*))           \
    X(AFCDirectoryClose, int, (rt::AFCConnectionRef, rt::AFCDirectoryRef))                        \
    X(AFCFileRefLock, int, (rt::AFCConnectionRef, rt::AFCFileRef, bool))                          \
    X(AFCFileRefRead, int, (rt::AFCConnectionRef, rt::AFCFileRef, void*, size_t*))                \
    X(AFCFileRefSeek, int, (rt::AFCConnectionRef, rt::AFCFileRef, int64_t, uint64_t))             \
    X(AFCFileRefTell, int, (rt::AFCConnectionRef, rt::AFCFileRef, uint64_t*))                     \
    X(AFCFileRefSetFileSize, int, (rt::AFCConnectionRef, rt::AFCFileRef, uint64_t))               \
    X(AFCFileRefUnlock, int, (rt::AFCConnectionRef, rt::AFCFileRef))                              \
    X(AFCFileRefWrite, int, (rt::AFCConnectionRef, rt::AFCFileRef, const void*, size_t))          \
    X(AMDServiceConnectionCreate, rt::AMDServiceConnectionRef, (int, void*, rt::CFDictionaryRef)) \
    X(AMDeviceInstallApplication, int,                                                            \
      (rt::ServiceHandle, rt::CFStringRef, rt::CFDictionaryRef, rt::InstallProgressCallback,      \
       void*))                                                                                    \
    X(AMDeviceUninstallApplication, int,                                                          \
      (rt::ServiceHandle, rt::CFStringRef, rt::CFDictionaryRef, rt::InstallProgressCallback,      \
       void*))                                                                                    \
    X(AMDeviceArchiveApplication, int,                                                            \
      (rt::ServiceHandle, rt::CFStringRef, rt::CFDictionaryRef, rt::InstallProgressCallback,      \
       void*))                                                                                    \
    X(AMDeviceLookupApplications, int,                                                            \
      (rt::AMDeviceRef, rt::CFDictionaryRef, rt::CFDictionaryRef*))                               \
    X(AMDeviceGetWirelessBuddyFlags, int, (rt::AMDeviceRef, long*))                               \
    X(AFCDirectoryCreate, int, (rt::AFCConnectionRef, const char*))                               \
    X(AFCDirectoryRead, int, (rt::AFCConnectionRef, rt::AFCDirectoryRef, char**))                 \
    X(AFCRemovePath, int, (rt::AFCConnectionRef, const char*))                                    \
    X(AFCRenamePath, int, (rt::AFCConnectionRef, const char*, const char*))                       \
    X(AMDeviceCopyValue, rt::CFTypeRef, (rt::AMDeviceRef, rt::CFStringRef, rt::CFStringRef))      \
    X(AMDeviceNotificationSubscribe, int,                                                         \
      (rt::DeviceNotificationCallback, unsigned int, unsigned int, void*,                         \
       rt::AMDeviceNotificationRef*))                                                             \
    X(AMDeviceStartService, int,                                                                  \
      (rt::AMDeviceRef, rt::CFStringRef, rt::ServiceHandle*, unsigned int*))                      \
    X(AFCKeyValueRead, int, (rt::AFCKeyValueRef, char**, char**))                                 \
    X(AMDeviceNotificationUnsubscribe, int, (rt::AMDeviceNotificationRef))                        \
    X(AMDeviceSecureStartService, int,                                                            \
      (rt::AMDeviceRef, rt::CFStringRef, rt::CFDictionaryRef, rt::AMDServiceConnectionRef*))      \
    X(AMDeviceSetValue, int, (rt::AMDeviceRef, rt::CFStringRef, rt::CFStringRef, rt::CFTypeRef))  \
    X(AMRestoreRegisterForDeviceNotifications, unsigned int,                                      \
      (rt::RestoreDeviceCallback, rt::RestoreDeviceCallback, rt::RestoreDeviceCallback,           \
       rt::RestoreDeviceCallback, unsigned int, void*))                                           \
    X(AMDPostNotification, int, (rt::ServiceHandle, rt::CFStringRef, rt::CFStringRef))

// CoreFoundation's function names, in lookup order. All are required, with the boolean object and
// the three callback records: a library that lacks one makes loading the runtime fail.
#define BW_CORE_FOUNDATION_FUNCTIONS(X)                                                        \
    X(CFNumberGetValue, rt::Boolean, (rt::CFNumberRef, rt::CFNumberType, void*))               \
    X(CFStringCreateWithCharacters, rt::CFStringRef,                                           \
      (rt::CFAllocatorRef, const rt::UniChar*, rt::CFIndex))                                   \
    X(CFStringGetLength, rt::CFIndex, (rt::CFStringRef))                                       \
    X(CFStringGetCString, rt::Boolean,                                                         \
      (rt::CFStringRef, char*, rt::CFIndex, rt::CFStringEncoding))                             \
    X(CFStringGetMaximumSizeForEncoding, rt::CFIndex, (rt::CFIndex, rt::CFStringEncoding))     \
    X(CFDataCreate, rt::CFDataRef, (rt::CFAllocatorRef, const rt::UInt8*, rt::CFIndex))        \
    X(CFDataGetLength, rt::CFIndex, (rt::CFDataRef))                                           \
    X(CFDataGetBytePtr, const rt::UInt8*, (rt::CFDataRef))                                     \
    X(CFPropertyListCreateXMLData, rt::CFDataRef, (rt::CFAllocatorRef, rt::CFPropertyListRef)) \
    X(CFRelease, void, (rt::CFTypeRef))                                                        \
    X(CFDictionarySetValue, void, (rt::CFMutableDictionaryRef, const void*, const void*))      \
    X(CFDictionaryCreateMutable, rt::CFMutableDictionaryRef,                                   \
      (rt::CFAllocatorRef, rt::CFIndex, rt::CFCallBacksRef, rt::CFCallBacksRef))               \
    X(CFDictionaryCreate, rt::CFDictionaryRef,                                                 \
      (rt::CFAllocatorRef, const void**, const void**, rt::CFIndex, rt::CFCallBacksRef,        \
       rt::CFCallBacksRef))                                                                    \
    X(CFArrayCreateMutable, rt::CFMutableArrayRef,                                             \
      (rt::CFAllocatorRef, rt::CFIndex, rt::CFCallBacksRef))                                   \
    X(CFDictionaryContainsKey, rt::Boolean, (rt::CFDictionaryRef, const void*))                \
    X(CFDictionaryGetValue, const void*, (rt::CFDictionaryRef, const void*))                   \
    X(CFPropertyListCreateWithData, rt::CFPropertyListRef,                                     \
      (rt::CFAllocatorRef, rt::CFDataRef, rt::CFOptionFlags, rt::CFPropertyListFormat*,        \
       rt::CFErrorRef*))                                                                       \
    X(CFPropertyListCreateFromXMLData, rt::CFPropertyListRef,                                  \
      (rt::CFAllocatorRef, rt::CFDataRef, rt::CFOptionFlags, rt::CFStringRef*))                \
    X(CFNumberCreate, rt::CFNumberRef, (rt::CFAllocatorRef, rt::CFNumberType, const void*))    \
    X(CFDictionaryAddValue, void, (rt::CFMutableDictionaryRef, const void*, const void*))      \
    X(CFArrayGetCount, rt::CFIndex, (rt::CFArrayRef))                                          \
    X(CFArrayGetValueAtIndex, const void*, (rt::CFArrayRef, rt::CFIndex))                      \
    X(CFArrayAppendValue, void, (rt::CFMutableArrayRef, const void*))

// AirTrafficHost's names, in lookup order. All are required.
#define BW_AIR_TRAFFIC_HOST_FUNCTIONS(X)                                                    \
    X(ATHostConnectionCreateWithLibrary, rt::ATHostConnectionRef,                           \
      (rt::CFStringRef, rt::CFStringRef, void*))                                            \
    X(ATHostConnectionSendPowerAssertion, int, (rt::ATHostConnectionRef, rt::CFBooleanRef)) \
    X(ATHostConnectionRetain, int, (rt::ATHostConnectionRef))                               \
    X(ATHostConnectionSendHostInfo, int, (rt::ATHostConnectionRef, rt::CFDictionaryRef))    \
    X(ATHostConnectionReadMessage, rt::CFDictionaryRef, (rt::ATHostConnectionRef))          \
    X(ATCFMessageGetName, rt::CFStringRef, (rt::CFDictionaryRef))                           \
    X(ATHostConnectionInvalidate, void, (rt::ATHostConnectionRef))                          \
    X(ATHostConnectionRelease, void, (rt::ATHostConnectionRef))                             \
    X(ATHostConnectionSendSyncRequest, int,                                                 \
      (rt::ATHostConnectionRef, rt::CFArrayRef, rt::CFDictionaryRef, rt::CFDictionaryRef))  \
    X(ATHostConnectionSendMetadataSyncFinished, int,                                        \
      (rt::ATHostConnectionRef, rt::CFDictionaryRef, rt::CFDictionaryRef))                  \
    X(ATHostConnectionSendSyncFailed, int, (rt::ATHostConnectionRef, int))                  \
    X(ATCFMessageGetParam, rt::CFTypeRef, (rt::CFDictionaryRef, rt::CFStringRef))           \
    X(ATHostConnectionSendFileError, void,                                                  \
      (rt::ATHostConnectionRef, rt::CFStringRef, rt::CFStringRef, int))                     \
    X(ATHostConnectionSendAssetCompleted, int,                                              \
      (rt::ATHostConnectionRef, rt::CFStringRef, rt::CFStringRef, rt::CFStringRef))

#define BW_RUNTIME_SLOT(name, result, parameters) result(*name) parameters = nullptr;

// The process-wide table. A slot is empty until its library is loaded and the name was found.
struct RuntimeTable {
    platform::LibraryHandle mobileDevice = nullptr;
    platform::LibraryHandle airTrafficHost = nullptr;

    BW_MOBILE_DEVICE_FUNCTIONS(BW_RUNTIME_SLOT)
    BW_CORE_FOUNDATION_FUNCTIONS(BW_RUNTIME_SLOT)
    BW_AIR_TRAFFIC_HOST_FUNCTIONS(BW_RUNTIME_SLOT)

    // Data: the boolean object itself, and the addresses of the callback records.
    rt::CFBooleanRef kCFBooleanTrue = nullptr;
    rt::CFCallBacksRef kCFTypeDictionaryKeyCallBacks = nullptr;
    rt::CFCallBacksRef kCFTypeDictionaryValueCallBacks = nullptr;
    rt::CFCallBacksRef kCFTypeArrayCallBacks = nullptr;

    // Optional: only the XML-to-binary conversion needs it.
    rt::CFDataRef (*CFPropertyListCreateData)(rt::CFAllocatorRef, rt::CFPropertyListRef,
                                              rt::CFPropertyListFormat, rt::CFOptionFlags,
                                              rt::CFErrorRef*) = nullptr;

    // Optional companions that a careful caller uses when the runtime has them: type checks
    // before a value is read as a string or a number (the runtime crashes on a wrong type), and
    // closing the key-value iterators of file information (the runtime keeps them otherwise).
    rt::CFTypeID (*CFGetTypeID)(rt::CFTypeRef) = nullptr;
    rt::CFTypeID (*CFStringGetTypeID)() = nullptr;
    rt::CFTypeID (*CFNumberGetTypeID)() = nullptr;
    rt::CFTypeID (*CFBooleanGetTypeID)() = nullptr;
    rt::CFTypeID (*CFArrayGetTypeID)() = nullptr;
    rt::CFTypeID (*CFDictionaryGetTypeID)() = nullptr;
    int (*AFCKeyValueClose)(rt::AFCKeyValueRef) = nullptr;

    // Only the simulated runtime has it: the camera-roll folders of its devices, which the
    // portable-device layer serves as the phones a real runtime's computer would see over PTP.
    // A +1 array of {"FriendlyName", "SerialNumber", "Folder"} dictionaries.
    rt::CFArrayRef (*BwSimCopyPortableDevices)() = nullptr;

    // Only the simulated runtime has them: a folder listing whose entries carry their file
    // information, so that listing a folder with the information of each entry is one exchange
    // rather than one per entry. Used only when both are there; the information of an entry is
    // laid out as key, NUL, value, NUL, ... up to an empty key.
    int (*BwSimDirectoryOpenWithInfo)(rt::AFCConnectionRef, const char*,
                                      rt::AFCDirectoryRef*) = nullptr;
    int (*BwSimDirectoryReadWithInfo)(rt::AFCConnectionRef, rt::AFCDirectoryRef, char**,
                                      char**) = nullptr;
};

#undef BW_RUNTIME_SLOT

// The table. Written only by the loaders; read from any thread once RuntimeLoaded() said yes.
const RuntimeTable& Runtime();

// True once LoadMobileDeviceRuntime found every required name. A runtime that lacks one is
// unusable, even though its module handle stays stored.
bool RuntimeLoaded();

// The module handle of the mobile device library, or null on any failure. Loads once: while a
// usable runtime is loaded a later call returns its handle at once (the libraries are never
// unloaded, and rewriting slots that other threads read would race with them).
platform::LibraryHandle LoadMobileDeviceRuntime();

// The full path of the mobile device library from the registry, or empty. Also appends the
// runtime's folders to the process PATH so that its own dependencies resolve.
std::string GetMobileDeviceDllPath();

// Loads CoreFoundation by its bare name, from the runtime's folders first and then from PATH, and
// fills its slots; null when it cannot be loaded or lacks a required name.
platform::LibraryHandle LoadCoreFoundation(const std::vector<std::string>& runtimeFolders);

// Loads AirTrafficHost and fills its slots; null when it cannot be loaded or lacks a name. No
// once-only guard: every call loads and looks up again.
platform::LibraryHandle LoadAirTrafficHost();

// Empties the table (libraries stay loaded), so a test can load again in the same process.
void ResetRuntimeTableForTests();

// Makes the loaded table look like a runtime without the simulator's listing with information
// (false) or restores what the loader found (true), so a test runs both ways of listing.
void UseListingWithInfoForTests(bool use);

}  // namespace bw
