#include "device/iphone.h"

#include "device/device_identifier.h"
#include "device/iphone_operation.h"
#include "device/runtime_values.h"
#include "formats/plist_library.h"
#include "platform/debug_output.h"
#include "platform/process.h"

namespace bw {

namespace {

constexpr std::string_view kMediaAreaService = "com.apple.afc";
constexpr std::string_view kFullFileSystemService = "com.apple.afc2";
constexpr std::string_view kNotificationProxyService = "com.apple.mobile.notification_proxy";
constexpr std::string_view kSyncCancelNotification = "com.apple.itunes-client.syncCancelRequest";

// The library observes the device's sync-cancel request only so that the device sees a host
// that listens, as it expects from a syncing computer. Nothing the library runs is a sync: its
// copies are stopped by the host through CancelCopy, so the notification is received and dropped.
void OnNotificationProxyMessage(rt::CFStringRef, void*) {}

}  // namespace

CIPhone::CIPhone() = default;

CIPhone::CIPhone(rt::AMDeviceRef deviceRef, int32_t deviceKind, bool acceptNetwork) {
    device = deviceRef;
    kind = deviceKind;
    acceptNetworkDevices = acceptNetwork ? 1 : 0;
    busy.store(1, std::memory_order_release);
    opened = Open() ? 1 : 0;
    busy.store(0, std::memory_order_release);
}

CIPhone::~CIPhone() {
    CloseConnections();
}

bool CIPhone::Open() {
    if (!RuntimeLoaded() || device == nullptr) return false;
    const RuntimeTable& runtime = Runtime();
    interfaceType = runtime.AMDeviceGetInterfaceType(device);
    if (interfaceType == rt::kInterfaceNetwork) {
        return acceptNetworkDevices != 0 && OpenNetwork();
    }
    return runtime.AMDeviceConnect(device) == 0 && OpenWired();
}

bool CIPhone::ReadIdentityValues() {
    for (const char* key : {"DeviceName", "SerialNumber", "DeviceClass", "ProductVersion"}) {
        valueCache[key] = CopyDeviceString(device, key);
    }
    const CFString identifier(Runtime().AMDeviceCopyDeviceIdentifier(device));
    udid = CFStringToWString(identifier.get());
    if (!IsDeviceIdentifier(udid)) {
        platform::DebugOutput("a device was refused: \"" + platform::EscapeControlCharacters(udid) +
                              "\" is not a device identifier");
        return false;
    }
    firmwareVersion = CopyDeviceString(device, "FirmwareVersion");
    // Devices answer the version values unreliably when asked back to back.
    platform::Sleep(10);
    productVersion = CopyDeviceString(device, "ProductVersion");
    platform::Sleep(10);
    serialNumber = CopyDeviceString(device, "SerialNumber");
    return true;
}

bool CIPhone::StartFileService(rt::ServiceHandle& handle) {
    if (kind != kKindMediaArea && kind != kKindFullFileSystem) return false;
    const std::string_view service =
        kind == kKindMediaArea ? kMediaAreaService : kFullFileSystemService;
    if (StartDeviceService(device, service, &handle) != 0) {
        handle = nullptr;
        return false;
    }
    if (kind == kKindFullFileSystem) fullFileSystem = 1;
    return true;
}

// Until the session is stopped, a failure also disconnects, so that a device that refuses the
// open is not left connected.
bool CIPhone::OpenWired() {
    const RuntimeTable& runtime = Runtime();
    const auto fail = [&](bool stopSession) {
        if (stopSession) runtime.AMDeviceStopSession(device);
        runtime.AMDeviceDisconnect(device);
        return false;
    };
    if (runtime.AMDeviceIsPaired(device) == 0 && runtime.AMDevicePair(device) != 0) {
        return fail(false);
    }
    if (runtime.AMDeviceValidatePairing(device) != 0) return fail(false);
    if (runtime.AMDeviceStartSession(device) != 0) return fail(true);
    if (!ReadIdentityValues()) return fail(true);
    if (!StartFileService(afcService_)) return fail(true);
    runtime.AMSInitialize();
    // A failed start leaves the proxy empty, and observing it below fails the open.
    StartDeviceService(device, kNotificationProxyService, &notificationProxy);
    const int stopStatus = runtime.AMDeviceStopSession(device);
    const int disconnectStatus = runtime.AMDeviceDisconnect(device);
    if (stopStatus != 0 || disconnectStatus != 0) return false;

    if (runtime.AFCConnectionOpen(afcService_, 0, &afcConnection) != 0) {
        afcConnection = nullptr;
        return false;
    }
    afcService_ = nullptr;  // the AFC connection took the service connection over
    currentAfc = afcConnection;
    const CFString syncCancel = MakeCFString(kSyncCancelNotification);
    if (runtime.AMDObserveNotification(notificationProxy, syncCancel.get()) != 0 ||
        runtime.AMDListenForNotifications(notificationProxy, OnNotificationProxyMessage, nullptr) !=
            0) {
        return false;
    }
    ready.store(1, std::memory_order_release);
    return true;
}

// Network devices never start the notification proxy: the sync-cancel request it carries is
// dropped anyway (see OnNotificationProxyMessage), so a Wi-Fi device is spared the extra service.
bool CIPhone::OpenNetwork() {
    const RuntimeTable& runtime = Runtime();
    if (runtime.AMDeviceConnect(device) != 0) return false;
    const auto fail = [&](bool stopSession) {
        if (stopSession) runtime.AMDeviceStopSession(device);
        runtime.AMDeviceDisconnect(device);
        return false;
    };
    if (runtime.AMDeviceIsPaired(device) == 0 && runtime.AMDevicePair(device) != 0) {
        return fail(false);
    }
    if (runtime.AMDeviceValidatePairing(device) != 0) return fail(false);
    if (runtime.AMDeviceStartSession(device) != 0) return fail(true);
    if (!ReadIdentityValues()) return fail(true);

    if (kind != kKindMediaArea && kind != kKindFullFileSystem) return fail(true);
    const std::string_view service =
        kind == kKindMediaArea ? kMediaAreaService : kFullFileSystemService;
    rt::AMDServiceConnectionRef connection = nullptr;
    if (SecureStartDeviceService(device, service, nullptr, &connection) != 0 ||
        connection == nullptr) {
        return fail(true);
    }
    // The secure start hands the connection out at +1. The AFC connection made below keeps the
    // connection's socket and secure context, so the connection itself is only released.
    const CFOwned<rt::AMDServiceConnectionRef> owner(connection);
    const int socket = runtime.AMDServiceConnectionGetSocket(connection);
    void* secureContext = runtime.AMDServiceConnectionGetSecureIOContext(connection);
    if (socket < 0 || secureContext == nullptr) return fail(true);
    const int stopStatus = runtime.AMDeviceStopSession(device);
    const int disconnectStatus = runtime.AMDeviceDisconnect(device);
    if (stopStatus != 0 || disconnectStatus != 0) return false;

    rt::ServiceHandle socketHandle = reinterpret_cast<rt::ServiceHandle>(intptr_t{socket});
    if (runtime.AFCConnectionOpen(socketHandle, 0, &afcConnection) != 0) {
        afcConnection = nullptr;
        return false;
    }
    currentAfc = afcConnection;
    runtime.AFCConnectionSetSecureContext(afcConnection, secureContext);
    if (kind == kKindFullFileSystem) fullFileSystem = 1;
    ready.store(1, std::memory_order_release);
    return true;
}

bool CIPhone::ConnectAndStartSession() {
    DeviceOperation operation(*this);
    if (!operation) return false;
    const RuntimeTable& runtime = Runtime();
    if (runtime.AMDeviceConnect(device) != 0) return false;
    if (runtime.AMDeviceIsPaired(device) != 1 && runtime.AMDevicePair(device) != 0) {
        runtime.AMDeviceDisconnect(device);
        return false;
    }
    if (runtime.AMDeviceValidatePairing(device) != 0 && runtime.AMDevicePair(device) != 0) {
        runtime.AMDeviceDisconnect(device);
        return false;
    }
    if (runtime.AMDeviceStartSession(device) != 0) {
        runtime.AMDeviceStopSession(device);
        runtime.AMDeviceDisconnect(device);
        return false;
    }
    return true;
}

void CIPhone::CloseSession() {
    DeviceOperation operation(*this);
    if (!operation) return;
    const RuntimeTable& runtime = Runtime();
    if (serviceConnection != nullptr) {
        runtime.AMDServiceConnectionInvalidate(serviceConnection);
        runtime.CFRelease(serviceConnection);
        serviceConnection = nullptr;
    }
    runtime.AMDeviceStopSession(device);
    runtime.AMDeviceDisconnect(device);
}

bool CIPhone::BeginShortQuery() {
    const RuntimeTable& runtime = Runtime();
    if (runtime.AMDeviceConnect(device) != 0) return false;
    if (runtime.AMDeviceStartSession(device) != 0) {
        runtime.AMDeviceDisconnect(device);
        return false;
    }
    return true;
}

void CIPhone::EndShortQuery() {
    Runtime().AMDeviceStopSession(device);
    Runtime().AMDeviceDisconnect(device);
}

bool CIPhone::ReadBackupIdentity(std::map<std::string, std::string>& identity) {
    DeviceOperation operation(*this);
    if (!operation || !BeginShortQuery()) return false;
    identity["BuildVersion"] = CopyDeviceString(device, "BuildVersion");
    identity["ICCID"] = CopyDeviceString(device, "IntegratedCircuitCardIdentity");
    identity["IMEI"] = CopyDeviceString(device, "InternationalMobileEquipmentIdentity");
    identity["TargetIdentifier"] = CopyDeviceString(device, "UniqueDeviceID");
    EndShortQuery();
    return true;
}

bool CIPhone::ReadITunesDomain(CDicValueObj& domain) {
    DeviceOperation operation(*this);
    if (!operation || !BeginShortQuery()) return false;
    const CFOwned<rt::CFTypeRef> value = CopyDeviceValue(device, "com.apple.iTunes", {});
    std::string xml;
    if (value) {
        const CFOwned<rt::CFDataRef> data(
            Runtime().CFPropertyListCreateXMLData(nullptr, value.get()));
        if (data) {
            const rt::CFIndex length = Runtime().CFDataGetLength(data.get());
            const rt::UInt8* bytes = Runtime().CFDataGetBytePtr(data.get());
            if (length > 0 && bytes != nullptr) {
                xml.assign(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
            }
        }
    }
    EndShortQuery();
    if (xml.empty()) return false;
    readPlistFromString(xml, domain, 0);
    return domain.type != kPlistNone;
}

bool CIPhone::WillNotEncryptBackup() {
    DeviceOperation operation(*this);
    if (!operation || !BeginShortQuery()) return false;
    const int64_t willEncrypt =
        CopyDeviceDomainInteger(device, "com.apple.mobile.backup", "WillEncrypt");
    EndShortQuery();
    return willEncrypt != 1;
}

bool CIPhone::IsFindMyPhoneOn() {
    DeviceOperation operation(*this);
    if (!operation || !BeginShortQuery()) return false;
    const int64_t associated = CopyDeviceDomainInteger(device, "com.apple.fmip", "IsAssociated");
    EndShortQuery();
    return associated != 0;
}

bool CIPhone::SetDeviceValue(const std::string& key, const std::string& value) {
    DeviceOperation operation(*this);
    if (!operation || !ConnectAndStartSession()) return false;
    const CFString keyString = MakeCFString(key);
    const CFString valueString = MakeCFString(value);
    const int status =
        Runtime().AMDeviceSetValue(device, nullptr, keyString.get(), valueString.get());
    EndShortQuery();
    return status == 0;
}

std::string CIPhone::ReadDeviceValueText(std::string_view domain, std::string_view key) {
    DeviceOperation operation(*this);
    if (!operation || key.empty()) return {};
    // The identifier was read when the device was opened and needs no session.
    if (domain.empty() && key == "UniqueDeviceID") return udid;
    if (!BeginShortQuery()) return {};
    const CFOwned<rt::CFTypeRef> value = CopyDeviceValue(device, domain, key);
    std::string text = DeviceValueText(value.get());
    EndShortQuery();
    return text;
}

void CIPhone::Retire() {
    ready.store(0, std::memory_order_release);
    retired_.store(true);
    // A copy running on another thread holds the operation lock; it stops after its block.
    cancelCopy.store(1);
    std::lock_guard<std::recursive_mutex> lock(operationMutex_);
    CloseConnections();
}

void CIPhone::CloseConnections() {
    if (!RuntimeLoaded()) return;
    const RuntimeTable& runtime = Runtime();
    if (serviceConnection != nullptr) {
        runtime.AMDServiceConnectionInvalidate(serviceConnection);
        runtime.CFRelease(serviceConnection);
        serviceConnection = nullptr;
    }
    // An AFC connection closes the service connection it was opened on with itself.
    if (containerAfc != nullptr) runtime.AFCConnectionClose(containerAfc);
    if (currentAfc != nullptr) runtime.AFCConnectionClose(currentAfc);
    CloseServiceHandle(afcService_);
    CloseServiceHandle(notificationProxy);
    Abandon();
}

void CIPhone::Abandon() {
    serviceConnection = nullptr;
    containerAfc = nullptr;
    containerService = nullptr;
    currentAfc = nullptr;
    afcConnection = nullptr;
    afcService_ = nullptr;
    notificationProxy = nullptr;
}

}  // namespace bw
