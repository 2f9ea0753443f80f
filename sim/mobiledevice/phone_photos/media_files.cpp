#include "phone_photos/media_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "common/real_folder.h"

namespace bw::sim::md {
namespace {

using platform::UniqueFd;

constexpr char kMediaArea[] = "fs/var/mobile/Media";

// A descriptor of the folder behind `pathFd` that can be read (an O_PATH one cannot be listed).
UniqueFd Listable(int folder) {
    return UniqueFd(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::vector<std::pair<std::string, unsigned char>> Entries(int folder) {
    std::vector<std::pair<std::string, unsigned char>> entries;
    UniqueFd listable = Listable(folder);
    if (!listable.valid()) return entries;
    DIR* dir = ::fdopendir(listable.get());
    if (dir == nullptr) return entries;
    listable.release();  // the stream owns it now
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        struct stat info {};
        if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        entries.emplace_back(name, S_ISDIR(info.st_mode)   ? DT_DIR
                                   : S_ISREG(info.st_mode) ? DT_REG
                                                           : DT_UNKNOWN);
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end());
    return entries;
}

bool RemoveTreeAt(int parent, const std::string& name, int depth) {
    if (depth > 32) return false;
    UniqueFd folder(::openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder.valid()) return ::unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT;
    for (const auto& [entry, type] : Entries(folder.get())) {
        if (type == DT_DIR) {
            if (!RemoveTreeAt(folder.get(), entry, depth + 1)) return false;
        } else if (::unlinkat(folder.get(), entry.c_str(), 0) != 0 && errno != ENOENT) {
            return false;
        }
    }
    return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

}  // namespace

std::pair<std::string, std::string> SplitPath(const std::string& relative) {
    const size_t slash = relative.rfind('/');
    if (slash == std::string::npos) return {"", relative};
    return {relative.substr(0, slash), relative.substr(slash + 1)};
}

UniqueFd MediaFiles::Folder(const std::string& relative, bool create) const {
    const std::string below =
        relative.empty() ? kMediaArea : std::string(kMediaArea) + "/" + relative;
    return UniqueFd(OpenRealFolder(imageFolder_, below, create));
}

std::string MediaFiles::FolderPath(const std::string& relative) const {
    UniqueFd folder = Folder(relative);
    if (!folder.valid()) return "";
    // The descriptor is closed here, so the path is resolved now and kept by name.
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(folder.get());
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) return "";
    return std::string(target, static_cast<size_t>(length));
}

std::optional<std::string> MediaFiles::Read(const std::string& relative, size_t limit) const {
    const auto [folderPath, name] = SplitPath(relative);
    UniqueFd folder = Folder(folderPath);
    if (!folder.valid()) return std::nullopt;
    UniqueFd file(
        ::openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!file.valid() || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) > limit)
        return std::nullopt;
    std::string bytes(static_cast<size_t>(info.st_size), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(file.get(), bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

bool MediaFiles::Missing(const std::string& relative) const {
    const auto [folderPath, name] = SplitPath(relative);
    UniqueFd folder = Folder(folderPath);
    if (!folder.valid()) return errno == ENOENT;
    struct stat info {};
    return ::fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 &&
           errno == ENOENT;
}

bool MediaFiles::Write(const std::string& relative, const std::string& bytes) const {
    const auto [folderPath, name] = SplitPath(relative);
    UniqueFd folder = Folder(folderPath, true);
    if (!folder.valid()) return false;
    if (::unlinkat(folder.get(), name.c_str(), 0) != 0 && errno != ENOENT) return false;
    UniqueFd file(::openat(folder.get(), name.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!file.valid()) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(file.get(), bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<size_t>(put);
    }
    return true;
}

bool MediaFiles::Remove(const std::string& relative) const {
    const auto [folderPath, name] = SplitPath(relative);
    UniqueFd folder = Folder(folderPath);
    if (!folder.valid()) return errno == ENOENT;
    return ::unlinkat(folder.get(), name.c_str(), 0) == 0 || errno == ENOENT;
}

bool MediaFiles::RemoveTree(const std::string& relative) const {
    const auto [folderPath, name] = SplitPath(relative);
    UniqueFd folder = Folder(folderPath);
    if (!folder.valid()) return errno == ENOENT;
    return RemoveTreeAt(folder.get(), name, 0);
}

void MediaFiles::RemoveEmptyFolder(const std::string& relative) const {
    const auto [folderPath, name] = SplitPath(relative);
    UniqueFd folder = Folder(folderPath);
    if (folder.valid()) ::unlinkat(folder.get(), name.c_str(), AT_REMOVEDIR);
}

std::vector<std::string> MediaFiles::RegularFiles(const std::string& relative) const {
    std::vector<std::string> names;
    UniqueFd folder = Folder(relative);
    if (!folder.valid()) return names;
    for (const auto& [name, type] : Entries(folder.get()))
        if (type == DT_REG) names.push_back(name);
    return names;
}

bool MediaFiles::Move(const std::string& from, const std::string& to) const {
    const auto [fromFolderPath, fromName] = SplitPath(from);
    const auto [toFolderPath, toName] = SplitPath(to);
    UniqueFd fromFolder = Folder(fromFolderPath);
    UniqueFd toFolder = Folder(toFolderPath, true);
    if (!fromFolder.valid() || !toFolder.valid()) return false;
    struct stat info {};
    if (::fstatat(fromFolder.get(), fromName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode))
        return false;
    return ::renameat2(fromFolder.get(), fromName.c_str(), toFolder.get(), toName.c_str(),
                       RENAME_NOREPLACE) == 0;
}

}  // namespace bw::sim::md
