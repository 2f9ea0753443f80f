// The byte formats of the device links, as pure functions over bytes: the multiplexer's messages
// (a 16-byte little-endian header, then a property list) and the framed property lists that
// lockdown and the plist services exchange (a 4-byte big-endian length, then the list). Every
// reader here takes bytes from a client that no one vouches for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/plist_tree.h"

namespace bw::sim::wire {

// No message of either protocol is larger: a pair record or a device's whole domain is a few
// kilobytes, an application list a few hundred.
inline constexpr uint32_t kMaxMessageBytes = 1u << 20;

inline constexpr size_t kUsbmuxHeaderBytes = 16;
inline constexpr uint32_t kUsbmuxPlistVersion = 1;
inline constexpr uint32_t kUsbmuxResultMessage = 1;
inline constexpr uint32_t kUsbmuxPlistMessage = 8;

// The multiplexer's result numbers.
inline constexpr uint32_t kResultOk = 0;
inline constexpr uint32_t kResultBadCommand = 1;
inline constexpr uint32_t kResultBadDevice = 2;
inline constexpr uint32_t kResultConnectionRefused = 3;
inline constexpr uint32_t kResultBadVersion = 6;

struct UsbmuxHeader {
    uint32_t length = 0;  // of the whole message, header included
    uint32_t version = 0;
    uint32_t message = 0;
    uint32_t tag = 0;
};

// The header at the start of `bytes` (at least kUsbmuxHeaderBytes of them); nothing when its
// length is shorter than a header or longer than kMaxMessageBytes.
std::optional<UsbmuxHeader> ReadUsbmuxHeader(std::string_view bytes);

enum class UsbmuxVerdict {
    Request,     // a property-list request with a "MessageType"
    OldVersion,  // a request of the binary protocol, which is not served
    Malformed,   // the payload is no dictionary with a "MessageType" string
};

struct UsbmuxRequest {
    UsbmuxVerdict verdict = UsbmuxVerdict::Malformed;
    UsbmuxHeader header;
    std::string type;  // "MessageType"
    PlistTree body;    // the dictionary, for Request
};

// Reads one whole message (header and payload, exactly header.length bytes); nothing when the
// header itself is unusable, so the link cannot be trusted to stay in step.
std::optional<UsbmuxRequest> ReadUsbmuxRequest(std::string_view message);

// A property-list message (XML, as the multiplexer writes them) with `tag`.
std::string UsbmuxPlistBytes(plist_t body, uint32_t tag);
// {"MessageType": "Result", "Number": number}.
std::string UsbmuxResultBytes(uint32_t number, uint32_t tag);
// The binary protocol's result message, for clients that speak only that.
std::string UsbmuxBinaryResultBytes(uint32_t number, uint32_t tag);

// The length in a 4-byte big-endian frame header; nothing when it exceeds kMaxMessageBytes or is
// zero.
std::optional<uint32_t> ReadFrameLength(std::string_view fourBytes);

struct FramedMessage {
    PlistTree body;       // a dictionary
    bool binary = false;  // the client wrote a binary list (answers use the same form)
};

// A framed property list whose top level is a dictionary: the 4-byte length and exactly that
// many bytes of list. Nothing when the frame or the list is broken.
std::optional<FramedMessage> ReadFramedMessage(std::string_view frame);

// The frame for `body`, binary or XML.
std::string FramedBytes(plist_t body, bool binary);

// The string at `key` of a dictionary, or nothing.
std::optional<std::string> TextItem(plist_t dict, const char* key);
// The unsigned integer at `key` of a dictionary, or nothing.
std::optional<uint64_t> UintItem(plist_t dict, const char* key);

}  // namespace bw::sim::wire
