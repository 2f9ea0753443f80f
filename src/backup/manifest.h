// The backup manifest database ("Manifest.mbdb"): which of the 40-hex-digit files of a backup
// folder holds which domain and path of the device, with the file's metadata.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

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

struct MbdbReadResult {
    bool headerMatches = false;
    std::string header;               // the six header bytes as read (when they match)
    std::vector<MbdbRecord> records;  // every record read completely, in file order
    std::string error;                // empty when the whole input was read
    size_t bytesRead = 0;             // end of the last complete record
};

// Parses a whole manifest held in memory. A header mismatch gives "bad .mbdb file" and no
// records; a record cut short ends the read with "truncated record at offset N" and keeps the
// records before it. Lengths are checked against the input before anything is allocated.
MbdbReadResult ReadMbdb(std::string_view bytes);

// The manifest bytes for a header and records. Reading an unchanged manifest and writing it gives
// the same bytes, except that a data hash stored with length 0 is written as "no value".
std::string WriteMbdb(std::string_view header, const std::vector<MbdbRecord>& records);

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
    // Returns how many records were taken out of the list.
    size_t RemoveRecords(std::string_view domain, const std::vector<std::string>& paths,
                         bool deleteFiles);
    // Returns the manifest path, or "" when nothing was written.
    std::string Save();

    // Every record in file order, loading them first when needed (for listing tools).
    const std::vector<MbdbRecord>& Records();
    // Loads the records when the list is empty; true when the list is not empty afterwards.
    bool Load();
    // Why the last load failed or stopped early ("bad .mbdb file", "cannot open file",
    // "truncated record at offset N"); empty after a complete load.
    const std::string& LastError() const { return lastError_; }

    const std::string& Udid() const { return udid_; }
    const std::string& BackupFolder() const { return backupFolder_; }
    const std::string& ManifestPath() const { return manifestPath_; }
    std::string FullPath(const MbdbRecord& record) const;

  private:
    MbdbRecord* FindLoadedRecord(std::string_view domain, std::string_view path);

    std::string udid_;
    std::string backupFolder_;
    std::string manifestPath_;
    std::string header_;  // as read; empty until a manifest with a valid header was read
    std::vector<MbdbRecord> records_;
    bool listEdited_ = false;
    std::string lastError_;
};

}  // namespace bw
