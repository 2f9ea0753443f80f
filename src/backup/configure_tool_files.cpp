#include "backup/configure_tool_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace bw::configure {
namespace {

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
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

// O_NOFOLLOW: a backup file that is a link could point anywhere on the host; the deep clean
// reads and writes only inside its three folders.
int OpenRegularForReading(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

ssize_t ReadSome(int fd, char* data, size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The rename itself reaches the disk only with the folder's entry list.
void SyncFolder(const std::string& folder) {
    Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.valid()) ::fsync(fd.get());
}

}  // namespace

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ReplaceFileFrom(const std::string& source, const std::string& target,
                     const StepCallback& step) {
    if (step) step("copy");
    Descriptor in(OpenRegularForReading(source));
    if (!in.valid()) return false;
    const std::string folder = FolderOf(target);
    std::string temp = folder + "/" + std::string(kTempPrefix) + "XXXXXX";
    Descriptor out(::mkstemp(temp.data()));
    if (!out.valid()) return false;
    ::fchmod(out.get(), 0644);
    std::vector<char> buffer(1 << 20);
    bool ok = true;
    for (;;) {
        const ssize_t n = ReadSome(in.get(), buffer.data(), buffer.size());
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) break;
        if (!WriteAll(out.get(), buffer.data(), static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    ok = ok && ::fsync(out.get()) == 0;
    ok = ::close(out.release()) == 0 && ok;
    if (ok && step) step("rename");
    if (!ok || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    SyncFolder(folder);
    return true;
}

bool SameContent(const std::string& a, const std::string& b) {
    Descriptor first(OpenRegularForReading(a));
    Descriptor second(OpenRegularForReading(b));
    if (!first.valid() || !second.valid()) return false;
    struct stat sa {
    }, sb{};
    if (::fstat(first.get(), &sa) != 0 || ::fstat(second.get(), &sb) != 0) return false;
    if (sa.st_size != sb.st_size) return false;
    std::vector<char> x(1 << 16), y(1 << 16);
    for (;;) {
        const ssize_t n = ReadSome(first.get(), x.data(), x.size());
        if (n < 0) return false;
        if (n == 0) return ReadSome(second.get(), y.data(), 1) == 0;
        size_t got = 0;
        while (got < static_cast<size_t>(n)) {
            const ssize_t m = ReadSome(second.get(), y.data() + got, static_cast<size_t>(n) - got);
            if (m <= 0) return false;
            got += static_cast<size_t>(m);
        }
        if (std::memcmp(x.data(), y.data(), static_cast<size_t>(n)) != 0) return false;
    }
}

}  // namespace bw::configure
