#include "support/test_images.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

#include "support/build_paths.h"

namespace bw::testing {
namespace {

namespace fs = std::filesystem;

// The running program's identity: a rebuilt program has another inode, size or time.
std::string ProgramIdentity() {
    struct stat info {};
    if (::stat("/proc/self/exe", &info) != 0) return {};
    return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + ":" +
           std::to_string(info.st_size) + ":" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec);
}

std::string CacheKey(const sim::ImageOptions& o) {
    const std::string text = o.iosVersion + "\n" + o.name + "\n" + o.udid + "\n" +
                             std::to_string(o.seed) + "\n" + std::to_string(o.scale) + "\n" +
                             o.interfaceType + "\n" + std::to_string(o.paired) +
                             std::to_string(o.refusesPairing) + std::to_string(o.hasAfc2) +
                             std::to_string(o.passcodeLocked) + std::to_string(o.hasSim) +
                             std::to_string(o.backupEncrypted) + std::to_string(o.findMyPhone) +
                             "\n" + sim::BuilderVersion() + "\n" + ProgramIdentity();
    // Two independent 64-bit FNV-1a hashes: a collision would hand a test the wrong image.
    uint64_t a = 0xcbf29ce484222325ull, b = 0x84222325cbf29ce4ull;
    for (const char c : text) {
        a = (a ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
        b = (b ^ static_cast<unsigned char>(c)) * 0x100000001b3ull + 1;
    }
    char key[40];
    std::snprintf(key, sizeof key, "%016llx%016llx", static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b));
    return key;
}

bool SetTimes(const fs::path& path, const struct stat& info) {
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// Copies the tree `from` to `to` (which must not exist) with its links as links, and its modes
// and times. Folders get their times last, after their entries were made.
bool CopyTree(const fs::path& from, const fs::path& to) {
    struct stat info {};
    if (::lstat(from.c_str(), &info) != 0) return false;
    std::error_code error;
    if (S_ISLNK(info.st_mode)) {
        fs::create_symlink(fs::read_symlink(from, error), to, error);
        return !error && SetTimes(to, info);
    }
    if (S_ISREG(info.st_mode)) {
        fs::copy_file(from, to, error);
        return !error && ::chmod(to.c_str(), info.st_mode & 07777) == 0 && SetTimes(to, info);
    }
    if (!S_ISDIR(info.st_mode) || !fs::create_directory(to, error) || error) return false;
    for (fs::directory_iterator it(from, error), end; !error && it != end; it.increment(error)) {
        if (!CopyTree(it->path(), to / it->path().filename())) return false;
    }
    return !error && ::chmod(to.c_str(), info.st_mode & 07777) == 0 && SetTimes(to, info);
}

}  // namespace

bool MakeTestImage(const std::string& folder, const sim::ImageOptions& options,
                   std::string& error) {
    const fs::path cache = fs::path(build_paths::kImageCache);
    const fs::path cached = cache / CacheKey(options);
    std::error_code ignored;
    if (fs::is_directory(cached, ignored) && !fs::exists(folder, ignored)) {
        if (CopyTree(cached, folder)) return true;
        fs::remove_all(folder, ignored);
    }
    if (!sim::CreateImage(folder, options, error)) return false;
    // Another test program may be filling the same entry: each writes its own copy and only a
    // whole copy is renamed into place; the loser's copy is dropped.
    fs::create_directories(cache, ignored);
    const fs::path staging =
        cache / (cached.filename().string() + ".part-" + std::to_string(::getpid()));
    fs::remove_all(staging, ignored);
    if (CopyTree(folder, staging)) fs::rename(staging, cached, ignored);
    fs::remove_all(staging, ignored);
    return true;
}

}  // namespace bw::testing
