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

// The user's own temporary folder, the stand-in of the per-user temporary folder of Windows:
// "brackwater-<uid>" in $TMPDIR (else /tmp), made with mode 0700. A shared temporary folder lets
// any user create that name first, so an existing one is used only when it is a real folder (not
// a link) owned by this user that nobody else may enter; otherwise this process gets a fresh
// folder of its own there ("brackwater-<uid>.XXXXXX"). Empty when neither can be made. Ends
// without a separator.
std::string TempFolder();

// The user's home folder: $HOME, else the account's home in the password database. Empty when
// there is none; never a shared folder in its place.
std::string HomeFolder();

// An XDG base folder: the variable's value when it is an absolute path, else `fallback` below
// the home folder. Empty without a home.
std::string XdgFolder(const char* variable, std::string_view fallback);

// The user's roaming application-data folder: the "AppData" value of the registry's shell
// folders key when present, else $XDG_DATA_HOME, else ~/.local/share. Empty without a home.
std::string RoamingAppDataFolder();

// The computer's name as hosts announce it to devices (the host name, cut at its first "."),
// at most `maxLength` bytes and never in the middle of a UTF-8 character; "localhost" when the
// system gives none.
std::string ComputerName(size_t maxLength);

// Fills the buffer with random bytes (for identifiers, not for secrets).
void RandomBytes(void* buffer, size_t size);

}  // namespace bw::platform
