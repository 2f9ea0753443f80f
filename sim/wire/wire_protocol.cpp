#include "wire_protocol.h"

#include <cstdlib>

#include "common/plist_input_check.h"

namespace bw::sim::wire {
namespace {

uint32_t LittleEndian32(std::string_view bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return value;
}

void AppendLittleEndian32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void AppendBigEndian32(std::string& out, uint32_t value) {
    for (int i = 3; i >= 0; --i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::string UsbmuxBytes(uint32_t version, uint32_t message, uint32_t tag,
                        std::string_view payload) {
    std::string out;
    out.reserve(kUsbmuxHeaderBytes + payload.size());
    AppendLittleEndian32(out, static_cast<uint32_t>(kUsbmuxHeaderBytes + payload.size()));
    AppendLittleEndian32(out, version);
    AppendLittleEndian32(out, message);
    AppendLittleEndian32(out, tag);
    out.append(payload);
    return out;
}

std::string ListBytes(plist_t body, bool binary) {
    char* bytes = nullptr;
    uint32_t length = 0;
    if (binary) {
        plist_to_bin(body, &bytes, &length);
    } else {
        plist_to_xml(body, &bytes, &length);
    }
    std::string out = bytes != nullptr ? std::string(bytes, length) : std::string();
    if (bytes != nullptr) {
        if (binary) {
            plist_to_bin_free(bytes);
        } else {
            plist_to_xml_free(bytes);
        }
    }
    return out;
}

// A dictionary read from checked bytes, or null.
PlistTree DictionaryFrom(std::string_view bytes) {
    PlistTree tree = ParseCheckedPlist(bytes);
    if (tree == nullptr || plist_get_node_type(tree.get()) != PLIST_DICT) return nullptr;
    return tree;
}

}  // namespace

std::optional<UsbmuxHeader> ReadUsbmuxHeader(std::string_view bytes) {
    if (bytes.size() < kUsbmuxHeaderBytes) return std::nullopt;
    UsbmuxHeader header;
    header.length = LittleEndian32(bytes, 0);
    header.version = LittleEndian32(bytes, 4);
    header.message = LittleEndian32(bytes, 8);
    header.tag = LittleEndian32(bytes, 12);
    if (header.length < kUsbmuxHeaderBytes || header.length > kMaxMessageBytes) return std::nullopt;
    return header;
}

std::optional<UsbmuxRequest> ReadUsbmuxRequest(std::string_view message) {
    const std::optional<UsbmuxHeader> header = ReadUsbmuxHeader(message);
    if (!header || header->length != message.size()) return std::nullopt;
    UsbmuxRequest request;
    request.header = *header;
    if (header->version != kUsbmuxPlistVersion || header->message != kUsbmuxPlistMessage) {
        request.verdict = UsbmuxVerdict::OldVersion;
        return request;
    }
    PlistTree body = DictionaryFrom(message.substr(kUsbmuxHeaderBytes));
    if (body == nullptr) return request;
    std::optional<std::string> type = TextItem(body.get(), "MessageType");
    if (!type) return request;
    request.verdict = UsbmuxVerdict::Request;
    request.type = std::move(*type);
    request.body = std::move(body);
    return request;
}

std::string UsbmuxPlistBytes(plist_t body, uint32_t tag) {
    return UsbmuxBytes(kUsbmuxPlistVersion, kUsbmuxPlistMessage, tag, ListBytes(body, false));
}

std::string UsbmuxResultBytes(uint32_t number, uint32_t tag) {
    PlistTree body = DictBuilder().Text("MessageType", "Result").Integer("Number", number).Take();
    return UsbmuxPlistBytes(body.get(), tag);
}

std::string UsbmuxBinaryResultBytes(uint32_t number, uint32_t tag) {
    std::string payload;
    AppendLittleEndian32(payload, number);
    return UsbmuxBytes(0, kUsbmuxResultMessage, tag, payload);
}

std::optional<uint32_t> ReadFrameLength(std::string_view fourBytes) {
    if (fourBytes.size() < 4) return std::nullopt;
    uint32_t length = 0;
    for (size_t i = 0; i < 4; ++i)
        length = (length << 8) | static_cast<unsigned char>(fourBytes[i]);
    if (length == 0 || length > kMaxMessageBytes) return std::nullopt;
    return length;
}

std::optional<FramedMessage> ReadFramedMessage(std::string_view frame) {
    const std::optional<uint32_t> length = ReadFrameLength(frame);
    if (!length || frame.size() != 4 + size_t{*length}) return std::nullopt;
    const std::string_view list = frame.substr(4);
    FramedMessage message;
    message.binary = LooksLikeBinaryPlist(list);
    message.body = DictionaryFrom(list);
    if (message.body == nullptr) return std::nullopt;
    return message;
}

std::string FramedBytes(plist_t body, bool binary) {
    const std::string list = ListBytes(body, binary);
    std::string out;
    out.reserve(4 + list.size());
    AppendBigEndian32(out, static_cast<uint32_t>(list.size()));
    out.append(list);
    return out;
}

std::optional<std::string> TextItem(plist_t dict, const char* key) {
    if (dict == nullptr || plist_get_node_type(dict) != PLIST_DICT) return std::nullopt;
    const plist_t node = plist_dict_get_item(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    char* text = nullptr;
    plist_get_string_val(node, &text);
    if (text == nullptr) return std::nullopt;
    std::string value = text;
    std::free(text);
    return value;
}

std::optional<uint64_t> UintItem(plist_t dict, const char* key) {
    if (dict == nullptr || plist_get_node_type(dict) != PLIST_DICT) return std::nullopt;
    const plist_t node = plist_dict_get_item(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    return value;
}

}  // namespace bw::sim::wire
