// Reading and writing the bytes of "Manifest.mbdb". All integers are big-endian.
#include <algorithm>
#include <cstring>

#include "backup/manifest.h"
#include "formats/sha1.h"
#include "platform/text.h"

namespace bw {
namespace {

constexpr size_t kHeaderSize = 6;
constexpr char kHeaderMagic[] = {'m', 'b', 'd', 'b', 0x05};
// Three names, a hash and a key that are all "no value", then the fixed fields, the size, the
// protection class and the property count.
constexpr size_t kSmallestRecord = 5 * 2 + MbdbRecord::kFixedSize + 8 + 1 + 1;

uint64_t BigEndian(const uint8_t* bytes, size_t count) {
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

// Why six bytes are not a manifest header, for a person: the first byte that differs from
// "mbdb" and the format number 5, or where a file shorter than the header ends.
std::string HeaderProblem(std::string_view bytes) {
    constexpr std::string_view kExpected = "(expected \"mbdb\" and the format byte 05)";
    for (size_t i = 0; i < sizeof kHeaderMagic; ++i) {
        if (i == bytes.size()) {
            return "not a backup manifest: the file ends at byte " + std::to_string(i) +
                   ", inside the 6-byte header " + std::string(kExpected);
        }
        if (bytes[i] != kHeaderMagic[i]) {
            return "not a backup manifest: bad magic at byte " + std::to_string(i) + " " +
                   std::string(kExpected);
        }
    }
    return "not a backup manifest: the file ends at byte " + std::to_string(bytes.size()) +
           ", inside the 6-byte header";
}

bool IsAscii(std::string_view bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool IsPrintable(std::string_view bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte >= 0x20 && byte <= 0x7F;
    });
}

// Decoding to UTF-16 and back is how a name reaches the host code page; for UTF-8 it changes only
// invalid sequences, so plain ASCII skips the detour.
std::string HostText(std::string_view raw) {
    if (IsAscii(raw)) return std::string(raw);
    return WideToUtf8(Utf8ToWide(raw));
}

// The domain and path are hashed as one byte string without building it.
Sha1::Digest BackupFileDigest(std::string_view domainText, std::string_view pathText) {
    Sha1 sha1;
    sha1.Update(domainText);
    sha1.Update("-");
    sha1.Update(pathText);
    return sha1.Finish();
}

class Cursor {
  public:
    explicit Cursor(std::string_view bytes) : bytes_(bytes) {}

    size_t Position() const { return position_; }
    void MoveTo(size_t position) { position_ = position; }
    bool AtEnd() const { return position_ >= bytes_.size(); }
    bool Has(size_t count) const { return bytes_.size() - position_ >= count; }

    const uint8_t* Take(size_t count) {
        const auto* start = reinterpret_cast<const uint8_t*>(bytes_.data()) + position_;
        position_ += count;
        return start;
    }

    // A length-prefixed field; the length is checked against what is left before anything is
    // copied or allocated.
    bool ReadView(uint16_t& storedLength, std::string_view& raw) {
        if (!Has(2)) return false;
        storedLength = static_cast<uint16_t>(BigEndian(Take(2), 2));
        if (storedLength == kMbdbNoValue) {
            raw = {};
            return true;
        }
        if (!Has(storedLength)) return false;
        raw = std::string_view(reinterpret_cast<const char*>(Take(storedLength)), storedLength);
        return true;
    }

    bool ReadField(uint16_t& storedLength, std::string& raw) {
        std::string_view view;
        if (!ReadView(storedLength, view)) return false;
        raw.assign(view);
        return true;
    }

    bool ReadText(MbdbText& field) {
        if (!ReadField(field.storedLength, field.raw)) return false;
        if (IsAscii(field.raw)) {
            field.text.assign(field.raw);  // reuses the storage of a record decoded again
        } else {
            field.text = HostText(field.raw);
        }
        return true;
    }

    bool ReadValue(MbdbValue& field) {
        if (!ReadField(field.storedLength, field.raw)) return false;
        field.storedAsText = IsPrintable(field.raw);
        if (field.storedAsText) {
            field.text.assign(field.raw);
        } else {
            static constexpr char kDigits[] = "0123456789ABCDEF";
            field.text.resize(field.raw.size() * 2);
            for (size_t i = 0; i < field.raw.size(); ++i) {
                const auto byte = static_cast<unsigned char>(field.raw[i]);
                field.text[2 * i] = kDigits[byte >> 4];
                field.text[2 * i + 1] = kDigits[byte & 0x0F];
            }
        }
        return true;
    }

  private:
    std::string_view bytes_;
    size_t position_ = 0;
};

void DecodeFixedFields(MbdbRecord& record) {
    const uint8_t* fixed = record.fixedBytes.data();
    record.mode = static_cast<uint16_t>(BigEndian(fixed, 2));
    record.inode = BigEndian(fixed + 2, 8);
    record.userId = static_cast<uint32_t>(BigEndian(fixed + 10, 4));
    record.groupId = static_cast<uint32_t>(BigEndian(fixed + 14, 4));
    record.modifiedTime = static_cast<uint32_t>(BigEndian(fixed + 18, 4));
    record.accessedTime = static_cast<uint32_t>(BigEndian(fixed + 22, 4));
    record.createdTime = static_cast<uint32_t>(BigEndian(fixed + 26, 4));
    record.modifiedUtc = MbdbUtcTimeFromUnix(record.modifiedTime);
    record.accessedUtc = MbdbUtcTimeFromUnix(record.accessedTime);
    record.createdUtc = MbdbUtcTimeFromUnix(record.createdTime);
}

bool ReadRecord(Cursor& cursor, MbdbRecord& record) {
    if (!cursor.ReadText(record.domain) || !cursor.ReadText(record.path) ||
        !cursor.ReadText(record.linkTarget) || !cursor.ReadValue(record.dataHash) ||
        !cursor.ReadValue(record.encryptionKey)) {
        return false;
    }
    if (!cursor.Has(MbdbRecord::kFixedSize + 8 + 1 + 1)) return false;
    std::memcpy(record.fixedBytes.data(), cursor.Take(MbdbRecord::kFixedSize),
                MbdbRecord::kFixedSize);
    DecodeFixedFields(record);
    std::memcpy(record.sizeBytes.data(), cursor.Take(8), 8);
    record.size = BigEndian(record.sizeBytes.data(), 8);
    record.protectionClass = *cursor.Take(1);
    const uint8_t propertyCount = *cursor.Take(1);
    record.properties.resize(propertyCount);
    for (MbdbProperty& property : record.properties) {
        if (!cursor.ReadText(property.name) || !cursor.ReadValue(property.value)) return false;
    }
    return true;
}

void AppendLength(std::string& out, size_t length) {
    out.push_back(static_cast<char>((length >> 8) & 0xFF));
    out.push_back(static_cast<char>(length & 0xFF));
}

// Written from the stored bytes; a length that cannot be stored is cut rather than let it wrap
// into a length that would misalign every later record.
void AppendField(std::string& out, bool hasValue, std::string_view raw) {
    if (!hasValue) {
        AppendLength(out, kMbdbNoValue);
        return;
    }
    const size_t length = std::min<size_t>(raw.size(), kMbdbNoValue - 1);
    AppendLength(out, length);
    out.append(raw.data(), length);
}

int HexDigitValue(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    return 0;  // any other character counts as 0
}

// The data hash is written from its text form, so whatever a caller stored there (text or
// hexadecimal digits) is what the manifest gets. No value and an empty value both become
// 0xFF 0xFF. The count is the 16-bit big-endian length: for every hash of 1 to 255 bytes that is
// 0x00 followed by the byte count; a longer hash keeps its true length instead of a count cut to
// one byte, which would misalign the rest of the file.
void AppendDataHash(std::string& out, const MbdbValue& hash) {
    if (hash.text.empty()) {
        AppendLength(out, kMbdbNoValue);
        return;
    }
    if (hash.storedAsText) {
        AppendField(out, true, hash.text);
        return;
    }
    const size_t length = std::min<size_t>(hash.text.size() / 2, kMbdbNoValue - 1);
    AppendLength(out, length);
    for (size_t i = 0; i < length; ++i) {
        out.push_back(static_cast<char>(HexDigitValue(hash.text[2 * i]) * 16 +
                                        HexDigitValue(hash.text[2 * i + 1])));
    }
}

void AppendRecord(std::string& out, const MbdbRecord& record) {
    AppendField(out, record.domain.HasValue(), record.domain.raw);
    AppendField(out, record.path.HasValue(), record.path.raw);
    AppendField(out, record.linkTarget.HasValue(), record.linkTarget.raw);
    AppendDataHash(out, record.dataHash);
    AppendField(out, record.encryptionKey.HasValue(), record.encryptionKey.raw);
    out.append(reinterpret_cast<const char*>(record.fixedBytes.data()), record.fixedBytes.size());
    out.append(reinterpret_cast<const char*>(record.sizeBytes.data()), record.sizeBytes.size());
    out.push_back(static_cast<char>(record.protectionClass));
    // The count is one byte; properties past 255 cannot be listed and are left out.
    const size_t propertyCount = std::min<size_t>(record.properties.size(), 255);
    out.push_back(static_cast<char>(propertyCount));
    for (size_t i = 0; i < propertyCount; ++i) {
        const MbdbProperty& property = record.properties[i];
        AppendField(out, property.name.HasValue(), property.name.raw);
        AppendField(out, property.value.HasValue(), property.value.raw);
    }
}

size_t WrittenSizeEstimate(const MbdbRecord& record) {
    size_t size = kSmallestRecord + record.domain.raw.size() + record.path.raw.size() +
                  record.linkTarget.raw.size() + record.dataHash.text.size() +
                  record.encryptionKey.raw.size();
    for (const MbdbProperty& property : record.properties) {
        size += 4 + property.name.raw.size() + property.value.raw.size();
    }
    return size;
}

}  // namespace

MbdbUtcTime MbdbUtcTimeFromUnix(uint32_t unixSeconds) {
    // Civil date from a day count (the proleptic Gregorian calendar in 400-year eras, March-based
    // years so that the leap day ends a year).
    const uint32_t days = unixSeconds / 86400;
    const uint32_t secondsOfDay = unixSeconds % 86400;
    const uint32_t shifted = days + 719468;  // days since 0000-03-01
    const uint32_t era = shifted / 146097;
    const uint32_t dayOfEra = shifted - era * 146097;
    const uint32_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const uint32_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const uint32_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    const uint32_t month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    MbdbUtcTime time;
    time.year = static_cast<int16_t>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    time.month = static_cast<uint8_t>(month);
    time.day = static_cast<uint8_t>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    time.hour = static_cast<uint8_t>(secondsOfDay / 3600);
    time.minute = static_cast<uint8_t>(secondsOfDay / 60 % 60);
    time.second = static_cast<uint8_t>(secondsOfDay % 60);
    return time;
}

std::string MbdbBackupFileName(std::string_view domainText, std::string_view pathText) {
    return HexLower(BackupFileDigest(domainText, pathText));
}

bool MbdbRecordList::Read(std::string bytes) {
    Clear();
    if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kHeaderMagic, 5) != 0) {
        error_ = "bad .mbdb file";
        detail_ = HeaderProblem(bytes);
        return false;
    }
    bytes_ = std::move(bytes);
    header_ = bytes_.substr(0, kHeaderSize);
    // A typical record takes a little over 100 bytes; bounded by the input, so a hostile file
    // cannot make this large.
    entries_.reserve(bytes_.size() / 128);
    size_t offset = kHeaderSize;
    while (offset < bytes_.size()) {
        Entry& entry = entries_.emplace_back();
        if (!ReadEntry(offset, entry)) {
            entries_.pop_back();
            error_ = "truncated record at offset " + std::to_string(offset);
            detail_ = error_ + ": record " + std::to_string(entries_.size() + 1) +
                      " runs past the end of the file at byte " + std::to_string(bytes_.size());
            break;
        }
        offset += entry.length;
    }
    bytesRead_ = offset;
    return true;
}

// Walks one record without decoding it: where it ends, its names and whether it can be written
// back as read.
bool MbdbRecordList::ReadEntry(size_t offset, Entry& entry) {
    Cursor cursor(bytes_);
    cursor.MoveTo(offset);
    uint16_t storedLength = 0;
    std::string_view domain, path, skipped;
    if (!cursor.ReadView(storedLength, domain) || !cursor.ReadView(storedLength, path) ||
        !cursor.ReadView(storedLength, skipped) || !cursor.ReadView(storedLength, skipped)) {
        return false;
    }
    entry.rewrite = storedLength == 0;  // the data hash
    if (!cursor.ReadView(storedLength, skipped)) return false;
    constexpr size_t kFixedTail = MbdbRecord::kFixedSize + 8 + 1 + 1;
    if (!cursor.Has(kFixedTail)) return false;
    const uint8_t propertyCount = cursor.Take(kFixedTail)[kFixedTail - 1];
    for (int i = 0; i < propertyCount; ++i) {
        if (!cursor.ReadView(storedLength, skipped) || !cursor.ReadView(storedLength, skipped)) {
            return false;
        }
    }
    entry.offset = offset;
    entry.length = static_cast<uint32_t>(cursor.Position() - offset);
    entry.domainText = HostTextView(domain);
    entry.pathText = HostTextView(path);
    entry.fileName = BackupFileDigest(entry.domainText, entry.pathText);
    return true;
}

std::string_view MbdbRecordList::HostTextView(std::string_view raw) {
    if (IsAscii(raw)) return raw;
    std::string text = HostText(raw);
    if (text == raw) return raw;
    return texts_.emplace_back(std::move(text));
}

void MbdbRecordList::Clear() {
    std::string().swap(bytes_);
    header_.clear();
    error_.clear();
    detail_.clear();
    bytesRead_ = 0;
    entries_.clear();
    texts_.clear();
    edited_.clear();
}

std::string MbdbRecordList::BackupFileName(size_t index) const {
    const Entry& entry = entries_[index];
    if (entry.edited != kNotEdited) return edited_[entry.edited]->backupFileName;
    return HexLower(entry.fileName);
}

MbdbRecord MbdbRecordList::Record(size_t index) const {
    MbdbRecord record;
    Record(index, record);
    return record;
}

void MbdbRecordList::Record(size_t index, MbdbRecord& record) const {
    const Entry& entry = entries_[index];
    if (entry.edited != kNotEdited) {
        record = *edited_[entry.edited];
        return;
    }
    // Cannot fail: Read walked these very bytes.
    Cursor cursor(std::string_view(bytes_).substr(entry.offset, entry.length));
    ReadRecord(cursor, record);
    record.backupFileName.resize(2 * Sha1::kDigestSize);
    static constexpr char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < Sha1::kDigestSize; ++i) {
        record.backupFileName[2 * i] = kDigits[entry.fileName[i] >> 4];
        record.backupFileName[2 * i + 1] = kDigits[entry.fileName[i] & 0x0F];
    }
}

void MbdbRecordList::Replace(size_t index, MbdbRecord record) {
    Entry& entry = entries_[index];
    if (entry.edited == kNotEdited) {
        entry.edited = static_cast<uint32_t>(edited_.size());
        edited_.push_back(std::make_unique<MbdbRecord>(std::move(record)));
    } else {
        *edited_[entry.edited] = std::move(record);
    }
    const MbdbRecord& stored = *edited_[entry.edited];
    entry.domainText = stored.domain.text;
    entry.pathText = stored.path.text;
}

size_t MbdbRecordList::RemoveIf(const std::function<bool(size_t index)>& remove) {
    size_t kept = 0;
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (remove(i)) continue;
        if (kept != i) entries_[kept] = entries_[i];
        ++kept;
    }
    const size_t removed = entries_.size() - kept;
    entries_.resize(kept);
    return removed;
}

std::string MbdbRecordList::Write() const {
    std::string out;
    out.reserve(bytesRead_ + 64);
    out.append(header_);
    for (size_t i = 0; i < entries_.size(); ++i) {
        const Entry& entry = entries_[i];
        if (entry.edited != kNotEdited) {
            AppendRecord(out, *edited_[entry.edited]);
        } else if (entry.rewrite) {
            AppendRecord(out, Record(i));
        } else {
            out.append(bytes_, entry.offset, entry.length);
        }
    }
    return out;
}

MbdbReadResult ReadMbdb(std::string_view bytes) {
    MbdbRecordList list;
    MbdbReadResult result;
    result.headerMatches = list.Read(std::string(bytes));
    result.header = list.Header();
    result.error = list.Error();
    result.detail = list.Detail();
    result.bytesRead = list.BytesRead();
    result.records.reserve(list.Size());
    for (size_t i = 0; i < list.Size(); ++i)
        result.records.push_back(list.Record(i));
    return result;
}

std::string WriteMbdb(std::string_view header, const std::vector<MbdbRecord>& records) {
    size_t total = header.size();
    for (const MbdbRecord& record : records)
        total += WrittenSizeEstimate(record);
    std::string out;
    out.reserve(total);
    out.append(header);
    for (const MbdbRecord& record : records)
        AppendRecord(out, record);
    return out;
}

}  // namespace bw
