// SHA-1 (FIPS 180-1). The library carries its own so that backup file names and data hashes never
// depend on which crypto library a host happens to have.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bw {

class Sha1 {
  public:
    static constexpr size_t kDigestSize = 20;
    static constexpr size_t kBlockSize = 64;
    using Digest = std::array<uint8_t, kDigestSize>;

    Sha1() { Reset(); }

    void Reset();
    void Update(const void* data, size_t size);
    void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
    // The digest of everything given since the last reset; the object is reset afterwards.
    Digest Finish();

    static Digest Hash(const void* data, size_t size);
    static Digest Hash(std::string_view bytes) { return Hash(bytes.data(), bytes.size()); }

  private:
    std::array<uint32_t, 5> state_{};
    uint64_t totalBytes_ = 0;
    std::array<uint8_t, kBlockSize> pending_{};
    size_t pendingSize_ = 0;
};

// Two hexadecimal digits per byte: lowercase as in backup file names, uppercase as in data hashes.
std::string HexLower(std::string_view bytes);
std::string HexUpper(std::string_view bytes);
std::string HexLower(const Sha1::Digest& digest);
std::string HexUpper(const Sha1::Digest& digest);

// The block functions behind Sha1, open to tests so that the portable code and the processor's
// SHA instructions can be checked against each other on the same machine.
namespace sha1_detail {
void CompressPortable(uint32_t* state, const uint8_t* blocks, size_t count);
// False (state untouched) when the processor has no SHA instructions.
bool CompressAccelerated(uint32_t* state, const uint8_t* blocks, size_t count);
}  // namespace sha1_detail

}  // namespace bw
