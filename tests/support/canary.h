// A fingerprint of everything below a folder, taken with the standard library and OpenSSL rather
// than the platform layer, so that a test can show that an operation changed nothing outside the
// folders it may touch: take one before, one after, and compare.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "support/independent_sha1.h"

namespace bw::testing {

// Relative path -> "type mode size digest" (links: their target, never followed).
using TreeFingerprint = std::map<std::string, std::string>;

inline TreeFingerprint FingerprintTree(const std::string& root) {
    namespace fs = std::filesystem;
    TreeFingerprint prints;
    std::error_code failed;
    struct stat rootInfo {};
    if (::lstat(root.c_str(), &rootInfo) != 0) return prints;
    prints["."] = "root " + std::to_string(rootInfo.st_mode);
    if (!S_ISDIR(rootInfo.st_mode)) return prints;
    for (fs::recursive_directory_iterator it(root, fs::directory_options::none, failed), end;
         !failed && it != end; it.increment(failed)) {
        const std::string path = it->path().string();
        const std::string name = it->path().lexically_relative(root).string();
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) continue;
        std::string print = std::to_string(info.st_mode) + " " + std::to_string(info.st_size);
        if (S_ISLNK(info.st_mode)) {
            print += " -> " + fs::read_symlink(path, failed).string();
        } else if (S_ISREG(info.st_mode)) {
            std::ifstream in(path, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
            print += " " + IndependentSha1(bytes);
        }
        prints[name] = print;
    }
    return prints;
}

// Writes a small tree of files and a folder below `root`: something to lose.
inline void PlantCanary(const std::string& root) {
    namespace fs = std::filesystem;
    fs::create_directories(fs::path(root) / "folder");
    std::ofstream(fs::path(root) / "file.txt") << "canary file\n";
    std::ofstream(fs::path(root) / "folder" / "nested.bin") << std::string(4096, '\x5a');
    ::chmod((fs::path(root) / "file.txt").c_str(), 0600);
}

}  // namespace bw::testing
