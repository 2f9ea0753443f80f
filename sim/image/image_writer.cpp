#include "image_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "image/image_builder.h"

namespace bw::sim {
namespace {

namespace fs = std::filesystem;

constexpr mode_t kFolderMode = 0755;
constexpr mode_t kFileMode = 0644;

bool SetTime(const std::string& hostPath, int64_t time, bool isLink) {
    const timespec times[2] = {{static_cast<time_t>(time), 0}, {static_cast<time_t>(time), 0}};
    return ::utimensat(AT_FDCWD, hostPath.c_str(), times, isLink ? AT_SYMLINK_NOFOLLOW : 0) == 0;
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// The service root a link is followed in: the deepest root holding it. Each application
// container is a root of its own, as the container service serves it.
std::string LinkRoot(const std::string& linkPath) {
    std::string best = "/";
    for (const ImageRoot root : {ImageRoot::Media, ImageRoot::Home, ImageRoot::CrashReports,
                                 ImageRoot::Applications, ImageRoot::Wireless}) {
        const std::string path = RootDevicePath(root);
        if (linkPath.compare(0, path.size() + 1, path + "/") == 0 && path.size() > best.size())
            best = path;
    }
    const std::string applications = RootDevicePath(ImageRoot::Applications);
    if (best == applications) {
        const size_t end = linkPath.find('/', applications.size() + 1);
        if (end != std::string::npos) best = linkPath.substr(0, end);
    }
    return best;
}

bool IsInside(const fs::path& path, const fs::path& root) {
    auto rootPart = root.begin();
    auto pathPart = path.begin();
    for (; rootPart != root.end(); ++rootPart, ++pathPart) {
        if (pathPart == path.end() || *pathPart != *rootPart) return false;
    }
    return true;
}

}  // namespace

std::string NormalizeDevicePath(std::string_view path) {
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string normal;
    for (const std::string_view part : parts) {
        normal += '/';
        normal += part;
    }
    return normal.empty() ? "/" : normal;
}

std::string ImageWriter::HostPath(std::string_view devicePath) const {
    const std::string normal = NormalizeDevicePath(devicePath);
    return normal == "/" ? fsFolder_ : fsFolder_ + normal;
}

bool ImageWriter::Fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    return false;
}

void ImageWriter::Dated(const std::string& devicePath, int64_t time) {
    if (devicePath == "/") return;
    const size_t slash = devicePath.rfind('/');
    const std::string parent = slash == 0 ? "/" : devicePath.substr(0, slash);
    int64_t& newest = newestChild_[parent];
    newest = std::max(newest, time);
}

bool ImageWriter::MakeParents(std::string_view devicePath) {
    const std::string normal = NormalizeDevicePath(devicePath);
    const size_t slash = normal.rfind('/');
    return Folder(slash == 0 ? "/" : normal.substr(0, slash));
}

bool ImageWriter::Folder(std::string_view devicePath) {
    const std::string normal = NormalizeDevicePath(devicePath);
    std::vector<std::string> chain = {"/"};
    for (size_t slash = normal.find('/', 1); slash != std::string::npos;
         slash = normal.find('/', slash + 1))
        chain.push_back(normal.substr(0, slash));
    if (normal != "/") chain.push_back(normal);
    for (const std::string& path : chain) {
        if (folderTimes_.count(path) != 0) continue;
        const std::string host = HostPath(path);
        struct stat info {};
        if (::lstat(host.c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode)) return Fail(path + " exists and is not a folder");
        } else if (::mkdir(host.c_str(), kFolderMode) != 0) {
            return Fail("cannot make the folder " + host + ": " + std::strerror(errno));
        }
        if (::chmod(host.c_str(), kFolderMode) != 0)
            return Fail("cannot set the permissions of " + host + ": " + std::strerror(errno));
        folderTimes_[path] = PathTime(identity_, path);
    }
    return true;
}

bool ImageWriter::File(std::string_view devicePath, std::string_view bytes, int64_t time) {
    if (!MakeParents(devicePath) || !WriteHostFile(HostPath(devicePath), bytes, time)) return false;
    Dated(NormalizeDevicePath(devicePath), time);
    return true;
}

bool ImageWriter::SideFile(std::string_view name, std::string_view bytes, int64_t time) {
    if (name.empty() || name.find('/') != std::string_view::npos || name == "fs" || name == "." ||
        name == "..")
        return Fail("no file name for the image folder: " + std::string(name));
    const std::string folder = fs::path(fsFolder_).parent_path().string();
    return WriteHostFile(folder + "/" + std::string(name), bytes, time);
}

bool ImageWriter::WriteHostFile(const std::string& host, std::string_view bytes, int64_t time) {
    const int fd =
        ::open(host.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd < 0) return Fail("cannot write " + host + ": " + std::strerror(errno));
    const bool written = WriteAll(fd, bytes) && ::fchmod(fd, kFileMode) == 0;
    const int savedErrno = errno;
    if (::close(fd) != 0 || !written)
        return Fail("cannot write " + host + ": " + std::strerror(written ? errno : savedErrno));
    if (!SetTime(host, time, false))
        return Fail("cannot set the time of " + host + ": " + std::strerror(errno));
    return true;
}

bool ImageWriter::Link(std::string_view devicePath, std::string_view target) {
    const std::string linkPath = NormalizeDevicePath(devicePath);
    if (target.empty() || target.front() == '/')
        return Fail("the link " + linkPath + " must have a relative target");
    if (!MakeParents(linkPath)) return false;
    const std::string host = HostPath(linkPath);
    if (::symlink(std::string(target).c_str(), host.c_str()) != 0)
        return Fail("cannot make the link " + host + ": " + std::strerror(errno));

    std::error_code error;
    const fs::path resolved = fs::canonical(host, error);
    if (error) return Fail("the link " + linkPath + " points at nothing");
    const fs::path root = fs::canonical(HostPath(LinkRoot(linkPath)), error);
    if (error || !IsInside(resolved, root))
        return Fail("the link " + linkPath + " leaves " + LinkRoot(linkPath));

    const int64_t time = PathTime(identity_, linkPath);
    if (!SetTime(host, time, true))
        return Fail("cannot set the time of " + host + ": " + std::strerror(errno));
    Dated(linkPath, time);
    return true;
}

bool ImageWriter::Finish() {
    if (!error_.empty()) return false;
    if (!Folder("/")) return false;
    // A folder sorts after its ancestors, so the reverse order dates children first.
    for (auto it = folderTimes_.rbegin(); it != folderTimes_.rend(); ++it) {
        const auto child = newestChild_.find(it->first);
        const int64_t time =
            child == newestChild_.end() ? it->second : std::max(it->second, child->second);
        const std::string host = HostPath(it->first);
        if (!SetTime(host, time, false))
            return Fail("cannot set the time of " + host + ": " + std::strerror(errno));
        Dated(it->first, time);
    }
    return true;
}

}  // namespace bw::sim
