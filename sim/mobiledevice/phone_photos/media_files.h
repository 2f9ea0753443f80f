// Files of the media area (/var/mobile/Media) as the phone's own daemons change them: every
// folder is reached from the image one real folder at a time (no link is entered), files are
// created exclusively and never through a link, and removals remove the entry itself.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace bw::sim::md {

class MediaFiles {
  public:
    explicit MediaFiles(std::string imageFolder) : imageFolder_(std::move(imageFolder)) {}

    // A descriptor of the folder `relative` ("" for the media area itself), made when `create`;
    // invalid when it is missing, a link or no folder.
    platform::UniqueFd Folder(const std::string& relative, bool create = false) const;
    // The host path that reaches the real folder `relative`, or "" (see Folder).
    std::string FolderPath(const std::string& relative) const;

    // The bytes of the regular file `relative`, at most `limit` of them; nothing otherwise.
    std::optional<std::string> Read(const std::string& relative, size_t limit) const;
    // Whether `relative` names nothing at all (not even a link).
    bool Missing(const std::string& relative) const;
    // Writes a new file (its folders made); an older entry of that name is removed first.
    bool Write(const std::string& relative, const std::string& bytes) const;
    // Removes the file (or link) `relative`; true when it is gone.
    bool Remove(const std::string& relative) const;
    // Removes the folder `relative` with everything in it, entering no link; true when gone.
    bool RemoveTree(const std::string& relative) const;
    // Removes the folder `relative` when it is empty.
    void RemoveEmptyFolder(const std::string& relative) const;
    // The names of the regular files in the folder, in byte order.
    std::vector<std::string> RegularFiles(const std::string& relative) const;
    // Moves the regular file `from` to `to` (its folder made), never replacing an entry.
    bool Move(const std::string& from, const std::string& to) const;

  private:
    const std::string imageFolder_;
};

// The folder part and the name of a relative path ("a/b/c" -> "a/b", "c").
std::pair<std::string, std::string> SplitPath(const std::string& relative);

}  // namespace bw::sim::md
