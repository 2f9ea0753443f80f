// The registry stand-in: a text file in the "REGEDIT4" / "Windows Registry Editor Version 5.00"
// format. Its path comes from BRACKWATER_REGISTRY, else $XDG_CONFIG_HOME/brackwater/registry.reg
// (~/.config when unset).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace bw::platform {

enum class RegistryRoot { ClassesRoot, CurrentUser, LocalMachine, Users };

// A registry file holds a few dozen install locations; a host's full export stays under a
// megabyte. A larger file is refused (read as an empty registry) rather than read into memory on
// every lookup, since the file is read afresh each time.
inline constexpr uint64_t kMaxRegistryFileBytes = uint64_t{4} << 20;

// One parsed registry file. Key paths are stored without the root, e.g. "SOFTWARE\Apple Inc.";
// key and value names compare without regard to letter case, as on Windows.
class RegistryFile {
  public:
    // Broken lines (no closing bracket, no "=", an unterminated string) are skipped, so one bad
    // line cannot hide the rest of the file. Values of type dword come back as decimal text.
    static RegistryFile Parse(std::string_view text);

    std::optional<std::string> Read(RegistryRoot root, std::string_view key,
                                    std::string_view name) const;
    bool HasKey(RegistryRoot root, std::string_view key) const;
    size_t KeyCount() const { return keys_.size(); }

  private:
    // Full key path ("HKEY_LOCAL_MACHINE\SOFTWARE\...") in upper case -> value name in upper case
    // -> value. The default value has the empty name.
    std::map<std::string, std::map<std::string, std::string>> keys_;
};

// Where the registry file of this process lives; empty when the user has no home folder.
std::string RegistryFilePath();

// Reads the registry file afresh (it is small, and a host may rewrite it while running).
// A missing file reads as an empty registry. name "" is the key's default value ("@=").
std::optional<std::string> ReadRegistryString(RegistryRoot root, std::string_view key,
                                              std::string_view name);
bool RegistryKeyExists(RegistryRoot root, std::string_view key);

// Text for a string value in a registry file: backslashes and double quotes escaped.
std::string EscapeRegistryString(std::string_view value);

}  // namespace bw::platform
