// Process environment and the folders the operating system names.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace bw::platform {

// Separator of folder lists such as PATH.
inline constexpr char kPathListSeparator = ':';

std::optional<std::string> GetEnv(const char* name);
bool SetEnv(const char* name, const std::string& value);

// The temporary folder: $TMPDIR, else /tmp. Always ends without a separator.
std::string TempFolder();

// The user's roaming application-data folder: the "AppData" value of the registry's shell
// folders key when present, else $XDG_DATA_HOME, else ~/.local/share.
std::string RoamingAppDataFolder();

// Fills the buffer with random bytes (for identifiers, not for secrets).
void RandomBytes(void* buffer, size_t size);

}  // namespace bw::platform
