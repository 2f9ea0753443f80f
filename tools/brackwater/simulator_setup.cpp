#include "simulator_setup.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

extern char** environ;

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
    if (server_ > 0) {
        ::kill(server_, SIGTERM);
        int status = 0;
        while (::waitpid(server_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (serverOutput_ >= 0) ::close(serverOutput_);
    if (!socketFile_.empty()) ::unlink(socketFile_.c_str());
    if (!registryFile_.empty()) ::unlink(registryFile_.c_str());
}

bool SimulatorSetup::ResolveImages(const std::string& requested, std::string& images,
                                   std::string& error) {
    // Several images, separated by ":", attach several devices at once.
    size_t start = 0;
    do {
        const size_t end = std::min(requested.find(':', start), requested.size());
        std::string image = requested.substr(start, end - start);
        if (image.empty() && !requested.empty()) {
            error = "an empty IMAGE folder was named";
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
    return true;
}

bool SimulatorSetup::UseRegistry(const std::string& installDir, const std::string& library,
                                 std::string& error) {
    const std::string temp = PrivateTempFolder(error);
    if (temp.empty()) return false;
    RemoveStaleRegistries(temp);
    const std::string path = temp + "/" + std::string(kRegistryPrefix) +
                             std::to_string(::getpid()) + std::string(kRegistrySuffix);
    const std::string text =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Application Support]\n"
        "\"InstallDir\"=\"" +
        Escaped(installDir) +
        "\"\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared]\n"
        "\"iTunesMobileDeviceDLL\"=\"" +
        Escaped(library) + "\"\n";
    ::unlink(path.c_str());  // ours alone: named after this process, in our private folder
    if (!WriteNewFile(path, text)) {
        ::unlink(path.c_str());
        error = "cannot write the temporary registry file " + path;
        return false;
    }
    registryFile_ = path;
    ::setenv("BRACKWATER_REGISTRY", registryFile_.c_str(), 1);
    return true;
}

bool SimulatorSetup::Prepare(const std::string& requested, std::string& error) {
    std::string images;
    if (!ResolveImages(requested, images, error)) return false;
    const std::string runtime = RuntimeFolder();
    if (!fs::exists(runtime + "/libMobileDevice.so")) {
        error = "the simulator's runtime is missing from " + runtime;
        return false;
    }
    if (!UseRegistry(runtime, runtime + "/libMobileDevice.so", error)) return false;
    ::setenv("BRACKWATER_SIM_IMAGES", images.c_str(), 1);
    return true;
}

namespace {

// Reads the server's first line (it prints one when its socket listens), for up to `seconds`.
bool AwaitReadyLine(int fd, int seconds, std::string& line) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    char c = 0;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd wait{fd, POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
        if (line.size() < 4096) line.push_back(c);
    }
}

}  // namespace

namespace {
bool gUsingDeviceRuntime = false;
}  // namespace

bool UsingDeviceRuntime() {
    return gUsingDeviceRuntime;
}

std::string MissingFromDeviceRuntime(const std::string& what, const std::string& library) {
    if (!gUsingDeviceRuntime) return {};
    return ": " + what + " needs Apple's " + library +
           ", which the libimobiledevice runtime does not have";
}

bool SimulatorSetup::PrepareWire(const std::string& requested, std::string& error) {
    std::string images;
    if (!ResolveImages(requested, images, error)) return false;
    const std::string simulator = RuntimeFolder();
    const std::string device = DeviceRuntimeFolder();
    if (device.empty()) {
        error = "the device runtime over libimobiledevice is not installed beside this program";
        return false;
    }
    const std::string temp = PrivateTempFolder(error);
    if (temp.empty()) return false;
    const std::string socket = temp + "/wire-" + std::to_string(::getpid()) + ".sock";
    ::unlink(socket.c_str());  // a socket of an earlier process of the same number

    std::vector<std::string> words = {ProgramFolder() + "/brackwater-sim", "wire", "--socket",
                                      socket};
    for (size_t start = 0; start <= images.size();) {
        const size_t end = std::min(images.find(':', start), images.size());
        words.push_back(images.substr(start, end - start));
        start = end + 1;
    }
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        error = "cannot start the wire-level simulator";
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    // The server must not attach the images a second time through the simulator's variable.
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "BRACKWATER_SIM_IMAGES=", 22) != 0) environment.push_back(*entry);
    }
    environment.push_back(nullptr);
    pid_t child = -1;
    const int spawned =
        ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    if (spawned != 0) {
        ::close(pipe[0]);
        error = "cannot run " + words[0] + " to serve the simulated device";
        return false;
    }
    server_ = child;
    socketFile_ = socket;
    // Kept open while the server runs, so that a line it prints later does not end it.
    serverOutput_ = pipe[0];
    std::string line;
    if (!AwaitReadyLine(serverOutput_, 30, line)) {
        error = "the wire-level simulator did not start";
        return false;
    }
    const std::string address = "UNIX:" + socket;
    ::setenv("USBMUXD_SOCKET_ADDRESS", address.c_str(), 1);
    // CoreFoundation is the one library both runtimes share; it lives with the simulator's.
    gUsingDeviceRuntime = true;
    return UseRegistry(simulator, device + "/libMobileDevice.so", error);
}

bool SimulatorSetup::PrepareDefault(std::string& error) {
    // A registry file of the user's, or one named by the environment, chooses the runtime.
    if (const char* named = std::getenv("BRACKWATER_REGISTRY"); named && *named) return true;
    std::string config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        config = xdg;
    } else if (const std::string home = HomeFolder(); !home.empty()) {
        config = home + "/.config";
    }
    std::error_code failed;
    if (!config.empty() && fs::exists(config + "/brackwater/registry.reg", failed)) return true;
    const std::string device = DeviceRuntimeFolder();
    if (device.empty()) return true;  // the listener then says that no runtime is installed
    gUsingDeviceRuntime = true;
    return UseRegistry(RuntimeFolder(), device + "/libMobileDevice.so", error);
}

std::string DeviceRuntimeFolder() {
    std::error_code failed;
    if (const char* folder = std::getenv("BRACKWATER_DEVICE_RUNTIME"); folder && *folder) {
        return fs::exists(std::string(folder) + "/libMobileDevice.so", failed) ? folder : "";
    }
    const fs::path program = ProgramFolder();
    const fs::path built = (program / ".." / "device-runtime").lexically_normal();
    if (fs::exists(built / "libMobileDevice.so", failed)) return built.string();
    const fs::path installed = (program / BW_DEVICE_RUNTIME_FROM_PROGRAM).lexically_normal();
    if (fs::exists(installed / "libMobileDevice.so", failed)) return installed.string();
    return {};
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
