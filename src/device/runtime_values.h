// The value bridge: small process-wide functions that hide the runtime's CoreFoundation objects
// from the rest of the library. Text is UTF-8 inside the library; it crosses to CoreFoundation as
// UTF-16 and to AFC as UTF-8. Every function fails quietly (empty, 0) while no usable runtime is
// loaded.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "device/runtime.h"

namespace bw {

// Releases with CFRelease what the library created or was handed at +1 by a Copy or Create call.
template <typename Ref>
class CFOwned {
  public:
    CFOwned() = default;
    explicit CFOwned(Ref ref) : ref_(ref) {}
    ~CFOwned() { reset(); }
    CFOwned(const CFOwned&) = delete;
    CFOwned& operator=(const CFOwned&) = delete;
    CFOwned(CFOwned&& other) noexcept : ref_(std::exchange(other.ref_, nullptr)) {}
    CFOwned& operator=(CFOwned&& other) noexcept {
        if (this != &other) {
            reset();
            ref_ = std::exchange(other.ref_, nullptr);
        }
        return *this;
    }

    Ref get() const { return ref_; }
    explicit operator bool() const { return ref_ != nullptr; }
    void reset() {
        // A null object is never handed to CFRelease: the runtime aborts on it.
        if (ref_ != nullptr && Runtime().CFRelease != nullptr) Runtime().CFRelease(ref_);
        ref_ = nullptr;
    }

  private:
    Ref ref_ = nullptr;
};

using CFString = CFOwned<rt::CFStringRef>;

// A CFString of the text (UTF-16 inside); empty (null) when the runtime is not loaded.
CFString MakeCFString(std::string_view text);
// The text of a CFString, up to its first zero character; empty for null or a non-string.
std::string CFStringToWString(rt::CFStringRef string);

// Lockdown values of a device. An empty domain passes no domain. Absent values read as "" and 0.
// CopyDeviceValue hands the raw value over (an empty key copies the whole domain);
// DeviceValueText turns strings, integers and booleans into text and anything else into "".
CFOwned<rt::CFTypeRef> CopyDeviceValue(rt::AMDeviceRef device, std::string_view domain,
                                       std::string_view key);
std::string DeviceValueText(rt::CFTypeRef value);
std::string CopyDeviceString(rt::AMDeviceRef device, std::string_view key);
std::string CopyDeviceDomainString(rt::AMDeviceRef device, std::string_view domain,
                                   std::string_view key);
int64_t CopyDeviceInteger(rt::AMDeviceRef device, std::string_view key);
int64_t CopyDeviceDomainInteger(rt::AMDeviceRef device, std::string_view domain,
                                std::string_view key);

// Runtime status, 0 = success. A non-zero status when the runtime is not loaded.
int StartDeviceService(rt::AMDeviceRef device, std::string_view name, rt::ServiceHandle* handle);
int SecureStartDeviceService(rt::AMDeviceRef device, std::string_view name,
                             rt::CFDictionaryRef options, rt::AMDServiceConnectionRef* connection);

// Invalidates and releases a service connection that no AFC connection took over (a service
// start hands it out at +1; an AFC connection opened on it closes it with itself instead).
void CloseServiceHandle(rt::ServiceHandle handle);

// Reads every pair of an AFC key-value iterator; a later duplicate key keeps the first value.
void ReadAfcKeyValues(rt::AFCKeyValueRef values, std::map<std::string, std::string>& out);

// AFC status, 0 = success; 0 without a call while the runtime is not loaded.
int AfcMakeDirectory(rt::AFCConnectionRef connection, const std::string& path);
int AfcOpenDirectory(rt::AFCConnectionRef connection, const std::string& path,
                     rt::AFCDirectoryRef* directory);
// `name` is the next entry's name, or empty at the end of the listing.
int AfcReadDirectory(rt::AFCConnectionRef connection, rt::AFCDirectoryRef directory,
                     std::string& name);
int AfcRemovePath(rt::AFCConnectionRef connection, const std::string& path);

// The bytes as they come back through a CFData; empty when the data object cannot be made.
std::string BytesToByteString(const void* bytes, size_t length);

// The folder of the iTunes program named by the registry's open command, when it is writable.
std::string GetITunesFolder();

// Version resources do not exist on this platform: always empty, so callers take their
// fallbacks.
std::string GetFileVersionString(const std::string& path);

}  // namespace bw
