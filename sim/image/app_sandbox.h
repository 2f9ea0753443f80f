// The data of a user application's container: Documents and preferences the user keeps, and the
// disposable files a sandbox scan finds in Library/Caches, Library/Cookies, tmp and Library/tmp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image_writer.h"
#include "seeded_random.h"

namespace bw::sim {

enum class SandboxJunk {
    Full,        // caches, a cookie file, temporary files
    Empty,       // the folders exist and hold nothing
    CapitalTmp,  // as Full, and a second temporary folder "Library/Tmp" beside "Library/tmp"
    DeepCaches,  // as Full, with a map-tile cache several folders deep
};

struct SandboxSpec {
    std::string container;  // device path of the container
    std::string bundleId;
    std::string name;  // the bundle name, for file names an application would choose
    SandboxJunk junk = SandboxJunk::Full;
    bool cookies = true;  // Library/Cookies/Cookies.binarycookies
    uint64_t seed = 1;
    int64_t now = 0;  // the image's time: cookies expire after it
};

// Writes the container's data below spec.container.
bool AddSandbox(ImageWriter& writer, const SandboxSpec& spec);

// A cookie file in the binary format of iOS: pages of cookie records, a checksum and the footer.
struct CookieSpec {
    std::string domain;
    std::string name;
    std::string path;
    std::string value;
    uint32_t flags = 0;  // 1 secure, 4 HTTP only
    double expires = 0;  // seconds since 2001-01-01
    double created = 0;
};
std::string BinaryCookies(const std::vector<std::vector<CookieSpec>>& pages);

// The junk files the scale adds, step `step` (1 for the first step above scale 1): `count`
// small files spread over the containers' caches and temporary folders, each folder staying
// below a thousand entries.
bool AddScaledSandboxJunk(ImageWriter& writer, const std::vector<SandboxSpec>& containers, int step,
                          int count);

// A version-4 UUID in upper case, as iOS names containers and cache files.
std::string RandomUuid(SeededRandom& random);

}  // namespace bw::sim
