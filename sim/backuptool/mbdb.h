// The backup manifest, Manifest.mbdb, as the backup tool writes and reads it, and the names and
// hashes of the files a backup stores.
//
// The file is the header "mbdb" 0x05 0x00 and then one record after another up to its end. A
// record: domain, relative path, link target, data hash and encryption key as strings; mode (16
// bits), inode (64), user id (32), group id (32), last modified, last accessed and created times
// (32-bit Unix seconds each), size (64), protection class (8), property count (8) and that many
// name and value strings. Integers are big-endian; a string is a 16-bit length and that many
// bytes, and the length 0xFFFF stands for no value, followed by nothing.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bw::sim::backuptool {

inline constexpr std::string_view kMbdbHeader{"mbdb\x05\x00", 6};

// A string field: nullopt is "no value" (0xFFFF), which differs from an empty value (0).
using MbdbString = std::optional<std::string>;

struct ManifestRecord {
    MbdbString domain;
    MbdbString path;
    MbdbString linkTarget;
    MbdbString dataHash;  // the 20 SHA-1 bytes of a file's content
    MbdbString encryptionKey;
    uint16_t mode = 0;
    uint64_t inode = 0;
    uint32_t userId = 0;
    uint32_t groupId = 0;
    uint32_t modifiedTime = 0;
    uint32_t accessedTime = 0;
    uint32_t createdTime = 0;
    uint64_t size = 0;
    uint8_t protectionClass = 0;
    std::vector<std::pair<MbdbString, MbdbString>> properties;  // name, value

    bool operator==(const ManifestRecord&) const = default;
};

// The manifest bytes; nullopt when a string is too long for its length field (0xFFFF bytes or
// more) or a record has more than 255 properties.
std::optional<std::string> EncodeManifest(const std::vector<ManifestRecord>& records);

// The records of a whole manifest. False, with a reason, when the header is not "mbdb" 0x05 or a
// record runs past the end of the bytes; no partial list is handed out.
bool DecodeManifest(std::string_view bytes, std::vector<ManifestRecord>& records,
                    std::string& error);

using Sha1Digest = std::array<uint8_t, 20>;

// SHA-1 over content that arrives in pieces.
class ContentHash {
  public:
    ContentHash();
    ~ContentHash();
    ContentHash(const ContentHash&) = delete;
    ContentHash& operator=(const ContentHash&) = delete;

    void Update(const void* bytes, size_t size);
    Sha1Digest Finish();

  private:
    void* context_;  // the digest context of libcrypto
};

Sha1Digest Sha1Of(std::string_view bytes);
std::string DigestBytes(const Sha1Digest& digest);  // the 20 bytes as a string

// The name a backup stores the file of a domain and relative path under: the SHA-1 of domain,
// "-" and path, as 40 lowercase hexadecimal digits.
std::string BackupFileName(std::string_view domain, std::string_view path);

}  // namespace bw::sim::backuptool
