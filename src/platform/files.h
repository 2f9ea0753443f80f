// Host files and folders. Paths are UTF-8 and use "/".
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace bw::platform {

struct FolderEntry {
    std::string name;
    bool isFolder = false;
    bool isLink = false;
    uint64_t size = 0;  // of regular files
};

// Joins two path pieces with exactly one "/" between them.
std::string JoinPath(std::string_view folder, std::string_view name);

// The entries of one folder without "." and "..", in no particular order. False when the folder
// cannot be opened.
bool ListFolder(const std::string& folder, std::vector<FolderEntry>& entries);

// Visits every entry below the folder, each folder before its contents; links are reported but
// never followed. The callback gets the full path and the entry; returning false skips a folder's
// contents. False when the top folder cannot be opened.
bool WalkTree(const std::string& folder,
              const std::function<bool(const std::string& path, const FolderEntry& entry)>& visit);

// Removes the folder and everything below it (links are removed, not followed). True when the
// folder is gone afterwards.
bool DeleteTree(const std::string& folder);

bool IsFile(const std::string& path);       // a regular file (links followed)
bool IsPlainFile(const std::string& path);  // a regular file that is not a link
bool IsFolder(const std::string& path);     // a folder (links followed)
bool PathExists(const std::string& path);
bool CanOpenForReading(const std::string& path);
std::optional<uint64_t> FileSize(const std::string& path);
std::optional<int64_t> LastWriteTime(const std::string& path);  // Unix seconds

bool CreateFolder(const std::string& path);  // one level; true when it exists afterwards
// One level, mode 0700. True when the path is afterwards a real folder (not a link) owned by this
// user that nobody else may enter, whoever made it; a folder that fails that is left as it is.
bool CreatePrivateFolder(const std::string& path);
// Whether the path is such a folder now.
bool IsPrivateFolder(const std::string& path);
bool CreateFolders(const std::string& path);  // with parents
bool RemoveFile(const std::string& path);
bool RemoveEmptyFolder(const std::string& path);
bool RenamePath(const std::string& from, const std::string& to);

// Reads a whole regular file; false for anything else (a folder, a named pipe, a device), so a
// path from outside can never make the read wait for a writer or run on without end. With
// maxBytes, a larger file is refused before anything is read, and so is one that grows past the
// limit while it is read: every file that comes from outside the program has a limit of its own.
bool ReadWholeFile(const std::string& path, std::string& bytes);
bool ReadWholeFile(const std::string& path, std::string& bytes, uint64_t maxBytes);

// Reads a regular file from start to end.
class FileReader {
  public:
    // Null when the path is not a regular file or cannot be opened; with followLinks false a
    // link is refused even when it points at a regular file.
    static std::optional<FileReader> Open(const std::string& path, bool followLinks = true);

    // Up to `size` bytes; 0 at the end, -1 on an error.
    int64_t Read(char* buffer, size_t size);
    // Fills the buffer unless the file ends first; the count read, or -1 on an error.
    int64_t ReadFull(char* buffer, size_t size);
    uint64_t Size() const { return size_; }
    // The open descriptor, for copies that the kernel makes.
    int Descriptor() const { return fd_.get(); }

  private:
    FileReader(UniqueFd fd, uint64_t size) : fd_(std::move(fd)), size_(size) {}
    UniqueFd fd_;
    uint64_t size_ = 0;
};

// Whether two regular files (links refused) hold the same bytes.
bool SameFileContent(const std::string& a, const std::string& b);

// ---- Replacing files ----
//
// Every replacement of a file goes through ReplaceFile: the new bytes go to a temporary file
// beside the target, created exclusively under a fresh random name (never through a link, mode
// 0600 while it is written), which is written completely, given the permission bits of the file
// it replaces (for a new file 0644, less what the folder denies to group and others, so a file in
// a private folder stays private), flushed, renamed over the target, and then the folder is
// flushed so the rename itself is on the disk. A crash leaves the old or the new file, never a
// mix; a failure removes the temporary file and nothing else. Only a regular file (not a link, a
// folder or anything else) is ever replaced.

// Temporary files of ReplaceFile begin with this, so that a crashed run's leftovers can be
// recognised in a folder the caller owns.
inline constexpr std::string_view kReplaceTempPrefix = ".bwpart-";

// Takes the new content piece by piece; false when a piece could not be written.
using ByteSink = std::function<bool(std::string_view bytes)>;
// Hands the whole new content to the sink; false when the content could not be produced or the
// sink refused a piece.
using ByteSource = std::function<bool(const ByteSink& sink)>;

// Whether a replacement is flushed to the disk. A user's file is (kDurable). A working copy
// that the program makes again whenever it needs it (a copied database, a made thumbnail in its
// private folder) still appears whole or not at all, but skips both flushes: after a crash it is
// made anew, and the flushes cost more than the copy itself.
enum class Flush { kDurable, kWorkingCopy };

bool ReplaceFile(const std::string& path, const ByteSource& content, Flush flush = Flush::kDurable);
// ReplaceFile with these bytes.
bool WriteFileAtomic(const std::string& path, std::string_view bytes,
                     Flush flush = Flush::kDurable);
// ReplaceFile with the content of `source`, a regular file; with followLinks false a source that
// is a link is refused.
bool ReplaceFileWithCopy(const std::string& source, const std::string& target,
                         bool followLinks = true);
// ReplaceFileWithCopy following links: a whole copy or none.
bool CopyFile(const std::string& source, const std::string& target);

// Whether files can be created in the folder: a file is created exclusively there under a fresh
// name and removed again, so no file of the folder is touched.
bool CanCreateFilesIn(const std::string& folder);

}  // namespace bw::platform
