#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <random>

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

std::string TempFolder() {
    std::string folder = GetEnv("TMPDIR").value_or("");
    if (folder.empty()) folder = "/tmp";
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

std::string RoamingAppDataFolder() {
    // The registry stand-in may name the folder the way Windows records its shell folders.
    if (auto appData = ReadRegistryString(
            RegistryRoot::CurrentUser,
            "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", "AppData");
        appData && !appData->empty()) {
        return *appData;
    }
    if (auto xdg = GetEnv("XDG_DATA_HOME"); xdg && !xdg->empty()) return *xdg;
    const std::string home = GetEnv("HOME").value_or("");
    return JoinPath(home.empty() ? "/tmp" : home, ".local/share");
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
