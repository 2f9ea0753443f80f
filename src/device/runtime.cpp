#include "device/runtime.h"

#include <optional>
#include <vector>

#include "platform/environment.h"
#include "platform/registry.h"

namespace bw {

namespace {

RuntimeTable gTable;
// Set (release) once every required slot is filled; readers test it (acquire) before they use a
// slot, which also makes the slots written before it visible to them.
std::atomic<bool> gLoaded{false};

constexpr std::string_view kApplicationSupportKey =
    "SOFTWARE\\Apple Inc.\\Apple Application Support";
constexpr std::string_view kApplicationSupportKey32 =
    "SOFTWARE\\Wow6432Node\\Apple Inc.\\Apple Application Support";
constexpr std::string_view kMobileDeviceKey =
    "SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared";
constexpr std::string_view kMobileDeviceKey32 =
    "SOFTWARE\\Wow6432Node\\Apple Inc.\\Apple Mobile Device Support\\Shared";

// The value of the first of the two keys that exists: a 64-bit Windows keeps 32-bit programs'
// entries under Wow6432Node. When the first key exists without the value, the second is not
// consulted.
std::optional<std::string> ReadFromKeyPair(std::string_view key, std::string_view fallbackKey,
                                           std::string_view name) {
    using platform::RegistryRoot;
    std::string_view chosen = key;
    if (!platform::RegistryKeyExists(RegistryRoot::LocalMachine, key)) {
        if (!platform::RegistryKeyExists(RegistryRoot::LocalMachine, fallbackKey)) {
            return std::nullopt;
        }
        chosen = fallbackKey;
    }
    return platform::ReadRegistryString(RegistryRoot::LocalMachine, chosen, name);
}

// Where the registry says the runtime is: the install folder (Apple's support libraries) and the
// mobile device library's full path.
struct RuntimeLocation {
    std::string installDir;
    std::string library;
    std::string LibraryFolder() const {
        const size_t slash = library.find_last_of('/');
        return slash == std::string::npos ? std::string() : library.substr(0, slash);
    }
};

std::optional<RuntimeLocation> ReadRuntimeLocation() {
    auto installDir =
        ReadFromKeyPair(kApplicationSupportKey, kApplicationSupportKey32, "InstallDir");
    if (!installDir) return std::nullopt;
    auto library = ReadFromKeyPair(kMobileDeviceKey, kMobileDeviceKey32, "iTunesMobileDeviceDLL");
    if (!library) return std::nullopt;
    return RuntimeLocation{std::move(*installDir), std::move(*library)};
}

template <typename Slot>
void Assign(Slot& slot, void* symbol) {
    slot = reinterpret_cast<Slot>(symbol);
}

void ClearMobileDeviceSlots() {
#define BW_CLEAR_SLOT(name, result, parameters) gTable.name = nullptr;
    BW_MOBILE_DEVICE_FUNCTIONS(BW_CLEAR_SLOT)
#undef BW_CLEAR_SLOT
    gTable.CFPropertyListCreateData = nullptr;
    gTable.AFCKeyValueClose = nullptr;
    gTable.BwSimCopyPortableDevices = nullptr;
    gTable.BwSimDirectoryOpenWithInfo = nullptr;
    gTable.BwSimDirectoryReadWithInfo = nullptr;
}

void ClearCoreFoundationSlots() {
#define BW_CLEAR_SLOT(name, result, parameters) gTable.name = nullptr;
    BW_CORE_FOUNDATION_FUNCTIONS(BW_CLEAR_SLOT)
#undef BW_CLEAR_SLOT
    gTable.kCFBooleanTrue = nullptr;
    gTable.kCFTypeDictionaryKeyCallBacks = nullptr;
    gTable.kCFTypeDictionaryValueCallBacks = nullptr;
    gTable.kCFTypeArrayCallBacks = nullptr;
    gTable.CFGetTypeID = nullptr;
    gTable.CFStringGetTypeID = nullptr;
    gTable.CFNumberGetTypeID = nullptr;
    gTable.CFBooleanGetTypeID = nullptr;
    gTable.CFArrayGetTypeID = nullptr;
    gTable.CFDictionaryGetTypeID = nullptr;
}

void ClearAirTrafficHostSlots() {
#define BW_CLEAR_SLOT(name, result, parameters) gTable.name = nullptr;
    BW_AIR_TRAFFIC_HOST_FUNCTIONS(BW_CLEAR_SLOT)
#undef BW_CLEAR_SLOT
}

// Looks the mobile device names up in order and stops at the first missing one, so that the
// slots after it stay empty.
bool LookUpMobileDeviceNames(platform::LibraryHandle library) {
#define BW_LOOK_UP(name, result, parameters)                   \
    if (void* symbol = platform::FindSymbol(library, #name)) { \
        Assign(gTable.name, symbol);                           \
    } else {                                                   \
        return false;                                          \
    }
    BW_MOBILE_DEVICE_FUNCTIONS(BW_LOOK_UP)
#undef BW_LOOK_UP
    return true;
}

}  // namespace

const RuntimeTable& Runtime() {
    return gTable;
}

bool RuntimeLoaded() {
    return gLoaded.load(std::memory_order_acquire);
}

std::string GetMobileDeviceDllPath() {
    const std::optional<RuntimeLocation> location = ReadRuntimeLocation();
    if (!location) return {};
    const std::string oldPath = platform::GetEnv("PATH").value_or("");
    if (oldPath.empty()) return {};
    // The runtime's own dependencies (CoreFoundation and Apple's support libraries) live in the
    // install folder and beside the mobile device library.
    const std::string newPath = oldPath + platform::kPathListSeparator + location->installDir +
                                platform::kPathListSeparator + location->LibraryFolder();
    platform::SetEnv("PATH", newPath);
    return location->library;
}

platform::LibraryHandle LoadCoreFoundation(const std::vector<std::string>& runtimeFolders) {
    // The runtime's own copy first: a library of the same name earlier on PATH would otherwise
    // be loaded in its place, and its functions called with the runtime's objects.
    platform::LibraryHandle library =
        platform::LoadLibraryByName("CoreFoundation.dll", runtimeFolders);
    if (library == nullptr) return nullptr;
    // Every name is required (a library without one is not CoreFoundation, and a slot left empty
    // would be called later), so the lookup stops at the first missing one.
    const auto found = [library](const char* name) { return platform::FindSymbol(library, name); };
#define BW_LOOK_UP(name, result, parameters) \
    if (void* symbol = found(#name)) {       \
        Assign(gTable.name, symbol);         \
    } else {                                 \
        return nullptr;                      \
    }
    BW_CORE_FOUNDATION_FUNCTIONS(BW_LOOK_UP)
#undef BW_LOOK_UP
    // kCFBooleanTrue is a variable holding the boolean object; the callback records are used by
    // their addresses.
    void* booleanTrue = platform::FindSymbol(library, "kCFBooleanTrue");
    if (booleanTrue == nullptr) return nullptr;
    gTable.kCFBooleanTrue = *static_cast<const rt::CFBooleanRef*>(booleanTrue);
    gTable.kCFTypeDictionaryKeyCallBacks =
        platform::FindSymbol(library, "kCFTypeDictionaryKeyCallBacks");
    gTable.kCFTypeDictionaryValueCallBacks =
        platform::FindSymbol(library, "kCFTypeDictionaryValueCallBacks");
    gTable.kCFTypeArrayCallBacks = platform::FindSymbol(library, "kCFTypeArrayCallBacks");
    if (gTable.kCFBooleanTrue == nullptr || gTable.kCFTypeDictionaryKeyCallBacks == nullptr ||
        gTable.kCFTypeDictionaryValueCallBacks == nullptr ||
        gTable.kCFTypeArrayCallBacks == nullptr) {
        return nullptr;
    }
    // Optional companions: their callers test the slot first.
    Assign(gTable.CFGetTypeID, platform::FindSymbol(library, "CFGetTypeID"));
    Assign(gTable.CFStringGetTypeID, platform::FindSymbol(library, "CFStringGetTypeID"));
    Assign(gTable.CFNumberGetTypeID, platform::FindSymbol(library, "CFNumberGetTypeID"));
    Assign(gTable.CFBooleanGetTypeID, platform::FindSymbol(library, "CFBooleanGetTypeID"));
    Assign(gTable.CFArrayGetTypeID, platform::FindSymbol(library, "CFArrayGetTypeID"));
    Assign(gTable.CFDictionaryGetTypeID, platform::FindSymbol(library, "CFDictionaryGetTypeID"));
    return library;
}

platform::LibraryHandle LoadMobileDeviceRuntime() {
    if (RuntimeLoaded()) return gTable.mobileDevice;
    ClearMobileDeviceSlots();
    ClearCoreFoundationSlots();

    gTable.mobileDevice = platform::LoadLibraryPath(GetMobileDeviceDllPath());
    if (gTable.mobileDevice == nullptr) return nullptr;
    const std::optional<RuntimeLocation> location = ReadRuntimeLocation();
    std::vector<std::string> runtimeFolders;
    if (location) runtimeFolders = {location->installDir, location->LibraryFolder()};
    const platform::LibraryHandle coreFoundation = LoadCoreFoundation(runtimeFolders);
    if (coreFoundation == nullptr) {
        ClearCoreFoundationSlots();  // a half-filled table is never left for a later caller
        return nullptr;
    }
    if (!LookUpMobileDeviceNames(gTable.mobileDevice)) return nullptr;

    Assign(gTable.CFPropertyListCreateData,
           platform::FindSymbol(coreFoundation, "CFPropertyListCreateData"));
    Assign(gTable.AFCKeyValueClose, platform::FindSymbol(gTable.mobileDevice, "AFCKeyValueClose"));
    Assign(gTable.BwSimCopyPortableDevices,
           platform::FindSymbol(gTable.mobileDevice, "BwSimCopyPortableDevices"));
    Assign(gTable.BwSimDirectoryOpenWithInfo,
           platform::FindSymbol(gTable.mobileDevice, "BwSimDirectoryOpenWithInfo"));
    Assign(gTable.BwSimDirectoryReadWithInfo,
           platform::FindSymbol(gTable.mobileDevice, "BwSimDirectoryReadWithInfo"));
    gLoaded.store(true, std::memory_order_release);
    return gTable.mobileDevice;
}

platform::LibraryHandle LoadAirTrafficHost() {
    ClearAirTrafficHostSlots();
    // The runtime's own folders go first, as for CoreFoundation: a library of the same name
    // earlier on PATH is never taken for Apple's.
    const std::optional<RuntimeLocation> location = ReadRuntimeLocation();
    std::vector<std::string> runtimeFolders;
    if (location) runtimeFolders = {location->LibraryFolder(), location->installDir};
    gTable.airTrafficHost = platform::LoadLibraryByName("AirTrafficHost.dll", runtimeFolders);
    platform::LibraryHandle library = gTable.airTrafficHost;
    if (library == nullptr) return nullptr;
#define BW_LOOK_UP(name, result, parameters)                   \
    if (void* symbol = platform::FindSymbol(library, #name)) { \
        Assign(gTable.name, symbol);                           \
    } else {                                                   \
        return nullptr;                                        \
    }
    BW_AIR_TRAFFIC_HOST_FUNCTIONS(BW_LOOK_UP)
#undef BW_LOOK_UP
    return library;
}

void UseListingWithInfoForTests(bool use) {
    if (gTable.mobileDevice == nullptr) return;
    Assign(gTable.BwSimDirectoryOpenWithInfo,
           use ? platform::FindSymbol(gTable.mobileDevice, "BwSimDirectoryOpenWithInfo") : nullptr);
    Assign(gTable.BwSimDirectoryReadWithInfo,
           use ? platform::FindSymbol(gTable.mobileDevice, "BwSimDirectoryReadWithInfo") : nullptr);
}

void ResetRuntimeTableForTests() {
    gLoaded.store(false, std::memory_order_release);
    gTable = RuntimeTable{};
}

}  // namespace bw
