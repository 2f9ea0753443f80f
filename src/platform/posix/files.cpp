#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/environment.h"
#include "platform/file_faults.h"
#include "platform/files.h"

namespace bw::platform {

namespace {

// The mutating calls, each asking the fault seam first (see file_faults.h).

bool Injected(FileCall call) {
    const file_faults::Injected fault = file_faults::Next(call);
    if (fault.error == 0) return false;
    errno = fault.error;
    return true;
}

UniqueFd CreateExclusive(const std::string& path, mode_t mode) {
    if (Injected(FileCall::kCreate)) return UniqueFd();
    return UniqueFd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const file_faults::Injected fault = file_faults::Next(FileCall::kWrite);
        if (fault.error != 0) {
            // A disk that fills up mid-write keeps what fitted and then refuses the rest.
            if (fault.shortWrite && bytes.size() > 1) {
                [[maybe_unused]] const ssize_t n = ::write(fd, bytes.data(), bytes.size() / 2);
            }
            errno = fault.error;
            return false;
        }
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool Sync(int fd) {
    if (Injected(FileCall::kSync)) return false;
    return ::fsync(fd) == 0;
}

bool Rename(const std::string& from, const std::string& to) {
    if (Injected(FileCall::kRename)) return false;
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool Unlink(const std::string& path) {
    if (Injected(FileCall::kRemove)) return false;
    return ::unlink(path.c_str()) == 0;
}

bool RemoveFolder(const std::string& path) {
    if (Injected(FileCall::kRemove)) return false;
    return ::rmdir(path.c_str()) == 0;
}

bool MakeFolder(const std::string& path, mode_t mode = 0755) {
    if (Injected(FileCall::kMakeFolder)) return false;
    return ::mkdir(path.c_str(), mode) == 0;
}

// What a new file gets: 0644, less the group and other bits the folder withholds, so that a
// file written into a folder only its owner may enter is not readable through a later move or a
// looser folder.
mode_t NewFileModeIn(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return 0600;
    return 0644 & (st.st_mode | 0700);
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A rename reaches the disk only with the folder's entry list.
bool SyncFolder(const std::string& folder) {
    const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.valid() && Sync(fd.get());
}

// A fresh name that nobody can have prepared: an existing file or link of that name makes the
// exclusive create fail, and another name is tried.
UniqueFd CreateTemporaryBeside(const std::string& folder, std::string& temp) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        unsigned char random[8];
        RandomBytes(random, sizeof random);
        char suffix[sizeof random * 2 + 1];
        for (size_t i = 0; i < sizeof random; ++i)
            std::snprintf(suffix + 2 * i, 3, "%02x", random[i]);
        temp = JoinPath(folder, std::string(kReplaceTempPrefix) + suffix);
        UniqueFd fd = CreateExclusive(temp, 0600);
        if (fd.valid() || errno != EEXIST) return fd;
    }
    return UniqueFd();
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
    if (!S_ISDIR(st.st_mode)) return Unlink(folder);
    std::vector<FolderEntry> entries;
    ListFolder(folder, entries);
    for (const FolderEntry& entry : entries) {
        const std::string path = JoinPath(folder, entry.name);
        if (entry.isFolder && !entry.isLink) {
            DeleteTree(path);
        } else {
            Unlink(path);
        }
    }
    return RemoveFolder(folder) || errno == ENOENT;
}

bool IsFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsPlainFile(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool CanOpenForReading(const std::string& path) {
    if (!IsFile(path)) return false;
    return FileReader::Open(path).has_value();
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
    if (MakeFolder(path)) return true;
    return errno == EEXIST && IsFolder(path);
}

bool IsPrivateFolder(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & 077) == 0;
}

bool CreatePrivateFolder(const std::string& path) {
    if (path.empty()) return false;
    if (!MakeFolder(path, 0700) && errno != EEXIST) return false;
    return IsPrivateFolder(path);
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
    return Unlink(path);
}

bool RemoveEmptyFolder(const std::string& path) {
    return RemoveFolder(path);
}

bool RenamePath(const std::string& from, const std::string& to) {
    return Rename(from, to);
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    return ReadWholeFile(path, bytes, UINT64_MAX);
}

bool ReadWholeFile(const std::string& path, std::string& bytes, uint64_t maxBytes) {
    bytes.clear();
    std::optional<FileReader> reader = FileReader::Open(path);
    if (!reader || reader->Size() > maxBytes) return false;
    bytes.reserve(static_cast<size_t>(reader->Size()));
    char chunk[1 << 16];
    for (;;) {
        const int64_t n = reader->Read(chunk, sizeof chunk);
        if (n < 0) break;
        if (n == 0) return true;
        if (static_cast<uint64_t>(n) > maxBytes - bytes.size()) break;
        bytes.append(chunk, static_cast<size_t>(n));
    }
    bytes.clear();
    bytes.shrink_to_fit();
    return false;
}

std::optional<FileReader> FileReader::Open(const std::string& path, bool followLinks) {
    UniqueFd fd(
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (followLinks ? 0 : O_NOFOLLOW) | O_NONBLOCK));
    if (!fd) return std::nullopt;
    // O_NONBLOCK keeps a named pipe from blocking the open; it is a regular file or refused.
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return FileReader(std::move(fd), static_cast<uint64_t>(st.st_size));
}

int64_t FileReader::Read(char* buffer, size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd_.get(), buffer, size);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

int64_t FileReader::ReadFull(char* buffer, size_t size) {
    size_t got = 0;
    while (got < size) {
        const int64_t n = Read(buffer + got, size - got);
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<int64_t>(got);
}

bool SameFileContent(const std::string& a, const std::string& b) {
    std::optional<FileReader> first = FileReader::Open(a, false);
    std::optional<FileReader> second = FileReader::Open(b, false);
    if (!first || !second || first->Size() != second->Size()) return false;
    std::vector<char> x(1 << 16), y(1 << 16);
    for (;;) {
        const int64_t n = first->ReadFull(x.data(), x.size());
        const int64_t m = second->ReadFull(y.data(), y.size());
        if (n < 0 || n != m) return false;
        if (n == 0) return true;
        if (std::memcmp(x.data(), y.data(), static_cast<size_t>(n)) != 0) return false;
    }
}

namespace {

// The replacement itself: `write` fills the temporary file through its descriptor.
bool ReplaceFileWriting(const std::string& path, const std::function<bool(int)>& write,
                        Flush flush = Flush::kDurable) {
    const std::string folder = FolderOf(path);
    mode_t mode = NewFileModeIn(folder);
    struct stat old {};
    if (::lstat(path.c_str(), &old) == 0) {
        if (!S_ISREG(old.st_mode)) {
            errno = EEXIST;
            return false;
        }
        mode = old.st_mode & 07777;
    } else if (errno != ENOENT) {
        return false;
    }
    std::string temp;
    UniqueFd fd = CreateTemporaryBeside(folder, temp);
    if (!fd) return false;
    bool ok = write(fd.get());
    // The mode is set before the flush so that it reaches the disk with the bytes.
    ok = ok && ::fchmod(fd.get(), mode) == 0;
    ok = ok && (flush == Flush::kWorkingCopy || Sync(fd.get()));
    ok = fd.Close() && ok;
    if (!ok || !Rename(temp, path)) {
        const int cause = errno;
        ::unlink(temp.c_str());  // our own file: the name was created exclusively above
        errno = cause;
        return false;
    }
    // The target is already new here; a failed folder flush still reports failure, since the
    // rename may not survive a crash.
    return flush == Flush::kWorkingCopy || SyncFolder(folder);
}

// Copies the rest of `in` to `out`, in the kernel (copy_file_range) where the file systems allow,
// which saves passing every byte through this process; otherwise through a buffer. Each chunk is
// one write to the fault seam, as a buffered write is.
bool CopyRest(int in, int out) {
    constexpr size_t kChunk = size_t{1} << 20;
    bool inKernel = true;
    std::vector<char> buffer;
    for (;;) {
        const file_faults::Injected fault = file_faults::Next(FileCall::kWrite);
        if (fault.error != 0) {
            if (fault.shortWrite) {
                [[maybe_unused]] const ssize_t n =
                    ::copy_file_range(in, nullptr, out, nullptr, kChunk / 2, 0);
            }
            errno = fault.error;
            return false;
        }
        if (inKernel) {
            const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
            if (n > 0) continue;
            if (n == 0) return true;
            if (errno == EINTR) continue;
            if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP)
                return false;
            inKernel = false;  // and go on from where the offsets stand
        }
        if (buffer.empty()) buffer.resize(kChunk);
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        for (std::string_view rest(buffer.data(), static_cast<size_t>(n)); !rest.empty();) {
            const ssize_t written = ::write(out, rest.data(), rest.size());
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return false;
            rest.remove_prefix(static_cast<size_t>(written));
        }
    }
}

}  // namespace

bool ReplaceFile(const std::string& path, const ByteSource& content, Flush flush) {
    return ReplaceFileWriting(
        path,
        [&content](int fd) {
            return content([fd](std::string_view bytes) { return WriteAll(fd, bytes); });
        },
        flush);
}

bool WriteFileAtomic(const std::string& path, std::string_view bytes, Flush flush) {
    return ReplaceFile(
        path, [bytes](const ByteSink& sink) { return sink(bytes); }, flush);
}

bool ReplaceFileWithCopy(const std::string& source, const std::string& target, bool followLinks) {
    std::optional<FileReader> in = FileReader::Open(source, followLinks);
    if (!in) return false;
    return ReplaceFileWriting(target, [&in](int fd) { return CopyRest(in->Descriptor(), fd); });
}

bool CopyFile(const std::string& source, const std::string& target) {
    return ReplaceFileWithCopy(source, target, true);
}

bool CanCreateFilesIn(const std::string& folder) {
    std::string probe;
    UniqueFd fd = CreateTemporaryBeside(folder, probe);
    if (!fd) return false;
    fd.reset();
    Unlink(probe);
    return true;
}

}  // namespace bw::platform
