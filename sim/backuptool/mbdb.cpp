#include "mbdb.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace bw::sim::backuptool {
namespace {

constexpr uint16_t kNoValue = 0xFFFF;
// The reader checks "mbdb" and the major version; the minor version byte may differ.
constexpr size_t kCheckedHeaderBytes = 5;

class Writer {
  public:
    template <typename T>
    void Number(T value) {
        for (size_t i = sizeof(T); i-- > 0;)
            out_.push_back(static_cast<char>(static_cast<uint64_t>(value) >> (8 * i)));
    }

    bool String(const MbdbString& value) {
        if (!value) {
            Number<uint16_t>(kNoValue);
            return true;
        }
        if (value->size() >= kNoValue) return false;
        Number(static_cast<uint16_t>(value->size()));
        out_ += *value;
        return true;
    }

    std::string& Bytes() { return out_; }

  private:
    std::string out_;
};

class Reader {
  public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}

    bool AtEnd() const { return at_ == bytes_.size(); }
    size_t Offset() const { return at_; }

    template <typename T>
    bool Number(T& value) {
        if (bytes_.size() - at_ < sizeof(T)) return false;
        uint64_t result = 0;
        for (size_t i = 0; i < sizeof(T); ++i)
            result = (result << 8) | static_cast<uint8_t>(bytes_[at_ + i]);
        value = static_cast<T>(result);
        at_ += sizeof(T);
        return true;
    }

    bool String(MbdbString& value) {
        uint16_t length = 0;
        if (!Number(length)) return false;
        if (length == kNoValue) {
            value.reset();
            return true;
        }
        if (bytes_.size() - at_ < length) return false;
        value.emplace(bytes_.substr(at_, length));
        at_ += length;
        return true;
    }

  private:
    std::string_view bytes_;
    size_t at_ = 0;
};

bool ReadRecord(Reader& in, ManifestRecord& record) {
    if (!in.String(record.domain) || !in.String(record.path) || !in.String(record.linkTarget) ||
        !in.String(record.dataHash) || !in.String(record.encryptionKey) ||
        !in.Number(record.mode) || !in.Number(record.inode) || !in.Number(record.userId) ||
        !in.Number(record.groupId) || !in.Number(record.modifiedTime) ||
        !in.Number(record.accessedTime) || !in.Number(record.createdTime) ||
        !in.Number(record.size) || !in.Number(record.protectionClass))
        return false;
    uint8_t count = 0;
    if (!in.Number(count)) return false;
    record.properties.resize(count);
    for (auto& [name, value] : record.properties) {
        if (!in.String(name) || !in.String(value)) return false;
    }
    return true;
}

char HexDigit(unsigned value) {
    return "0123456789abcdef"[value & 0xF];
}

}  // namespace

std::optional<std::string> EncodeManifest(const std::vector<ManifestRecord>& records) {
    Writer out;
    out.Bytes() = kMbdbHeader;
    for (const ManifestRecord& record : records) {
        if (!out.String(record.domain) || !out.String(record.path) ||
            !out.String(record.linkTarget) || !out.String(record.dataHash) ||
            !out.String(record.encryptionKey) || record.properties.size() > 255)
            return std::nullopt;
        out.Number(record.mode);
        out.Number(record.inode);
        out.Number(record.userId);
        out.Number(record.groupId);
        out.Number(record.modifiedTime);
        out.Number(record.accessedTime);
        out.Number(record.createdTime);
        out.Number(record.size);
        out.Number(record.protectionClass);
        out.Number(static_cast<uint8_t>(record.properties.size()));
        for (const auto& [name, value] : record.properties) {
            if (!out.String(name) || !out.String(value)) return std::nullopt;
        }
    }
    return std::move(out.Bytes());
}

bool DecodeManifest(std::string_view bytes, std::vector<ManifestRecord>& records,
                    std::string& error) {
    records.clear();
    if (bytes.size() < kMbdbHeader.size() ||
        bytes.substr(0, kCheckedHeaderBytes) != kMbdbHeader.substr(0, kCheckedHeaderBytes)) {
        error = "no mbdb header";
        return false;
    }
    Reader in(bytes.substr(kMbdbHeader.size()));
    while (!in.AtEnd()) {
        const size_t offset = kMbdbHeader.size() + in.Offset();
        ManifestRecord record;
        if (!ReadRecord(in, record)) {
            records.clear();
            error = "the record at offset " + std::to_string(offset) + " is cut short";
            return false;
        }
        records.push_back(std::move(record));
    }
    return true;
}

ContentHash::ContentHash() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr ||
        EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context_), EVP_sha1(), nullptr) != 1)
        throw std::runtime_error("SHA-1 is not available");
}

ContentHash::~ContentHash() {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_));
}

void ContentHash::Update(const void* bytes, size_t size) {
    EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_), bytes, size);
}

Sha1Digest ContentHash::Finish() {
    Sha1Digest digest{};
    unsigned int length = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context_), digest.data(), &length);
    return digest;
}

Sha1Digest Sha1Of(std::string_view bytes) {
    ContentHash hash;
    hash.Update(bytes.data(), bytes.size());
    return hash.Finish();
}

std::string DigestBytes(const Sha1Digest& digest) {
    return std::string(reinterpret_cast<const char*>(digest.data()), digest.size());
}

std::string BackupFileName(std::string_view domain, std::string_view path) {
    std::string joined;
    joined.reserve(domain.size() + 1 + path.size());
    joined.append(domain).append("-").append(path);
    const Sha1Digest digest = Sha1Of(joined);
    std::string name;
    name.reserve(2 * digest.size());
    for (const uint8_t byte : digest) {
        name.push_back(HexDigit(byte >> 4));
        name.push_back(HexDigit(byte));
    }
    return name;
}

}  // namespace bw::sim::backuptool
