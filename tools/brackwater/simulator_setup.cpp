#include "simulator_setup.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

namespace cli {

namespace {

namespace fs = std::filesystem;

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

// The simulator's runtime: $BRACKWATER_SIM_RUNTIME, else beside the program in the build tree,
// else where an install puts it. Both are found from the program's own folder, so a build tree or
// an installed prefix that was moved still finds its own runtime and never another one.
std::string RuntimeFolder() {
    if (const char* folder = std::getenv("BRACKWATER_SIM_RUNTIME"); folder && *folder) {
        return folder;
    }
    const fs::path program = ProgramFolder();
    const fs::path built = (program / ".." / "sim" / "runtime").lexically_normal();
    std::error_code failed;
    if (fs::exists(built / "libMobileDevice.so", failed)) return built.string();
    return (program / BW_SIM_RUNTIME_FROM_PROGRAM).lexically_normal().string();
}

// $HOME, else the account's home in the password database; empty when there is none.
std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr) {
        return {};
    }
    return found->pw_dir;
}

// "brackwater-<uid>" in $TMPDIR (else /tmp), the folder the library keeps its own temporary
// files in: made 0700, and used only when it is a real folder of ours that nobody else may enter.
std::string PrivateTempFolder(std::string& error) {
    std::string shared = "/tmp";
    if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp) shared = tmp;
    while (shared.size() > 1 && shared.back() == '/')
        shared.pop_back();
    const std::string folder = shared + "/brackwater-" + std::to_string(::geteuid());
    ::mkdir(folder.c_str(), 0700);
    struct stat info {};
    if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid() || (info.st_mode & 077) != 0) {
        error = folder + " is not a folder only you may use; remove it or point TMPDIR elsewhere";
        return {};
    }
    return folder;
}

constexpr std::string_view kRegistryPrefix = "sim-registry-";
constexpr std::string_view kRegistrySuffix = ".reg";

// The process a registry file of ours was made for, from its name; 0 for other names.
pid_t RegistryOwner(const std::string& name) {
    if (!name.starts_with(kRegistryPrefix) || !name.ends_with(kRegistrySuffix)) return 0;
    const std::string digits = name.substr(
        kRegistryPrefix.size(), name.size() - kRegistryPrefix.size() - kRegistrySuffix.size());
    if (digits.empty() || digits.size() > 9 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return 0;
    }
    return static_cast<pid_t>(std::stol(digits));
}

// A run that crashed left its registry behind: each is named after its process, and removed here
// once that process is gone (or when it carries our own number, from an earlier process).
void RemoveStaleRegistries(const std::string& folder) {
    std::error_code failed;
    for (fs::directory_iterator it(folder, failed), end; !failed && it != end;
         it.increment(failed)) {
        const pid_t owner = RegistryOwner(it->path().filename().string());
        if (owner == 0) continue;
        if (owner == ::getpid() || (::kill(owner, 0) != 0 && errno == ESRCH)) {
            ::unlink(it->path().c_str());
        }
    }
}

// Writes the whole text to a file made afresh (never through a link, readable by us alone).
bool WriteNewFile(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0 && done == text.size();
}

// Runs a command and returns what it printed, or nullopt when it failed.
std::optional<std::string> Capture(const std::string& command) {
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string out;
    char chunk[512];
    while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe))
        out.append(chunk, n);
    if (::pclose(pipe) != 0) return std::nullopt;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

bool EnsureDemoImage(std::string& image, std::string& error) {
    const std::string tool = ProgramFolder() + "/brackwater-sim";
    const auto version = Capture(Quoted(tool) + " version");
    if (!version) {
        error = "cannot run " + tool + " to make the demo iPhone";
        return false;
    }
    const std::string cache = CacheFolder();
    if (cache.empty()) {
        error = "no home folder to keep the demo iPhone in; set HOME or XDG_CACHE_HOME";
        return false;
    }
    image = cache + "/demo-iphone";
    const std::string stamp = cache + "/demo-iphone.builder";
    std::ifstream in(stamp);
    std::string made;
    std::getline(in, made);
    if (made == *version && fs::exists(fs::path(image) / "device.plist")) return true;

    std::error_code ignored;
    // The builder replaces only folders that carry its own marker, which images of earlier
    // builders lack; the stamp beside the image in the user's own cache says this host made it.
    if (!made.empty() && !fs::exists(fs::path(image) / ".brackwater-sim-image", ignored)) {
        fs::remove_all(image, ignored);
    }
    fs::create_directories(cache, ignored);
    const std::string create = Quoted(tool) + " create " + Quoted(image) +
                               " --ios 7.1.2 --name 'Demo iPhone' --seed 7 --afc2 >/dev/null";
    if (!Capture(create)) {
        error = "cannot make the demo iPhone in " + image;
        return false;
    }
    std::ofstream(stamp, std::ios::trunc) << *version << "\n";
    return true;
}

}  // namespace

bool MakeDemoImage(std::string& image, std::string& error) {
    return EnsureDemoImage(image, error);
}

std::string ProgramFolder() {
    std::error_code failed;
    const fs::path self = fs::read_symlink("/proc/self/exe", failed);
    return failed ? std::string(".") : self.parent_path().string();
}

SimulatorSetup::~SimulatorSetup() {
    if (!registryFile_.empty()) ::unlink(registryFile_.c_str());
}

bool SimulatorSetup::Prepare(const std::string& requested, std::string& error) {
    // Several images, separated by ":", attach several devices at once.
    std::string images;
    size_t start = 0;
    do {
        const size_t end = std::min(requested.find(':', start), requested.size());
        std::string image = requested.substr(start, end - start);
        if (image.empty() && !requested.empty()) {
            error = "--sim= names an empty IMAGE folder";
            return false;
        }
        if (image.empty() && !EnsureDemoImage(image, error)) return false;
        if (!fs::exists(fs::path(image) / "device.plist")) {
            error = image + ": not a device image (no device.plist)";
            return false;
        }
        if (!images.empty()) images += ':';
        images += fs::absolute(image).lexically_normal().string();
        start = end + 1;
    } while (start < requested.size());
    const std::string runtime = RuntimeFolder();
    if (!fs::exists(runtime + "/libMobileDevice.so")) {
        error = "the simulator's runtime is missing from " + runtime;
        return false;
    }

    const std::string temp = PrivateTempFolder(error);
    if (temp.empty()) return false;
    RemoveStaleRegistries(temp);
    const std::string path = temp + "/" + std::string(kRegistryPrefix) +
                             std::to_string(::getpid()) + std::string(kRegistrySuffix);
    const std::string text =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Application Support]\n"
        "\"InstallDir\"=\"" +
        Escaped(runtime) +
        "\"\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared]\n"
        "\"iTunesMobileDeviceDLL\"=\"" +
        Escaped(runtime + "/libMobileDevice.so") + "\"\n";
    if (!WriteNewFile(path, text)) {
        ::unlink(path.c_str());
        error = "cannot write the temporary registry file " + path;
        return false;
    }
    registryFile_ = path;
    ::setenv("BRACKWATER_REGISTRY", registryFile_.c_str(), 1);
    ::setenv("BRACKWATER_SIM_IMAGES", images.c_str(), 1);
    return true;
}

// Empty without a home: a shared folder would let another user hand us the demo iPhone.
std::string CacheFolder() {
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache == '/') {
        return std::string(cache) + "/brackwater";
    }
    const std::string home = HomeFolder();
    return home.empty() ? std::string() : home + "/.cache/brackwater";
}

}  // namespace cli
