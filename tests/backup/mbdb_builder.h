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
struct MbdbRecordSpec {
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

    MbdbBuilder& Record(const MbdbRecordSpec& spec) {
        String(spec.domain).String(spec.path).String(spec.linkTarget);
        String(spec.dataHash).String(spec.encryptionKey);
        U16(spec.mode).U64(spec.inode).U32(spec.userId).U32(spec.groupId);
        U32(spec.modifiedTime).U32(spec.accessedTime).U32(spec.createdTime);
        U64(spec.size).U8(spec.protectionClass);
        U8(static_cast<uint8_t>(spec.properties.size()));
        for (const auto& [name, value] : spec.properties)
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

inline MbdbRecordSpec FileRecord(std::string domain, std::string path, uint64_t size = 0) {
    MbdbRecordSpec spec;
    spec.domain = std::move(domain);
    spec.path = std::move(path);
    spec.size = size;
    return spec;
}

}  // namespace bw::testing
