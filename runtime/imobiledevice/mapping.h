// The small translations between libimobiledevice and the runtime's callers: its error codes into
// the codes callers compare against, the caller's numbers into its enums, and the lists the phone
// sends into bounded values. Kept apart from the exports so that tests can reach them.
#pragma once

#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <libimobiledevice/service.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bw::imd {

// What the runtime accepts from a phone. A device's file information or disk figures are a dozen
// short pairs; a folder of a phone holds at most some hundred thousand names of at most 255 bytes;
// a service message (an application list with its attributes) stays well below the cap.
inline constexpr size_t kMaxKeyValuePairs = 256;
inline constexpr size_t kMaxKeyValueText = 4096;
inline constexpr size_t kMaxDirectoryEntries = 1000000;
inline constexpr size_t kMaxNameBytes = 1024;
inline constexpr uint32_t kMaxMessageBytes = 64u << 20;

int AmdFromLockdown(lockdownd_error_t error);
int AmdFromIdevice(idevice_error_t error);
int AmdFromService(service_error_t error);
// libimobiledevice hands the device's own AFC codes through; its host-side codes (from 30 on)
// become the protocol code a caller can act on.
int AfcFromClient(afc_error_t error);

// 1 USB, 2 network, 0 for a connection type usbmuxd may add later.
int InterfaceTypeOf(int usbmuxConnectionType);

// Callers may pass the mode and the origin as 32-bit values in a 64-bit register, so only the low
// 32 bits count.
std::optional<afc_file_mode_t> AfcModeFromCaller(uint64_t mode);
std::optional<int> SeekOriginFromCaller(uint64_t whence);

using KeyValueList = std::vector<std::pair<std::string, std::string>>;

// The pairs of a NULL-ended key, value, key, value... list (file or device information); nullopt
// when a key has no value, a text is empty-keyed, too long or not UTF-8, or the list too long.
std::optional<KeyValueList> TakeKeyValueList(const char* const* list);

// The names of a NULL-ended folder listing that can name an entry of that folder: names that are
// empty, hold a '/', are too long or are not UTF-8 are left out, and the list ends at the cap.
std::vector<std::string> TakeDirectoryNames(const char* const* list);

bool IsUtf8(const std::string& text);

// A service message is a 4-byte big-endian length and that many bytes of property list.
std::array<unsigned char, 4> FrameHeader(uint32_t length);
// nullopt when the length is zero or above kMaxMessageBytes.
std::optional<uint32_t> FrameBodyLength(const std::array<unsigned char, 4>& header);

// usbmuxd's messages: a 16-byte little-endian header (length with the header, version 1,
// message type 8 for a property list, tag) and an XML property list.
inline constexpr size_t kMuxHeaderBytes = 16;
inline constexpr uint32_t kMaxMuxMessageBytes = 1u << 20;

// A request: the header and the XML of a dictionary with "MessageType" and the client's names.
std::string MuxRequest(const char* messageType, uint32_t tag);
// The body length a header announces; nullopt for anything but a property-list message of a
// length between the header's and kMaxMuxMessageBytes.
std::optional<uint32_t> MuxBodyLength(const std::array<unsigned char, kMuxHeaderBytes>& header);

// A phone as usbmuxd lists it; only phones with a handle, a UTF-8 identifier of sane length and a
// known connection type are kept.
struct MuxDevice {
    uint32_t handle = 0;
    std::string udid;
    int interfaceType = 0;  // 1 USB, 2 network
};

struct MuxMessage {
    enum class Kind { Other, Result, DeviceList, Attached, Detached };
    Kind kind = Kind::Other;
    uint64_t number = 0;             // Result
    MuxDevice device;                // Attached (a usable phone), Detached (its handle)
    std::vector<MuxDevice> devices;  // DeviceList
};

// The message of a body; nullopt when it is not a dictionary, or an Attached phone or Detached
// handle is not usable.
std::optional<MuxMessage> ReadMuxMessage(std::string_view body);

}  // namespace bw::imd
