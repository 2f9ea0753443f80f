// Application icons and artwork: small PNGs drawn from the seed and the bundle identifier and
// encoded with libvips.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bw::sim {

struct IconSpec {
    int size = 57;  // square, in pixels
    uint64_t seed = 1;
    std::string bundleId;  // with the seed, decides the colours and the glyph
};

// The PNG bytes of one icon; false with `error` when the size is out of range or libvips fails.
// Every size of one application looks the same, only larger.
bool EncodeIcon(const IconSpec& spec, std::string& png, std::string& error);

}  // namespace bw::sim
