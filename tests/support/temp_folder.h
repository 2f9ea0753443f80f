// A temporary folder for one test, removed with everything in it when the test ends.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/environment.h"
#include "platform/files.h"

namespace bw::testing {

class TempFolder {
  public:
    TempFolder() {
        // No user temporary folder means no test folder, never one at the top of the disk.
        const std::string base = platform::TempFolder();
        if (base.empty()) return;
        std::string pattern = base + "/bw-test-XXXXXX";
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempFolder() {
        if (!path_.empty()) platform::DeleteTree(path_);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return platform::JoinPath(path_, name); }

    // Writes a file below the folder (parents created) and returns its full path.
    std::string Write(std::string_view name, std::string_view bytes) const {
        const std::string full = *this / name;
        const size_t slash = full.rfind('/');
        platform::CreateFolders(full.substr(0, slash));
        std::ofstream out(full, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return full;
    }

  private:
    std::string path_;
};

inline std::string ReadFileBytes(const std::string& path) {
    std::string bytes;
    platform::ReadWholeFile(path, bytes);
    return bytes;
}

}  // namespace bw::testing
