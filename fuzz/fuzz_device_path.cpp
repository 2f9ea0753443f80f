// Joins arbitrary base and relative device paths; the result must always be a normalised
// absolute path (one leading "/", no empty, "." or ".." parts, no backslash) that joins to itself.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "device/iphone.h"
#include "fuzz_seeds.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

void CheckNormalised(const std::string& path) {
    Check(!path.empty() && path.front() == '/');
    Check(path.find('\\') == std::string::npos);
    if (path == "/") return;
    Check(path.back() != '/');
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string_view part(path.data() + start, end - start);
        Check(!part.empty() && part != "." && part != "..");
        start = end + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    using namespace std::string_literals;
    bw::fuzz::MaybeWriteSeeds({
        "/var/mobile\0Media/DCIM"s,
        "/\0a\\b"s,
        "/\0/x/../y"s,
        "\0"s,
        "/a/b/c\0../../../.."s,
        "relative\0./x/./y/."s,
        "\\Applications\\\0..\\Library\\Preferences"s,
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input is the base, a NUL, then the path (no NUL: all of it is the path).
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\0');
    const std::string_view base = split == std::string_view::npos ? "/" : input.substr(0, split);
    const std::string_view path = split == std::string_view::npos ? input : input.substr(split + 1);
    const std::string joined = bw::CIPhone::JoinDevicePath(base, path);
    CheckNormalised(joined);
    Check(bw::CIPhone::JoinDevicePath("/", joined) == joined);
    Check(bw::CIPhone::JoinDevicePath(joined, "") == joined);
    Check(bw::CIPhone::JoinDevicePath("/elsewhere", joined) == joined);
    return 0;
}
