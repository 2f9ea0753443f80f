// Deterministic pseudo-random values for image content. Each kind of content draws from its own
// stream, named by a label, so that adding a draw to one kind of content never shifts the values
// of another: a new issue can add content without changing the bytes of what was there before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bw::sim {

// FNV-1a, 64 bits: stable across platforms and builds, unlike std::hash.
constexpr uint64_t StableHash(std::string_view text, uint64_t hash = 0xcbf29ce484222325ULL) {
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

class SeededRandom {
  public:
    SeededRandom(uint64_t seed, std::string_view stream)
        : state_(StableHash(stream, StableHash(std::to_string(seed)))) {}

    // SplitMix64.
    uint64_t Next() {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    // Uniform in [0, bound); bound 0 gives 0. Rejection keeps every value equally likely.
    uint64_t Below(uint64_t bound) {
        if (bound == 0) return 0;
        const uint64_t limit = UINT64_MAX - UINT64_MAX % bound;
        uint64_t value = Next();
        while (value >= limit)
            value = Next();
        return value % bound;
    }

    // Uniform in [low, high].
    int64_t Between(int64_t low, int64_t high) {
        return low + static_cast<int64_t>(Below(static_cast<uint64_t>(high - low) + 1));
    }

    bool Chance(unsigned percent) { return Below(100) < percent; }

    template <typename T, size_t N>
    const T& Pick(const T (&choices)[N]) {
        return choices[Below(N)];
    }

    std::string Digits(size_t count) { return FromAlphabet("0123456789", count); }
    std::string LowerHex(size_t count) { return FromAlphabet("0123456789abcdef", count); }
    std::string FromAlphabet(std::string_view alphabet, size_t count) {
        std::string text;
        text.reserve(count);
        for (size_t i = 0; i < count; ++i)
            text += alphabet[Below(alphabet.size())];
        return text;
    }

  private:
    uint64_t state_;
};

}  // namespace bw::sim
