#include "mapping.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "cf_bridge.h"
#include "status.h"

namespace bw::imd {

int AmdFromLockdown(lockdownd_error_t error) {
    switch (error) {
        case LOCKDOWN_E_SUCCESS:
            return kAmdSuccess;
        case LOCKDOWN_E_INVALID_ARG:
            return kAmdInvalidArgument;
        case LOCKDOWN_E_RECEIVE_TIMEOUT:
            return kAmdTimeout;
        case LOCKDOWN_E_MUX_ERROR:
            return kAmdMuxError;
        case LOCKDOWN_E_SSL_ERROR:
        case LOCKDOWN_E_PLIST_ERROR:
        case LOCKDOWN_E_DICT_ERROR:
        case LOCKDOWN_E_INVALID_RESPONSE:
            return kAmdInvalidResponse;
        case LOCKDOWN_E_NO_RUNNING_SESSION:
        case LOCKDOWN_E_SESSION_INACTIVE:
            return kAmdSessionInactive;
        case LOCKDOWN_E_SESSION_ACTIVE:
            return kAmdSessionActive;
        case LOCKDOWN_E_MISSING_KEY:
            return kAmdMissingKey;
        case LOCKDOWN_E_MISSING_VALUE:
            return kAmdMissingValue;
        case LOCKDOWN_E_GET_PROHIBITED:
            return kAmdGetProhibited;
        case LOCKDOWN_E_SET_PROHIBITED:
        case LOCKDOWN_E_IMMUTABLE_VALUE:
            return kAmdSetProhibited;
        case LOCKDOWN_E_PASSWORD_PROTECTED:
            return kAmdPasswordProtected;
        case LOCKDOWN_E_USER_DENIED_PAIRING:
        case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING:
            return kAmdUserDeniedPairing;
        case LOCKDOWN_E_MISSING_HOST_ID:
            return kAmdMissingHostId;
        case LOCKDOWN_E_INVALID_HOST_ID:
            return kAmdInvalidHostId;
        case LOCKDOWN_E_MISSING_SERVICE:
            return kAmdMissingService;
        case LOCKDOWN_E_INVALID_SERVICE:
        case LOCKDOWN_E_SERVICE_PROHIBITED:
            return kAmdInvalidService;
        case LOCKDOWN_E_SERVICE_LIMIT:
            return kAmdStartServiceError;
        case LOCKDOWN_E_MISSING_PAIR_RECORD:
        case LOCKDOWN_E_INVALID_PAIR_RECORD:
        case LOCKDOWN_E_INVALID_CONF:
            return kAmdMissingPairRecord;
        default:
            return kAmdUndefined;
    }
}

int AmdFromIdevice(idevice_error_t error) {
    switch (error) {
        case IDEVICE_E_SUCCESS:
            return kAmdSuccess;
        case IDEVICE_E_INVALID_ARG:
            return kAmdInvalidArgument;
        case IDEVICE_E_NO_DEVICE:
            return kAmdNotFound;
        case IDEVICE_E_NOT_ENOUGH_DATA:
            return kAmdReadError;
        case IDEVICE_E_TIMEOUT:
            return kAmdTimeout;
        case IDEVICE_E_SSL_ERROR:
            return kAmdInvalidResponse;
        default:
            return kAmdMuxError;
    }
}

int AmdFromService(service_error_t error) {
    switch (error) {
        case SERVICE_E_SUCCESS:
            return kAmdSuccess;
        case SERVICE_E_INVALID_ARG:
            return kAmdInvalidArgument;
        case SERVICE_E_MUX_ERROR:
            return kAmdMuxError;
        case SERVICE_E_SSL_ERROR:
            return kAmdInvalidResponse;
        case SERVICE_E_START_SERVICE_ERROR:
            return kAmdStartServiceError;
        case SERVICE_E_NOT_ENOUGH_DATA:
            return kAmdReadError;
        case SERVICE_E_TIMEOUT:
            return kAmdTimeout;
        default:
            return kAmdUndefined;
    }
}

int AfcFromClient(afc_error_t error) {
    if (error >= AFC_E_SUCCESS && error <= AFC_E_INTERNAL_ERROR) return error;
    switch (error) {
        case AFC_E_MUX_ERROR:
            return kAfcNotConnected;
        case AFC_E_NO_MEM:
            return kAfcNoResources;
        case AFC_E_NOT_ENOUGH_DATA:
            return kAfcReadError;
        // A device refuses to remove a folder that still holds entries with its generic code.
        case AFC_E_DIR_NOT_EMPTY:
            return kAfcUndefined;
        default:
            return kAfcUndefined;
    }
}

int InterfaceTypeOf(int usbmuxConnectionType) {
    switch (usbmuxConnectionType) {
        case 1:
            return 1;
        case 2:
            return 2;
        default:
            return 0;
    }
}

std::optional<afc_file_mode_t> AfcModeFromCaller(uint64_t mode) {
    const auto low = static_cast<uint32_t>(mode);
    if (low < AFC_FOPEN_RDONLY || low > AFC_FOPEN_RDAPPEND) return std::nullopt;
    return static_cast<afc_file_mode_t>(low);
}

std::optional<int> SeekOriginFromCaller(uint64_t whence) {
    switch (static_cast<uint32_t>(whence)) {
        case 0:
            return SEEK_SET;
        case 1:
            return SEEK_CUR;
        case 2:
            return SEEK_END;
        default:
            return std::nullopt;
    }
}

bool IsUtf8(const std::string& text) {
    size_t i = 0;
    const size_t size = text.size();
    while (i < size) {
        const auto lead = static_cast<unsigned char>(text[i]);
        size_t extra = 0;
        uint32_t point = 0;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            point = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            point = lead & 0x07;
        } else {
            return false;
        }
        if (size - i <= extra) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            point = (point << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and points above U+10FFFF.
        if ((extra == 2 && point < 0x800) || (extra == 3 && point < 0x10000) ||
            (point >= 0xD800 && point <= 0xDFFF) || point > 0x10FFFF) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

std::optional<KeyValueList> TakeKeyValueList(const char* const* list) {
    KeyValueList pairs;
    if (list == nullptr) return pairs;
    for (size_t i = 0; list[i] != nullptr; i += 2) {
        if (list[i + 1] == nullptr || pairs.size() == kMaxKeyValuePairs) return std::nullopt;
        std::string key(list[i]);
        std::string value(list[i + 1]);
        if (key.empty() || key.size() > kMaxKeyValueText || value.size() > kMaxKeyValueText ||
            !IsUtf8(key) || !IsUtf8(value)) {
            return std::nullopt;
        }
        pairs.emplace_back(std::move(key), std::move(value));
    }
    return pairs;
}

std::vector<std::string> TakeDirectoryNames(const char* const* list) {
    std::vector<std::string> names;
    if (list == nullptr) return names;
    for (size_t i = 0; list[i] != nullptr && names.size() < kMaxDirectoryEntries; ++i) {
        std::string name(list[i]);
        if (name.empty() || name.size() > kMaxNameBytes || name.find('/') != std::string::npos ||
            !IsUtf8(name)) {
            continue;
        }
        names.push_back(std::move(name));
    }
    return names;
}

std::array<unsigned char, 4> FrameHeader(uint32_t length) {
    return {static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
            static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
}

std::optional<uint32_t> FrameBodyLength(const std::array<unsigned char, 4>& header) {
    const uint32_t length = (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) |
                            (uint32_t{header[2]} << 8) | uint32_t{header[3]};
    if (length == 0 || length > kMaxMessageBytes) return std::nullopt;
    return length;
}

namespace {

void PutLittleEndian(std::string& bytes, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<char>((value >> shift) & 0xFF));
}

std::optional<uint64_t> MuxUint(plist_t dictionary, const char* key) {
    const plist_t node = plist_dict_get_item(dictionary, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

std::optional<std::string> MuxText(plist_t dictionary, const char* key) {
    return PlistText(plist_dict_get_item(dictionary, key));
}

// The phone of an "Attached" message (or a device list entry), when it is usable.
std::optional<MuxDevice> MuxDeviceOf(plist_t message) {
    const std::optional<uint64_t> handle = MuxUint(message, "DeviceID");
    const plist_t properties = plist_dict_get_item(message, "Properties");
    if (!handle || *handle == 0 || *handle > UINT32_MAX || properties == nullptr ||
        plist_get_node_type(properties) != PLIST_DICT) {
        return std::nullopt;
    }
    MuxDevice device;
    device.handle = static_cast<uint32_t>(*handle);
    const std::optional<std::string> udid = MuxText(properties, "SerialNumber");
    const std::optional<std::string> type = MuxText(properties, "ConnectionType");
    if (!udid || udid->empty() || udid->size() > 63 || !IsUtf8(*udid) || !type) return std::nullopt;
    device.udid = *udid;
    device.interfaceType = *type == "USB" ? 1 : *type == "Network" ? 2 : 0;
    if (device.interfaceType == 0) return std::nullopt;
    return device;
}

}  // namespace

std::string MuxRequest(const char* messageType, uint32_t tag) {
    PlistOwner request(plist_new_dict());
    plist_dict_set_item(request.node, "MessageType", plist_new_string(messageType));
    plist_dict_set_item(request.node, "ClientVersionString", plist_new_string("brackwater"));
    plist_dict_set_item(request.node, "ProgName", plist_new_string("brackwater"));
    plist_dict_set_item(request.node, "kLibUSBMuxVersion", plist_new_uint(3));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(request.node, &xml, &length);
    std::string bytes;
    PutLittleEndian(bytes, static_cast<uint32_t>(kMuxHeaderBytes + length));
    PutLittleEndian(bytes, 1);
    PutLittleEndian(bytes, 8);
    PutLittleEndian(bytes, tag);
    if (xml != nullptr) bytes.append(xml, length);
    std::free(xml);
    return bytes;
}

std::optional<uint32_t> MuxBodyLength(const std::array<unsigned char, kMuxHeaderBytes>& header) {
    const auto word = [&](size_t at) {
        return static_cast<uint32_t>(header[at]) | (static_cast<uint32_t>(header[at + 1]) << 8) |
               (static_cast<uint32_t>(header[at + 2]) << 16) |
               (static_cast<uint32_t>(header[at + 3]) << 24);
    };
    const uint32_t length = word(0);
    if (word(8) != 8 || length < kMuxHeaderBytes || length > kMaxMuxMessageBytes)
        return std::nullopt;
    return length - static_cast<uint32_t>(kMuxHeaderBytes);
}

std::optional<MuxMessage> ReadMuxMessage(std::string_view body) {
    if (body.empty() || body.size() > kMaxMuxMessageBytes) return std::nullopt;
    PlistOwner root;
    plist_from_memory(body.data(), static_cast<uint32_t>(body.size()), &root.node);
    if (root.node == nullptr || plist_get_node_type(root.node) != PLIST_DICT) return std::nullopt;
    MuxMessage message;
    const plist_t list = plist_dict_get_item(root.node, "DeviceList");
    if (list != nullptr && plist_get_node_type(list) == PLIST_ARRAY) {
        message.kind = MuxMessage::Kind::DeviceList;
        const uint32_t count = plist_array_get_size(list);
        for (uint32_t index = 0; index < count && index < kMaxKeyValuePairs; ++index) {
            if (std::optional<MuxDevice> device = MuxDeviceOf(plist_array_get_item(list, index)))
                message.devices.push_back(std::move(*device));
        }
        return message;
    }
    const std::optional<std::string> type = MuxText(root.node, "MessageType");
    if (type == std::string_view("Result")) {
        message.kind = MuxMessage::Kind::Result;
        message.number = MuxUint(root.node, "Number").value_or(UINT64_MAX);
    } else if (type == std::string_view("Attached")) {
        std::optional<MuxDevice> device = MuxDeviceOf(root.node);
        if (!device) return std::nullopt;
        message.kind = MuxMessage::Kind::Attached;
        message.device = std::move(*device);
    } else if (type == std::string_view("Detached")) {
        const std::optional<uint64_t> handle = MuxUint(root.node, "DeviceID");
        if (!handle || *handle == 0 || *handle > UINT32_MAX) return std::nullopt;
        message.kind = MuxMessage::Kind::Detached;
        message.device.handle = static_cast<uint32_t>(*handle);
    }
    return message;
}

}  // namespace bw::imd
