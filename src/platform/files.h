// Host files and folders. Paths are UTF-8 and use "/".
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

bool IsFile(const std::string& path);    // a regular file (links followed)
bool IsFolder(const std::string& path);  // a folder (links followed)
bool PathExists(const std::string& path);
bool CanOpenForReading(const std::string& path);
std::optional<uint64_t> FileSize(const std::string& path);
std::optional<int64_t> LastWriteTime(const std::string& path);  // Unix seconds

bool CreateFolder(const std::string& path);   // one level; true when it exists afterwards
bool CreateFolders(const std::string& path);  // with parents
bool RemoveFile(const std::string& path);
bool RemoveEmptyFolder(const std::string& path);
bool RenamePath(const std::string& from, const std::string& to);

// Copies a whole file (target created or truncated). True when both files opened and every byte
// was written.
bool CopyFile(const std::string& source, const std::string& target);

bool ReadWholeFile(const std::string& path, std::string& bytes);
// Replaces the file atomically: the bytes go to a temporary file in the same folder, which is
// flushed and renamed over the target, so a crash leaves the old or the new file, never a mix.
bool WriteFileAtomic(const std::string& path, std::string_view bytes);

}  // namespace bw::platform
