#include "afc/afc_path.h"

#include <sys/stat.h>

#include <cerrno>
#include <deque>

#include "status.h"

namespace bw::sim::md {
namespace {

// More links than this on one path is a loop, as the kernel's own limit says.
constexpr int kMostLinks = 40;

void AppendParts(std::string_view text, std::deque<std::string>& parts) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('/', start);
        if (end == std::string_view::npos) end = text.size();
        if (end > start) parts.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
}

bool ReadLinkAt(int folder, const std::string& name, std::string& target) {
    target.resize(256);
    for (;;) {
        const ssize_t length = ::readlinkat(folder, name.c_str(), target.data(), target.size());
        if (length < 0) return false;
        if (static_cast<size_t>(length) < target.size()) {
            target.resize(static_cast<size_t>(length));
            return true;
        }
        if (target.size() >= 64 * 1024) return false;
        target.resize(target.size() * 2);
    }
}

// The folder reached by `physical` (real folders below the root, no links), opened afresh.
int OpenPhysical(int root, const std::vector<std::string>& physical, UniqueFd& out) {
    UniqueFd current = UniqueFd(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (!current.valid()) return AfcStatusFromErrno(errno);
    for (const std::string& name : physical) {
        UniqueFd next(
            ::openat(current.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) return AfcStatusFromErrno(errno);
        current = std::move(next);
    }
    out = std::move(current);
    return kAfcSuccess;
}

}  // namespace

int AfcStatusFromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ELOOP:
            return kAfcNotFound;
        case EISDIR:
            return kAfcIsDirectory;
        case EACCES:
        case EPERM:
        case EROFS:
        case EBADF:
        case ETXTBSY:
            return kAfcPermissionDenied;
        case EEXIST:
            return kAfcExists;
        case ENOTEMPTY:
            return kAfcDirectoryNotEmpty;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return kAfcNoSpace;
        case EBUSY:
            return kAfcBusy;
        case EWOULDBLOCK:
            return kAfcWouldBlock;
        case EINVAL:
        case ENAMETOOLONG:
        case EXDEV:
            return kAfcInvalidArgument;
        case EMFILE:
        case ENFILE:
        case ENOMEM:
            return kAfcNoResources;
        case EIO:
            return kAfcIoError;
        default:
            return kAfcUndefined;
    }
}

std::vector<std::string> LexicalParts(std::string_view path) {
    std::deque<std::string> raw;
    AppendParts(path, raw);
    std::vector<std::string> parts;
    for (std::string& part : raw) {
        if (part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(std::move(part));
    }
    return parts;
}

int ResolvePath(int root, std::string_view path, LastLink last, bool createFolders,
                ResolvedPath& out) {
    if (path.size() > kLongestAfcPath) return kAfcInvalidArgument;
    const std::vector<std::string> parts = LexicalParts(path);
    std::deque<std::string> pending(parts.begin(), parts.end());
    // Where the walk stands: the real folders below the root, and a descriptor of the last one
    // (only one descriptor is open at a time, however deep the path).
    std::vector<std::string> physical;
    // The root itself is only borrowed: a descriptor of our own is made once the walk leaves it,
    // or at the end when the entry sits in the root.
    UniqueFd current;
    const auto at = [&] { return current.valid() ? current.get() : root; };
    int links = 0;

    while (!pending.empty()) {
        std::string name = std::move(pending.front());
        pending.pop_front();
        if (name == ".") continue;
        if (name == "..") {  // only from a link's target: the caller's ".." are resolved already
            if (physical.empty()) return kAfcNotFound;  // the link climbs out of the root
            physical.pop_back();
            if (const int status = OpenPhysical(root, physical, current); status != kAfcSuccess)
                return status;
            continue;
        }
        const bool isLast = pending.empty();
        if (!isLast) {
            // Most folders on the way are plain folders: opening one without following a link
            // proves that in one call. Anything else (a link, a file, a missing folder) is
            // looked at below.
            UniqueFd next(
                ::openat(at(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (next.valid()) {
                current = std::move(next);
                physical.push_back(std::move(name));
                continue;
            }
        }
        struct stat info {};
        if (::fstatat(at(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            const int error = errno;
            if (error == ENOENT && isLast) {
                pending.push_front(std::move(name));
                break;
            }
            if (error != ENOENT || !createFolders) return AfcStatusFromErrno(error);
            if (::mkdirat(at(), name.c_str(), 0755) != 0 && errno != EEXIST)
                return AfcStatusFromErrno(errno);
            info.st_mode = S_IFDIR;
        }
        if (S_ISLNK(info.st_mode) && (!isLast || last == LastLink::Follow)) {
            std::string target;
            if (++links > kMostLinks) return kAfcNotFound;
            if (!ReadLinkAt(at(), name, target)) return AfcStatusFromErrno(errno);
            // An absolute target names the device's root, which lies outside every service's.
            if (target.empty() || target.front() == '/') return kAfcNotFound;
            std::deque<std::string> targetParts;
            AppendParts(target, targetParts);
            pending.insert(pending.begin(), targetParts.begin(), targetParts.end());
            continue;
        }
        if (isLast) {
            pending.push_front(std::move(name));
            break;
        }
        if (!S_ISDIR(info.st_mode)) return kAfcNotFound;
        UniqueFd next(::openat(at(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        // A folder that turned into a link or a file since it was looked at is not entered.
        if (!next.valid()) return AfcStatusFromErrno(errno);
        current = std::move(next);
        physical.push_back(std::move(name));
    }
    if (!current.valid()) {
        current = UniqueFd(::fcntl(root, F_DUPFD_CLOEXEC, 0));
        if (!current.valid()) return AfcStatusFromErrno(errno);
    }
    out.parent = std::move(current);
    out.name = pending.empty() ? std::string() : std::move(pending.front());
    return kAfcSuccess;
}

}  // namespace bw::sim::md
