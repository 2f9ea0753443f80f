// The C types of the mobile device runtime (the mobile device library, CoreFoundation and
// AirTrafficHost), declared here because the library never includes the runtime's headers: it
// finds every name at run time. Sizes follow the LP64 ABI of the runtime on this platform.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bw::rt {

// CoreFoundation.
using CFIndex = long;
using Boolean = unsigned char;
using UniChar = char16_t;
using UInt8 = uint8_t;
using CFStringEncoding = uint32_t;
using CFOptionFlags = unsigned long;
using CFTypeID = unsigned long;
using CFNumberType = CFIndex;
using CFPropertyListFormat = CFIndex;

using CFTypeRef = const void*;
using CFPropertyListRef = CFTypeRef;
using CFAllocatorRef = const struct OpaqueCFAllocator*;
using CFStringRef = const struct OpaqueCFString*;
using CFNumberRef = const struct OpaqueCFNumber*;
using CFBooleanRef = const struct OpaqueCFBoolean*;
using CFDataRef = const struct OpaqueCFData*;
using CFArrayRef = const struct OpaqueCFArray*;
using CFMutableArrayRef = struct OpaqueCFArray*;
using CFDictionaryRef = const struct OpaqueCFDictionary*;
using CFMutableDictionaryRef = struct OpaqueCFDictionary*;
using CFErrorRef = struct OpaqueCFError*;

inline constexpr CFStringEncoding kCFStringEncodingUTF16 = 0x0100;
inline constexpr CFNumberType kCFNumberSInt32Type = 3;
inline constexpr CFNumberType kCFNumberLongLongType = 11;
inline constexpr CFPropertyListFormat kCFPropertyListBinaryFormat = 200;
inline constexpr CFOptionFlags kCFPropertyListImmutable = 0;

// The container callback records are passed through as the addresses the runtime exports.
using CFCallBacksRef = const void*;

// The mobile device library.
using AMDeviceRef = struct OpaqueAMDevice*;
using AMDeviceNotificationRef = struct OpaqueAMDeviceNotification*;
using AMDServiceConnectionRef = struct OpaqueAMDServiceConnection*;
using AFCConnectionRef = struct OpaqueAFCConnection*;
using AFCDirectoryRef = struct OpaqueAFCDirectory*;
using AFCKeyValueRef = struct OpaqueAFCKeyValue*;
// A service handle as AMDeviceStartService and the house-arrest start hand it out, and as
// AFCConnectionOpen and the notification-proxy functions take it: pointer-sized, opaque.
using ServiceHandle = void*;
// An open device file: a 64-bit number passed by value, never a pointer.
using AFCFileRef = uint64_t;

struct DeviceNotificationInfo {
    AMDeviceRef device;
    uint32_t message;  // 1 connected, 2 disconnected; others are ignored
    AMDeviceNotificationRef subscription;
};
inline constexpr uint32_t kDeviceConnected = 1;
inline constexpr uint32_t kDeviceDisconnected = 2;

using DeviceNotificationCallback = void (*)(DeviceNotificationInfo* info, void* context);
using RestoreDeviceCallback = void (*)(void* device, void* context);
using NotificationProxyCallback = void (*)(CFStringRef name, void* context);
using InstallProgressCallback = void (*)(CFDictionaryRef status, void* context);

// 2 in AMDeviceGetInterfaceType: connected over the network.
inline constexpr int kInterfaceNetwork = 2;

// AFC file open modes.
inline constexpr uint64_t kAfcModeRead = 1;
inline constexpr uint64_t kAfcModeReadWrite = 2;
inline constexpr uint64_t kAfcModeWrite = 3;

// AirTrafficHost.
using ATHostConnectionRef = struct OpaqueATHostConnection*;

}  // namespace bw::rt
