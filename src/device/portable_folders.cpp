#include "device/portable_folders.h"

#include "device/runtime_values.h"

namespace bw {

namespace {

// The runtime crashes when an object is read as a type it is not; without the type functions
// nothing read from the list is trusted.
bool IsOfType(rt::CFTypeRef value, rt::CFTypeID (*typeId)()) {
    const RuntimeTable& runtime = Runtime();
    return value != nullptr && runtime.CFGetTypeID != nullptr && typeId != nullptr &&
           runtime.CFGetTypeID(value) == typeId();
}

std::string StringValue(rt::CFDictionaryRef dictionary, std::string_view key) {
    const CFString cfKey = MakeCFString(key);
    if (!cfKey) return {};
    const void* value = Runtime().CFDictionaryGetValue(dictionary, cfKey.get());
    // CFStringToWString checks the type itself.
    return CFStringToWString(static_cast<rt::CFStringRef>(value));
}

}  // namespace

std::vector<platform::PortableFolder> SimulatedPortableFolders() {
    std::vector<platform::PortableFolder> folders;
    if (!RuntimeLoaded() || Runtime().BwSimCopyPortableDevices == nullptr) return folders;
    const RuntimeTable& runtime = Runtime();
    const CFOwned<rt::CFArrayRef> devices(runtime.BwSimCopyPortableDevices());
    if (!IsOfType(devices.get(), runtime.CFArrayGetTypeID)) return folders;
    const rt::CFIndex count = runtime.CFArrayGetCount(devices.get());
    for (rt::CFIndex i = 0; i < count; ++i) {
        const auto entry =
            static_cast<rt::CFDictionaryRef>(runtime.CFArrayGetValueAtIndex(devices.get(), i));
        if (!IsOfType(entry, runtime.CFDictionaryGetTypeID)) continue;
        platform::PortableFolder folder{StringValue(entry, "FriendlyName"),
                                        StringValue(entry, "SerialNumber"),
                                        StringValue(entry, "Folder")};
        if (folder.friendlyName.empty() || folder.serialNumber.empty() ||
            !folder.folder.starts_with('/')) {
            continue;
        }
        folders.push_back(std::move(folder));
    }
    return folders;
}

}  // namespace bw
