// Builds manifest bytes field by field, so tests state exactly what lies on disk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bw::testing {

// A record as the device would store it; std::nullopt is a field with "no value" (0xFFFF).
struct MbdbRecordFields {
    std::optional<std::string> domain = "HomeDomain";
    std::optional<std::string> path = "Library/file";
    std::optional<std::string> linkTarget;
    std::optional<std::string> dataHash;
    std::optional<std::string> encryptionKey;
    uint16_t mode = 0100644;
    uint64_t inode = 12345;
    uint32_t userId = 501;
    uint32_t groupId = 501;
    uint32_t modifiedTime = 1234567890;
    uint32_t accessedTime = 1234567891;
    uint32_t createdTime = 1234567892;
    uint64_t size = 0;
    uint8_t protectionClass = 4;
    std::vector<std::pair<std::optional<std::string>, std::optional<std::string>>> properties;
};

class MbdbBuilder {
  public:
    explicit MbdbBuilder(std::string_view header = std::string_view("mbdb\x05\x00", 6))
        : bytes_(header) {}

    MbdbBuilder& U8(uint8_t value) {
        bytes_.push_back(static_cast<char>(value));
        return *this;
    }
    MbdbBuilder& U16(uint16_t value) { return BigEndian(value, 2); }
    MbdbBuilder& U32(uint32_t value) { return BigEndian(value, 4); }
    MbdbBuilder& U64(uint64_t value) { return BigEndian(value, 8); }
    MbdbBuilder& Raw(std::string_view bytes) {
        bytes_.append(bytes);
        return *this;
    }
    MbdbBuilder& String(const std::optional<std::string>& value) {
        if (!value) return U16(0xFFFF);
        U16(static_cast<uint16_t>(value->size()));
        return Raw(*value);
    }

    MbdbBuilder& Record(const MbdbRecordFields& fields) {
        String(fields.domain).String(fields.path).String(fields.linkTarget);
        String(fields.dataHash).String(fields.encryptionKey);
        U16(fields.mode).U64(fields.inode).U32(fields.userId).U32(fields.groupId);
        U32(fields.modifiedTime).U32(fields.accessedTime).U32(fields.createdTime);
        U64(fields.size).U8(fields.protectionClass);
        U8(static_cast<uint8_t>(fields.properties.size()));
        for (const auto& [name, value] : fields.properties)
            String(name).String(value);
        return *this;
    }

    // Offset at which the next field will be written (record starts, for truncation tests).
    size_t Size() const { return bytes_.size(); }
    const std::string& Bytes() const { return bytes_; }

  private:
    MbdbBuilder& BigEndian(uint64_t value, int count) {
        for (int shift = 8 * (count - 1); shift >= 0; shift -= 8) {
            bytes_.push_back(static_cast<char>((value >> shift) & 0xFF));
        }
        return *this;
    }

    std::string bytes_;
};

inline MbdbRecordFields FileRecord(std::string domain, std::string path, uint64_t size = 0) {
    MbdbRecordFields fields;
    fields.domain = std::move(domain);
    fields.path = std::move(path);
    fields.size = size;
    return fields;
}

}  // namespace bw::testing
