#include "device/runtime_values.h"

#include <cstring>
#include <vector>

#include "device/host_utils.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace bw {

namespace {

// Status given when a call cannot be made because the runtime is not loaded.
constexpr int kNotLoaded = -1;

// A device value is a short text; anything that claims more is refused before allocating.
constexpr rt::CFIndex kMaxStringBytes = rt::CFIndex{64} << 20;

bool HasType(rt::CFTypeRef value, rt::CFTypeID (*typeId)()) {
    const RuntimeTable& runtime = Runtime();
    // Without the runtime's type functions the value is taken as it comes.
    if (runtime.CFGetTypeID == nullptr || typeId == nullptr) return true;
    return runtime.CFGetTypeID(value) == typeId();
}

int64_t NumberValue(rt::CFTypeRef value) {
    int64_t number = 0;
    if (value != nullptr && HasType(value, Runtime().CFNumberGetTypeID)) {
        Runtime().CFNumberGetValue(static_cast<rt::CFNumberRef>(value), rt::kCFNumberLongLongType,
                                   &number);
    }
    return number;
}

// Host paths here use "/", but a registry written on Windows names the program with "\".
size_t LastSeparator(std::string_view path) {
    return path.find_last_of("/\\");
}

}  // namespace

CFOwned<rt::CFTypeRef> CopyDeviceValue(rt::AMDeviceRef device, std::string_view domain,
                                       std::string_view key) {
    if (!RuntimeLoaded() || device == nullptr) return {};
    const CFString domainString = domain.empty() ? CFString() : MakeCFString(domain);
    const CFString keyString = key.empty() ? CFString() : MakeCFString(key);
    // AMDeviceCopyValue hands its value out at +1; the owner releases it.
    return CFOwned<rt::CFTypeRef>(
        Runtime().AMDeviceCopyValue(device, domainString.get(), keyString.get()));
}

std::string DeviceValueText(rt::CFTypeRef value) {
    if (!RuntimeLoaded() || value == nullptr) return {};
    const RuntimeTable& runtime = Runtime();
    if (value == static_cast<rt::CFTypeRef>(runtime.kCFBooleanTrue)) return "true";
    if (runtime.CFGetTypeID == nullptr) {
        return CFStringToWString(static_cast<rt::CFStringRef>(value));
    }
    const rt::CFTypeID type = runtime.CFGetTypeID(value);
    if (runtime.CFStringGetTypeID != nullptr && type == runtime.CFStringGetTypeID()) {
        return CFStringToWString(static_cast<rt::CFStringRef>(value));
    }
    if (runtime.CFNumberGetTypeID != nullptr && type == runtime.CFNumberGetTypeID()) {
        return std::to_string(NumberValue(value));
    }
    if (runtime.CFBooleanGetTypeID != nullptr && type == runtime.CFBooleanGetTypeID()) {
        return "false";  // the true object was recognised above
    }
    return {};
}

CFString MakeCFString(std::string_view text) {
    if (!RuntimeLoaded()) return {};
    const std::u16string wide = Utf8ToWide(text);
    return CFString(Runtime().CFStringCreateWithCharacters(nullptr, wide.data(),
                                                           static_cast<rt::CFIndex>(wide.size())));
}

std::string CFStringToWString(rt::CFStringRef string) {
    if (!RuntimeLoaded() || string == nullptr || !HasType(string, Runtime().CFStringGetTypeID)) {
        return {};
    }
    const RuntimeTable& runtime = Runtime();
    const rt::CFIndex length = runtime.CFStringGetLength(string);
    if (length <= 0) return {};
    const rt::CFIndex maxBytes =
        runtime.CFStringGetMaximumSizeForEncoding(length, rt::kCFStringEncodingUTF16);
    if (maxBytes <= 0 || maxBytes > kMaxStringBytes) return {};
    // Two zero bytes more than the text can take, so the result always ends in a zero character.
    std::vector<char> buffer(static_cast<size_t>(maxBytes) + 2, 0);
    runtime.CFStringGetCString(string, buffer.data(), static_cast<rt::CFIndex>(buffer.size()),
                               rt::kCFStringEncodingUTF16);
    std::u16string wide;
    for (size_t i = 0; i + 1 < buffer.size(); i += 2) {
        char16_t unit;
        std::memcpy(&unit, buffer.data() + i, sizeof unit);
        if (unit == 0) break;
        wide.push_back(unit);
    }
    return WideToUtf8(wide);
}

std::string CopyDeviceString(rt::AMDeviceRef device, std::string_view key) {
    return CopyDeviceDomainString(device, {}, key);
}

std::string CopyDeviceDomainString(rt::AMDeviceRef device, std::string_view domain,
                                   std::string_view key) {
    const CFOwned<rt::CFTypeRef> value = CopyDeviceValue(device, domain, key);
    return CFStringToWString(static_cast<rt::CFStringRef>(value.get()));
}

int64_t CopyDeviceInteger(rt::AMDeviceRef device, std::string_view key) {
    return CopyDeviceDomainInteger(device, {}, key);
}

int64_t CopyDeviceDomainInteger(rt::AMDeviceRef device, std::string_view domain,
                                std::string_view key) {
    const CFOwned<rt::CFTypeRef> value = CopyDeviceValue(device, domain, key);
    return NumberValue(value.get());
}

int StartDeviceService(rt::AMDeviceRef device, std::string_view name, rt::ServiceHandle* handle) {
    if (!RuntimeLoaded()) return kNotLoaded;
    const CFString service = MakeCFString(name);
    return Runtime().AMDeviceStartService(device, service.get(), handle, nullptr);
}

int SecureStartDeviceService(rt::AMDeviceRef device, std::string_view name,
                             rt::CFDictionaryRef options, rt::AMDServiceConnectionRef* connection) {
    if (!RuntimeLoaded()) return kNotLoaded;
    const CFString service = MakeCFString(name);
    return Runtime().AMDeviceSecureStartService(device, service.get(), options, connection);
}

void CloseServiceHandle(rt::ServiceHandle handle) {
    if (!RuntimeLoaded() || handle == nullptr) return;
    const auto connection = static_cast<rt::AMDServiceConnectionRef>(handle);
    Runtime().AMDServiceConnectionInvalidate(connection);
    Runtime().CFRelease(connection);
}

void ReadAfcKeyValues(rt::AFCKeyValueRef values, std::map<std::string, std::string>& out) {
    if (!RuntimeLoaded() || values == nullptr) return;
    char* key = nullptr;
    char* value = nullptr;
    while (Runtime().AFCKeyValueRead(values, &key, &value) == 0 && key != nullptr &&
           value != nullptr) {
        out.emplace(key, value);  // emplace keeps the first value of a repeated key
        key = value = nullptr;
    }
}

int AfcMakeDirectory(rt::AFCConnectionRef connection, const std::string& path) {
    if (!RuntimeLoaded()) return 0;
    return Runtime().AFCDirectoryCreate(connection, path.c_str());
}

int AfcOpenDirectory(rt::AFCConnectionRef connection, const std::string& path,
                     rt::AFCDirectoryRef* directory) {
    if (!RuntimeLoaded()) return 0;
    return Runtime().AFCDirectoryOpen(connection, path.c_str(), directory);
}

int AfcReadDirectory(rt::AFCConnectionRef connection, rt::AFCDirectoryRef directory,
                     std::string& name) {
    name.clear();
    if (!RuntimeLoaded()) return 0;
    char* entry = nullptr;
    const int status = Runtime().AFCDirectoryRead(connection, directory, &entry);
    if (entry != nullptr) name = entry;
    return status;
}

int AfcRemovePath(rt::AFCConnectionRef connection, const std::string& path) {
    if (!RuntimeLoaded()) return 0;
    return Runtime().AFCRemovePath(connection, path.c_str());
}

std::string BytesToByteString(const void* bytes, size_t length) {
    if (!RuntimeLoaded() || (bytes == nullptr && length > 0)) return {};
    const RuntimeTable& runtime = Runtime();
    const CFOwned<rt::CFDataRef> data(runtime.CFDataCreate(
        nullptr, static_cast<const rt::UInt8*>(bytes), static_cast<rt::CFIndex>(length)));
    if (!data) return {};
    const rt::CFIndex size = runtime.CFDataGetLength(data.get());
    const rt::UInt8* start = runtime.CFDataGetBytePtr(data.get());
    if (size <= 0 || start == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(start), static_cast<size_t>(size));
}

std::string GetITunesFolder() {
    const auto command = platform::ReadRegistryString(
        platform::RegistryRoot::ClassesRoot, "applications\\iTunes.exe\\shell\\open\\command", "");
    if (!command) return {};
    // The command reads "\"<folder>/iTunes.exe\" \"%1\"": the program is the first quoted text.
    const size_t open = command->find('"');
    if (open == std::string::npos) return {};
    const size_t close = command->find('"', open + 1);
    if (close == std::string::npos) return {};
    std::string program = command->substr(open + 1, close - open - 1);
    const size_t separator = LastSeparator(program);
    if (separator == std::string::npos) return {};
    program.resize(separator);
    return IsFolderWritable(program) ? program : std::string{};
}

std::string GetFileVersionString(const std::string&) {
    return {};
}

}  // namespace bw
