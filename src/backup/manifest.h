// The backup manifest database ("Manifest.mbdb"): which of the 40-hex-digit files of a backup
// folder holds which domain and path of the device, with the file's metadata.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "formats/sha1.h"

namespace bw {

// A string field whose stored length 0xFFFF means "no value" (followed by no bytes).
inline constexpr uint16_t kMbdbNoValue = 0xFFFF;

// Domain, relative path, link target and property name: names that lookups compare.
struct MbdbText {
    uint16_t storedLength = kMbdbNoValue;
    std::string raw;
    // The raw bytes decoded as UTF-8 in the host code page. Our host code page is UTF-8, so this
    // equals the raw bytes except that invalid sequences read as U+FFFD.
    std::string text;

    bool HasValue() const { return storedLength != kMbdbNoValue; }
    bool operator==(const MbdbText&) const = default;
};

// Data hash, encryption key and property value: bytes that are shown as text when printable.
struct MbdbValue {
    uint16_t storedLength = kMbdbNoValue;
    std::string raw;
    // The raw bytes when every byte lies in 0x20..0x7F, else their uppercase hexadecimal digits.
    std::string text;
    bool storedAsText = true;

    bool HasValue() const { return storedLength != kMbdbNoValue; }
    bool operator==(const MbdbValue&) const = default;
};

struct MbdbProperty {
    MbdbText name;
    MbdbValue value;

    bool operator==(const MbdbProperty&) const = default;
};

// A record time (32-bit Unix seconds) broken down in UTC.
struct MbdbUtcTime {
    int16_t year = 1970;
    uint8_t month = 1;  // 1..12
    uint8_t day = 1;    // 1..31
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint8_t second = 0;

    bool operator==(const MbdbUtcTime&) const = default;
};

MbdbUtcTime MbdbUtcTimeFromUnix(uint32_t unixSeconds);

// One file, folder or link of a backup, in the order of its fields in the manifest.
struct MbdbRecord {
    static constexpr size_t kFixedSize = 30;

    MbdbText domain;
    MbdbText path;
    MbdbText linkTarget;
    // Written back from its text form (see WriteMbdb), so a data hash changed by
    // UpdateRecordFromFile reaches the file.
    MbdbValue dataHash;
    MbdbValue encryptionKey;

    // Mode, inode, user, group and the three times exactly as stored; the fields below are
    // decoded from them and written back only through these bytes.
    std::array<uint8_t, kFixedSize> fixedBytes{};
    uint16_t mode = 0;
    uint64_t inode = 0;
    uint32_t userId = 0;
    uint32_t groupId = 0;
    uint32_t modifiedTime = 0;
    uint32_t accessedTime = 0;
    uint32_t createdTime = 0;
    MbdbUtcTime modifiedUtc;
    MbdbUtcTime accessedUtc;
    MbdbUtcTime createdUtc;

    std::array<uint8_t, 8> sizeBytes{};  // big-endian, as stored
    uint64_t size = 0;
    uint8_t protectionClass = 0;
    // The stored property count is this vector's size (at most 255).
    std::vector<MbdbProperty> properties;

    // 40 lowercase hexadecimal digits; empty for the "no record" answer of a lookup.
    std::string backupFileName;

    bool operator==(const MbdbRecord&) const = default;
};

// The name under which a backup stores the file of a domain and relative path: the lowercase
// hexadecimal SHA-1 of the text domain, "-" and the text path.
std::string MbdbBackupFileName(std::string_view domainText, std::string_view pathText);

// The records of one manifest as read: the file's bytes and one small entry per record (where it
// lies, its text domain and path, its backup file name), so a backup of a few hundred thousand
// files loads at about the speed of reading the file. A record is decoded into an MbdbRecord when
// asked for; records nobody changed are written back as the bytes they were read from.
class MbdbRecordList {
  public:
    MbdbRecordList() = default;
    // Entries point into the held bytes, so the list stays where it was made.
    MbdbRecordList(const MbdbRecordList&) = delete;
    MbdbRecordList& operator=(const MbdbRecordList&) = delete;

    // Replaces the list with the records of a whole manifest. A header mismatch gives
    // "bad .mbdb file" and no records; a record cut short ends the read with
    // "truncated record at offset N" and keeps the records before it. Lengths are checked against
    // the bytes before anything is allocated.
    bool Read(std::string bytes);
    void Clear();

    bool HeaderMatches() const { return !header_.empty(); }
    const std::string& Header() const { return header_; }  // the six bytes as read
    const std::string& Error() const { return error_; }    // empty after a complete read
    // The same failure for a person: what was expected and where the reading stopped ("not a
    // backup manifest: bad magic at byte 0 ..."); empty after a complete read.
    const std::string& Detail() const { return detail_; }
    size_t BytesRead() const { return bytesRead_; }  // end of the last complete record

    size_t Size() const { return entries_.size(); }
    bool Empty() const { return entries_.empty(); }
    std::string_view DomainText(size_t index) const { return entries_[index].domainText; }
    std::string_view PathText(size_t index) const { return entries_[index].pathText; }
    std::string BackupFileName(size_t index) const;
    MbdbRecord Record(size_t index) const;
    // The same into a record that is decoded again and again (its storage is reused).
    void Record(size_t index, MbdbRecord& record) const;

    // Keeps a changed copy of a record; Write writes the copy.
    void Replace(size_t index, MbdbRecord record);
    // Takes out the records for which the callback (given the index before any removal) is true;
    // returns how many.
    size_t RemoveIf(const std::function<bool(size_t index)>& remove);

    // The manifest bytes. An unchanged list gives the bytes read, up to the last complete record,
    // except that a data hash stored with length 0 is written as "no value".
    std::string Write() const;

  private:
    static constexpr uint32_t kNotEdited = 0xFFFFFFFF;
    struct Entry {
        size_t offset = 0;  // of the record in bytes_
        uint32_t length = 0;
        uint32_t edited = kNotEdited;  // index into edited_
        std::string_view domainText;   // into bytes_, texts_ or an edited record
        std::string_view pathText;
        Sha1::Digest fileName{};
        bool rewrite = false;  // its bytes are not what Write would give (a zero-length hash)
    };

    bool ReadEntry(size_t offset, Entry& entry);
    std::string_view HostTextView(std::string_view raw);

    std::string bytes_;
    std::string header_;
    std::string error_;
    std::string detail_;
    size_t bytesRead_ = 0;
    std::vector<Entry> entries_;
    std::deque<std::string> texts_;  // text forms that differ from their raw bytes
    std::vector<std::unique_ptr<MbdbRecord>> edited_;
};

struct MbdbReadResult {
    bool headerMatches = false;
    std::string header;               // the six header bytes as read (when they match)
    std::vector<MbdbRecord> records;  // every record read completely, in file order
    std::string error;                // empty when the whole input was read
    std::string detail;               // the error for a person (MbdbRecordList::Detail)
    size_t bytesRead = 0;             // end of the last complete record
};

// Every record of a manifest held in memory, decoded (see MbdbRecordList::Read).
MbdbReadResult ReadMbdb(std::string_view bytes);

// The manifest bytes for a header and records. Reading an unchanged manifest and writing it gives
// the same bytes, except that a data hash stored with length 0 is written as "no value".
std::string WriteMbdb(std::string_view header, const std::vector<MbdbRecord>& records);

// A record takes about 150 to 300 bytes, so a backup of a million files, far beyond any phone of
// this era, stays under this. A larger manifest is refused rather than read into memory.
inline constexpr uint64_t kMaxManifestBytes = uint64_t{512} << 20;

class ManifestDataManager {
  public:
    struct FileItem {
        std::string domain;
        std::string path;
        std::string fileName;  // backup file name
        bool exists = false;
        uint64_t size = 0;  // when it exists

        bool operator==(const FileItem&) const = default;
    };

    // The manifest may be a working copy outside the backup folder; full paths are always built
    // from the backup folder.
    ManifestDataManager(std::string udid, std::string backupFolder, std::string manifestPath);
    virtual ~ManifestDataManager();

    ManifestDataManager(const ManifestDataManager&) = delete;
    ManifestDataManager& operator=(const ManifestDataManager&) = delete;

    MbdbRecord FindRecord(std::string_view domain, std::string_view path);
    bool HasRecord(std::string_view domain, std::string_view path);
    // Returns the new data hash (40 uppercase hexadecimal digits), or "" when there is no record
    // or the file cannot be read.
    std::string UpdateRecordFromFile(std::string_view domain, std::string_view path,
                                     const std::string& file);
    std::vector<std::string> FindAllFilePaths(std::string_view domain, std::string_view path);
    std::vector<MbdbRecord> ListDomainRecords(std::string_view domain);
    std::vector<FileItem> ListAllFiles();
    std::string FindSmsDatabase();
    std::vector<std::string> FindSmsAttachmentFiles();
    std::set<std::string> CollectAppDomains();
    // Takes every record of `domain` out of the list and returns the full paths of the backup
    // files those records named that exist; the files themselves stay, so that the caller can
    // put the manifest that no longer lists them in place before they go.
    std::vector<std::string> RemoveDomain(std::string_view domain);
    // Returns how many records were taken out of the list.
    size_t RemoveRecords(std::string_view domain, const std::vector<std::string>& paths,
                         bool deleteFiles);
    // Returns the manifest path, or "" when nothing was written.
    std::string Save();

    // Every record in file order, loading them first when needed (for listing tools).
    std::vector<MbdbRecord> Records();
    // Every record in file order, one at a time, without holding them all; the reference is
    // valid during the call.
    void ForEachRecord(const std::function<void(const MbdbRecord&)>& visit);
    // Loads the records when the list is empty; true when the list is not empty afterwards.
    bool Load();
    // Why the last load failed or stopped early ("bad .mbdb file", "cannot open file",
    // "truncated record at offset N"); empty after a complete load.
    const std::string& LastError() const { return lastError_; }
    // LastError with what was expected and where the reading stopped, for messages to a person.
    const std::string& LastErrorDetail() const {
        return lastErrorDetail_.empty() ? lastError_ : lastErrorDetail_;
    }

    const std::string& Udid() const { return udid_; }
    const std::string& BackupFolder() const { return backupFolder_; }
    const std::string& ManifestPath() const { return manifestPath_; }
    std::string FullPath(const MbdbRecord& record) const;

  private:
    static constexpr size_t kNotFound = static_cast<size_t>(-1);
    size_t FindIndex(std::string_view domain, std::string_view path);
    std::string FullPath(size_t index) const;

    std::string udid_;
    std::string backupFolder_;
    std::string manifestPath_;
    MbdbRecordList records_;
    bool listEdited_ = false;
    std::string lastError_;
    std::string lastErrorDetail_;
};

}  // namespace bw
