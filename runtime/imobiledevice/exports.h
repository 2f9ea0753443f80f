// The C types of the runtime's exports, as the loader declares them (opaque handles, plain C
// callbacks, 64-bit file references), and the attribute that exports a name.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cf/CoreFoundation.h"

#define BW_IMD_EXPORT extern "C" __attribute__((visibility("default")))

using AMDeviceRef = struct OpaqueAMDevice*;
using AMDeviceNotificationRef = struct OpaqueAMDeviceNotification*;
using AMDServiceConnectionRef = struct OpaqueAMDServiceConnection*;
using AFCConnectionRef = struct OpaqueAFCConnection*;
using AFCDirectoryRef = struct OpaqueAFCDirectory*;
using AFCKeyValueRef = struct OpaqueAFCKeyValue*;
using ServiceHandle = void*;
using AFCFileRef = uint64_t;

struct DeviceNotificationInfo {
    AMDeviceRef device;
    uint32_t message;
    AMDeviceNotificationRef subscription;
};

using DeviceNotificationCallback = void (*)(DeviceNotificationInfo* info, void* context);
using RestoreDeviceCallback = void (*)(void* device, void* context);
using NotificationProxyCallback = void (*)(CFStringRef name, void* context);
using InstallProgressCallback = void (*)(CFDictionaryRef status, void* context);
