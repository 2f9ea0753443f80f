#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/unique_fd.h"

namespace bw::platform {

std::optional<std::string> GetEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

bool SetEnv(const char* name, const std::string& value) {
    return ::setenv(name, value.c_str(), 1) == 0;
}

namespace {

std::string SharedTempFolder() {
    std::string folder = GetEnv("TMPDIR").value_or("");
    if (folder.empty()) folder = "/tmp";
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

// The folders made for this process when the user's own name in a shared temporary folder was
// taken by something unusable, by shared folder (tests and hosts may change TMPDIR).
std::mutex gFallbackMutex;
std::map<std::string, std::string> gFallbacks;

std::string AccountHome() {
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
    for (;;) {
        passwd entry{};
        passwd* found = nullptr;
        const int error = ::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr || found->pw_dir == nullptr) return {};
        return found->pw_dir;
    }
}

}  // namespace

std::string TempFolder() {
    const std::string shared = SharedTempFolder();
    const std::string own = JoinPath(shared, "brackwater-" + std::to_string(::geteuid()));
    // Made outside the file-fault seam: the folder belongs to the process, not to the operation
    // a failure test walks.
    ::mkdir(own.c_str(), 0700);
    if (IsPrivateFolder(own)) return own;
    const std::lock_guard<std::mutex> lock(gFallbackMutex);
    std::string& fallback = gFallbacks[shared];
    if (fallback.empty() || !IsPrivateFolder(fallback)) {
        // mkdtemp makes the folder 0700 under a name nobody could have prepared.
        std::string pattern = own + ".XXXXXX";
        fallback = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    return fallback;
}

std::string HomeFolder() {
    if (auto home = GetEnv("HOME"); home && !home->empty()) return *home;
    // A service started without an environment still has an account, and its home is the only
    // folder that is the user's own; a shared one would let another user choose our settings.
    return AccountHome();
}

std::string XdgFolder(const char* variable, std::string_view fallback) {
    // Relative values are invalid for the XDG base folders and are ignored, as the base
    // directory rules ask.
    if (auto value = GetEnv(variable); value && !value->empty() && value->front() == '/') {
        return *value;
    }
    const std::string home = HomeFolder();
    return home.empty() ? std::string() : JoinPath(home, fallback);
}

std::string RoamingAppDataFolder() {
    // The registry stand-in may name the folder the way Windows records its shell folders.
    if (auto appData = ReadRegistryString(
            RegistryRoot::CurrentUser,
            "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "AppData");
        appData && !appData->empty()) {
        return *appData;
    }
    return XdgFolder("XDG_DATA_HOME", ".local/share");
}

std::string ComputerName(size_t maxLength) {
    char host[256] = {};
    std::string name;
    if (::gethostname(host, sizeof host - 1) == 0) name.assign(host);
    name = name.substr(0, name.find('.'));
    if (name.empty()) name = "localhost";
    if (name.size() > maxLength) {
        size_t cut = maxLength;
        // Back off continuation bytes so that the cut keeps whole characters.
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
            --cut;
        name.resize(cut);
    }
    return name;
}

void RandomBytes(void* buffer, size_t size) {
    auto* out = static_cast<unsigned char*>(buffer);
    const UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    size_t got = 0;
    while (fd && got < size) {
        const ssize_t n = ::read(fd.get(), out + got, size - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    if (got < size) {
        std::random_device device;
        for (; got < size; ++got)
            out[got] = static_cast<unsigned char>(device());
    }
}

}  // namespace bw::platform
