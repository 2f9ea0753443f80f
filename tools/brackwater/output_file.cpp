#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace cli {

namespace {

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
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

mode_t NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

bool WriteOutputFile(const std::string& path, std::string_view bytes, std::string& error) {
    struct stat existing {};
    mode_t mode = NewFileMode();
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode)) {
            error = "is not a regular file; refusing to replace it";
            return false;
        }
        mode = existing.st_mode & 07777;
    } else if (errno != ENOENT) {
        error = std::strerror(errno);
        return false;
    }
    const std::string folder = FolderOf(path);
    std::string name = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::string pattern = folder + "/." + name + ".XXXXXX";
    std::vector<char> temp(pattern.begin(), pattern.end());
    temp.push_back('\0');
    // mkstemp creates the name exclusively with mode 0600: nobody else can open it meanwhile.
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    const bool written = WriteAll(fd, bytes) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    const int saved = errno;
    if (::close(fd) != 0 || !written || ::rename(temp.data(), path.c_str()) != 0) {
        error = std::strerror(written ? errno : saved);
        ::unlink(temp.data());
        return false;
    }
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return true;
}

}  // namespace cli
