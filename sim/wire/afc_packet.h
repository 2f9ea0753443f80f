// The AFC wire format. Every packet, both ways, starts with a 40-byte header of little-endian
// fields: the magic "CFA6LPAA", the length of the whole packet, the length of the header and the
// operation's parameters, the packet number (an answer carries its request's), the operation.
// Parameters come next and the payload (the bytes of a write, of a listing, ...) last.
//
// These functions only look at bytes: the server reads them from its socket and hands them here,
// so that every check on what a peer sends lives in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bw::sim::wire {

inline constexpr size_t kAfcHeaderSize = 40;
inline constexpr std::string_view kAfcMagic{"CFA6LPAA", 8};

// The most file bytes one answer or one write carries. A read asking for more gets this much;
// hosts read in a loop until they have what they want.
inline constexpr uint64_t kAfcMaxTransfer = 4 * 1024 * 1024;
// The longest request accepted: the largest write with its parameters, and room to spare.
inline constexpr uint64_t kAfcMaxPacket = kAfcMaxTransfer + 64 * 1024;
// The longest path accepted, without its NUL (a phone's own limit is 1024).
inline constexpr size_t kAfcMaxPath = 1024;

enum class AfcOperation : uint64_t {
    kStatus = 0x01,
    kData = 0x02,
    kReadDirectory = 0x03,
    kTruncate = 0x07,
    kRemovePath = 0x08,
    kMakeDirectory = 0x09,
    kGetFileInfo = 0x0A,
    kGetDeviceInfo = 0x0B,
    kFileOpen = 0x0D,
    kFileOpenResult = 0x0E,
    kFileRead = 0x0F,
    kFileWrite = 0x10,
    kFileSeek = 0x11,
    kFileTell = 0x12,
    kFileTellResult = 0x13,
    kFileClose = 0x14,
    kFileSetSize = 0x15,
    kGetConnectionInfo = 0x16,
    kRenamePath = 0x18,
    kFileLock = 0x1B,
    kMakeLink = 0x1C,
    kRemovePathAndContents = 0x22,
};

// What a STATUS answer carries.
enum class AfcStatus : uint64_t {
    kSuccess = 0,
    kUnknownError = 1,
    kHeaderInvalid = 2,
    kNoResources = 3,
    kReadError = 4,
    kWriteError = 5,
    kUnknownPacketType = 6,
    kInvalidArgument = 7,
    kObjectNotFound = 8,
    kObjectIsDirectory = 9,
    kPermissionDenied = 10,
    kNotConnected = 11,
    kTimeout = 12,
    kTooMuchData = 13,
    kEndOfData = 14,
    kNotSupported = 15,
    kObjectExists = 16,
    kObjectBusy = 17,
    kNoSpaceLeft = 18,
    kWouldBlock = 19,
    kIoError = 20,
    kInterrupted = 21,
    kInProgress = 22,
    kInternalError = 23,
    kDirectoryNotEmpty = 33,
};

struct AfcHeader {
    uint64_t entireLength = 0;
    uint64_t thisLength = 0;
    uint64_t packetNumber = 0;
    uint64_t operation = 0;
};

enum class AfcHeaderCheck {
    kOk,
    kBadMagic,    // not AFC at all
    kBadLengths,  // the lengths contradict each other or the header's own size
    kTooLong,     // more than kAfcMaxPacket
};

// Reads the header from the first kAfcHeaderSize bytes of `bytes` (kBadLengths when it is
// shorter). `out` is filled whenever the magic matched, so a refusal can carry the number.
AfcHeaderCheck ReadAfcHeader(std::string_view bytes, AfcHeader& out);

// One request's arguments. Views point into the body it was decoded from.
struct AfcRequest {
    uint64_t operation = 0;
    uint64_t handle = 0;
    uint64_t number = 0;  // the open mode, read length, seek origin, new size, lock or link kind
    int64_t offset = 0;   // of a seek
    std::string_view path;
    std::string_view secondPath;  // the new name of a rename, the link's name of a link
    std::string_view data;        // the bytes of a write
};

// Decodes the body (everything after the header) of a request of `operation`. kSuccess, or the
// status to answer it with: kInvalidArgument for missing parameters, a path without its NUL or
// longer than kAfcMaxPath; kUnknownPacketType for an operation no phone knows; kNotSupported for
// one this device does not serve.
AfcStatus DecodeAfcRequest(uint64_t operation, std::string_view body, AfcRequest& out);

// Appends an answer's header for parameters and payload of the given sizes.
void AppendAfcHeader(std::string& out, AfcOperation operation, uint64_t packetNumber,
                     size_t parametersSize, size_t payloadSize);

// Whole answers: a status, a number (a file handle, a position), or data as payload.
std::string AfcStatusPacket(uint64_t packetNumber, AfcStatus status);
std::string AfcNumberPacket(AfcOperation operation, uint64_t packetNumber, uint64_t number);
std::string AfcDataPacket(uint64_t packetNumber, std::string_view payload);

}  // namespace bw::sim::wire
