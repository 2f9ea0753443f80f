// The exported functions: handles, their references, and the messages each send function puts
// on the wire. Injected failures (BwSimInjectFailure by function name) come from the mobile
// device library's table, so tests arm them in one place for both libraries; the detail of a
// send function is its wire command name.
#include <mutex>
#include <optional>
#include <unordered_map>

#include "AirTrafficHost.h"
#include "host_connection.h"
#include "messages.h"
#include "mobiledevice/sim_control.h"

using namespace bw::sim::ath;

namespace {

// Handles are fake pointers that are never reused, so that a stale one finds nothing.
constexpr uintptr_t kFirstHandle = 0x5a7c'0000'1000;
constexpr uintptr_t kHandleStep = 16;

struct Entry {
    std::shared_ptr<HostConnection> connection;
    long references = 1;
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<uintptr_t, Entry> entries;
    uintptr_t next = kFirstHandle;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // never destroyed: hosts may call during exit
    return *registry;
}

std::shared_ptr<HostConnection> Find(ATHostConnectionRef handle) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const auto found = registry.entries.find(reinterpret_cast<uintptr_t>(handle));
    return found != registry.entries.end() ? found->second.connection : nullptr;
}

std::optional<int> Injected(const char* function, const char* detail = nullptr) {
    int status = 0;
    if (BwSimTakeFailure(function, detail, &status) != 0) return status;
    return std::nullopt;
}

// Sends `command` with `params` (taken over: released here) on the connection.
int SendCommand(const char* function, ATHostConnectionRef handle, const char* command,
                CFMutableDictionaryRef params) {
    std::optional<int> failure = Injected(function, command);
    const std::shared_ptr<HostConnection> connection = Find(handle);
    int status = kStatusInvalidArgument;
    if (failure) {
        status = *failure;
    } else if (connection != nullptr && params != nullptr) {
        const CFDictionaryRef message = NewMessage(connection->session(), command, params);
        if (message != nullptr) {
            status = connection->Send(message);
            CFRelease(message);
        }
    }
    if (params != nullptr) CFRelease(params);
    return status;
}

CFMutableDictionaryRef Params() {
    return NewDictionary();
}

CFNumberRef NewNumber(int64_t value) {
    return CFNumberCreate(nullptr, kCFNumberSInt64Type, &value);
}

// Sets a number and releases it.
void SetNumber(CFMutableDictionaryRef params, const char* key, CFNumberRef number) {
    SetValue(params, key, number);
    if (number != nullptr) CFRelease(number);
}

bool AllOfType(std::initializer_list<std::pair<CFTypeRef, CFTypeID>> values) {
    for (const auto& [value, type] : values)
        if (!IsOfType(value, type)) return false;
    return true;
}

}  // namespace

extern "C" {

ATHostConnectionRef ATHostConnectionCreateWithLibrary(CFStringRef libraryID, CFStringRef deviceUDID,
                                                      void*) {
    if (Injected(__func__)) return nullptr;
    const std::optional<std::string> udid = Utf8(deviceUDID);
    if (!Utf8(libraryID) || !udid || udid->empty()) return nullptr;
    std::shared_ptr<HostConnection> connection = HostConnection::Open(*udid);
    if (connection == nullptr) return nullptr;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const uintptr_t handle = registry.next;
    registry.next += kHandleStep;
    registry.entries.emplace(handle, Entry{std::move(connection), 1});
    BwSimCountAirTrafficConnection(1);
    return reinterpret_cast<ATHostConnectionRef>(handle);
}

int ATHostConnectionRetain(ATHostConnectionRef handle) {
    if (const auto failure = Injected(__func__)) return *failure;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const auto found = registry.entries.find(reinterpret_cast<uintptr_t>(handle));
    if (found == registry.entries.end()) return kStatusInvalidArgument;
    ++found->second.references;
    return 0;
}

void ATHostConnectionRelease(ATHostConnectionRef handle) {
    std::shared_ptr<HostConnection> last;
    {
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        const auto found = registry.entries.find(reinterpret_cast<uintptr_t>(handle));
        if (found == registry.entries.end() || --found->second.references > 0) return;
        last = std::move(found->second.connection);
        registry.entries.erase(found);
    }
    // Outside the lock: ending the link waits for the reader thread.
    last->Invalidate();
    BwSimCountAirTrafficConnection(-1);
}

void ATHostConnectionInvalidate(ATHostConnectionRef handle) {
    if (const std::shared_ptr<HostConnection> connection = Find(handle)) connection->Invalidate();
}

uint32_t ATHostConnectionGetCurrentSessionNumber(ATHostConnectionRef handle) {
    const std::shared_ptr<HostConnection> connection = Find(handle);
    return connection != nullptr ? connection->session() : 0;
}

CFDictionaryRef ATHostConnectionReadMessage(ATHostConnectionRef handle) {
    if (Injected(__func__)) return nullptr;
    const std::shared_ptr<HostConnection> connection = Find(handle);
    return connection != nullptr ? connection->Read() : nullptr;
}

int ATHostConnectionSendPowerAssertion(ATHostConnectionRef handle, CFBooleanRef enable) {
    if (!IsOfType(enable, CFBooleanGetTypeID())) return kStatusInvalidArgument;
    CFMutableDictionaryRef params = Params();
    SetValue(params, "Enabled", enable);
    return SendCommand(__func__, handle, "PowerAssertion", params);
}

int ATHostConnectionSendHostInfo(ATHostConnectionRef handle, CFDictionaryRef hostInfo) {
    if (!IsOfType(hostInfo, CFDictionaryGetTypeID())) return kStatusInvalidArgument;
    CFMutableDictionaryRef params = Params();
    SetValue(params, "HostInfo", hostInfo);
    return SendCommand(__func__, handle, "HostInfo", params);
}

int ATHostConnectionSendSyncRequest(ATHostConnectionRef handle, CFArrayRef dataclasses,
                                    CFDictionaryRef anchors, CFDictionaryRef hostInfo) {
    if (!AllOfType({{dataclasses, CFArrayGetTypeID()},
                    {anchors, CFDictionaryGetTypeID()},
                    {hostInfo, CFDictionaryGetTypeID()}}))
        return kStatusInvalidArgument;
    CFMutableDictionaryRef params = Params();
    SetValue(params, "Dataclasses", dataclasses);
    SetValue(params, "DataclassAnchors", anchors);
    SetValue(params, "HostInfo", hostInfo);
    return SendCommand(__func__, handle, "RequestingSync", params);
}

int ATHostConnectionSendMetadataSyncFinished(ATHostConnectionRef handle, CFDictionaryRef syncTypes,
                                             CFDictionaryRef anchors) {
    if (!AllOfType({{syncTypes, CFDictionaryGetTypeID()}, {anchors, CFDictionaryGetTypeID()}}))
        return kStatusInvalidArgument;
    CFMutableDictionaryRef params = Params();
    SetValue(params, "SyncTypes", syncTypes);
    SetValue(params, "DataclassAnchors", anchors);
    return SendCommand(__func__, handle, "FinishedSyncingMetadata", params);
}

int ATHostConnectionSendSyncFailed(ATHostConnectionRef handle, int errorCode) {
    CFMutableDictionaryRef params = Params();
    SetNumber(params, "ErrorCode", NewNumber(errorCode));
    return SendCommand(__func__, handle, "SyncFailed", params);
}

int ATHostConnectionSendFileError(ATHostConnectionRef handle, CFStringRef assetID,
                                  CFStringRef dataclass, int errorCode) {
    if (!AllOfType({{assetID, CFStringGetTypeID()}, {dataclass, CFStringGetTypeID()}}))
        return kStatusInvalidArgument;
    CFMutableDictionaryRef params = Params();
    SetValue(params, "AssetID", assetID);
    SetValue(params, "Dataclass", dataclass);
    SetNumber(params, "ErrorCode", NewNumber(errorCode));
    return SendCommand(__func__, handle, "FileError", params);
}

int ATHostConnectionSendAssetCompleted(ATHostConnectionRef handle, CFStringRef assetID,
                                       CFStringRef dataclass, CFStringRef assetPath) {
    if (!AllOfType({{assetID, CFStringGetTypeID()},
                    {dataclass, CFStringGetTypeID()},
                    {assetPath, CFStringGetTypeID()}}))
        return kStatusInvalidArgument;
    CFMutableDictionaryRef params = Params();
    SetValue(params, "AssetID", assetID);
    SetValue(params, "Dataclass", dataclass);
    SetValue(params, "AssetPath", assetPath);
    return SendCommand(__func__, handle, "FileComplete", params);
}

void ATHostConnectionSendFileProgress(ATHostConnectionRef handle, CFStringRef assetID,
                                      CFStringRef dataclass, double progress, int, int) {
    if (!AllOfType({{assetID, CFStringGetTypeID()}, {dataclass, CFStringGetTypeID()}})) return;
    CFMutableDictionaryRef params = Params();
    SetValue(params, "AssetID", assetID);
    SetValue(params, "Dataclass", dataclass);
    SetNumber(params, "AssetProgress", CFNumberCreate(nullptr, kCFNumberFloat64Type, &progress));
    SendCommand(__func__, handle, "FileProgress", params);
}

void ATHostConnectionSendPing(ATHostConnectionRef handle) {
    SendCommand(__func__, handle, "Ping", Params());
}

int ATHostConnectionSendMessage(ATHostConnectionRef handle, CFDictionaryRef message) {
    const std::optional<std::string> command =
        Utf8(static_cast<CFStringRef>(GetValue(message, "Command")));
    if (const auto failure = Injected(__func__, command ? command->c_str() : nullptr))
        return *failure;
    if (!command) return kStatusInvalidArgument;
    const std::shared_ptr<HostConnection> connection = Find(handle);
    return connection != nullptr ? connection->Send(message) : kStatusInvalidArgument;
}

CFDictionaryRef ATCFMessageCreate(uint32_t session, CFStringRef command, CFDictionaryRef params) {
    if (Injected(__func__)) return nullptr;
    return NewMessage(session, command, params);
}

CFStringRef ATCFMessageGetName(CFDictionaryRef message) {
    const CFTypeRef name = GetValue(message, "Command");
    return IsOfType(name, CFStringGetTypeID()) ? static_cast<CFStringRef>(name) : nullptr;
}

CFTypeRef ATCFMessageGetParam(CFDictionaryRef message, CFStringRef key) {
    const auto params = static_cast<CFDictionaryRef>(GetValue(message, "Params"));
    if (!IsOfType(params, CFDictionaryGetTypeID()) || !IsOfType(key, CFStringGetTypeID()))
        return nullptr;
    return CFDictionaryGetValue(params, key);
}

}  // extern "C"
