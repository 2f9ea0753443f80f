#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/environment.h"
#include "platform/files.h"

namespace bw::platform {

namespace {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool StatEntry(const std::string& path, FolderEntry& entry) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    entry.isLink = S_ISLNK(st.st_mode);
    entry.isFolder = S_ISDIR(st.st_mode);
    entry.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

bool WalkFolder(const std::string& folder, int depth,
                const std::function<bool(const std::string&, const FolderEntry&)>& visit) {
    // Deeper than any real folder tree: only a hostile tree gets here, and it must not exhaust
    // the stack.
    if (depth > 256) return false;
    std::vector<FolderEntry> entries;
    if (!ListFolder(folder, entries)) return false;
    for (const FolderEntry& entry : entries) {
        const std::string path = JoinPath(folder, entry.name);
        if (visit(path, entry) && entry.isFolder && !entry.isLink) {
            WalkFolder(path, depth + 1, visit);
        }
    }
    return true;
}

}  // namespace

std::string JoinPath(std::string_view folder, std::string_view name) {
    std::string out(folder);
    while (!name.empty() && name.front() == '/')
        name.remove_prefix(1);
    if (out.empty()) return std::string(name);
    if (out.back() != '/') out.push_back('/');
    out.append(name);
    return out;
}

bool ListFolder(const std::string& folder, std::vector<FolderEntry>& entries) {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return false;
    while (const dirent* item = ::readdir(dir)) {
        const std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        FolderEntry entry;
        entry.name = name;
        if (!StatEntry(JoinPath(folder, name), entry)) continue;  // vanished meanwhile
        entries.push_back(std::move(entry));
    }
    ::closedir(dir);
    return true;
}

bool WalkTree(const std::string& folder,
              const std::function<bool(const std::string&, const FolderEntry&)>& visit) {
    return WalkFolder(folder, 0, visit);
}

bool DeleteTree(const std::string& folder) {
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) return ::unlink(folder.c_str()) == 0;
    std::vector<FolderEntry> entries;
    ListFolder(folder, entries);
    for (const FolderEntry& entry : entries) {
        const std::string path = JoinPath(folder, entry.name);
        if (entry.isFolder && !entry.isLink) {
            DeleteTree(path);
        } else {
            ::unlink(path.c_str());
        }
    }
    return ::rmdir(folder.c_str()) == 0 || errno == ENOENT;
}

bool IsFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool CanOpenForReading(const std::string& path) {
    if (!IsFile(path)) return false;
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.valid();
}

std::optional<uint64_t> FileSize(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

std::optional<int64_t> LastWriteTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<int64_t>(st.st_mtime);
}

bool CreateFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0) return true;
    return errno == EEXIST && IsFolder(path);
}

bool CreateFolders(const std::string& path) {
    if (path.empty()) return false;
    if (IsFolder(path)) return true;
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (!IsFolder(parent) && !CreateFolder(parent)) return false;
    }
    return CreateFolder(path);
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool RemoveEmptyFolder(const std::string& path) {
    return ::rmdir(path.c_str()) == 0;
}

bool RenamePath(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool CopyFile(const std::string& source, const std::string& target) {
    FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid()) return false;
    FileDescriptor out(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!out.valid()) return false;
    std::string buffer(1 << 20, '\0');
    for (;;) {
        const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        if (!WriteAll(out.get(), buffer.data(), static_cast<size_t>(n))) return false;
    }
    return ::close(out.release()) == 0;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    bytes.clear();
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
    if (S_ISREG(st.st_mode)) bytes.reserve(static_cast<size_t>(st.st_size));
    char chunk[1 << 16];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        bytes.append(chunk, static_cast<size_t>(n));
    }
}

bool WriteFileAtomic(const std::string& path, std::string_view bytes) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string temp = JoinPath(folder, ".bw-XXXXXX");
    FileDescriptor fd(::mkstemp(temp.data()));
    if (!fd.valid()) return false;
    // Keep the permissions of the file being replaced; a new file gets the usual 0644.
    struct stat old {};
    ::fchmod(fd.get(), ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644);
    const bool written = WriteAll(fd.get(), bytes.data(), bytes.size()) && ::fsync(fd.get()) == 0;
    if (::close(fd.release()) != 0 || !written || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace bw::platform
