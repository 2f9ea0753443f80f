#include "formats/sha1.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define BW_SHA1_X86 1
#endif

namespace bw {
namespace {

using CompressFunction = void (*)(uint32_t* state, const uint8_t* blocks, size_t count);

inline uint32_t LoadBigEndian32(const uint8_t* bytes) {
    uint32_t value;
    std::memcpy(&value, bytes, sizeof value);
    if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap32(value);
    return value;
}

inline void StoreBigEndian32(uint8_t* bytes, uint32_t value) {
    if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap32(value);
    std::memcpy(bytes, &value, sizeof value);
}

// The four round functions of FIPS 180-1, each with its constant. The callers rotate the roles of
// the five working variables instead of moving values between them, so every round is a handful of
// instructions on registers.
inline void RoundChoose(uint32_t a, uint32_t& b, uint32_t c, uint32_t d, uint32_t& e, uint32_t w) {
    e += ((b & (c ^ d)) ^ d) + w + 0x5A827999u + std::rotl(a, 5);
    b = std::rotl(b, 30);
}
inline void RoundParity1(uint32_t a, uint32_t& b, uint32_t c, uint32_t d, uint32_t& e, uint32_t w) {
    e += (b ^ c ^ d) + w + 0x6ED9EBA1u + std::rotl(a, 5);
    b = std::rotl(b, 30);
}
inline void RoundMajority(uint32_t a, uint32_t& b, uint32_t c, uint32_t d, uint32_t& e,
                          uint32_t w) {
    e += (((b | c) & d) | (b & c)) + w + 0x8F1BBCDCu + std::rotl(a, 5);
    b = std::rotl(b, 30);
}
inline void RoundParity2(uint32_t a, uint32_t& b, uint32_t c, uint32_t d, uint32_t& e, uint32_t w) {
    e += (b ^ c ^ d) + w + 0xCA62C1D6u + std::rotl(a, 5);
    b = std::rotl(b, 30);
}

// The message schedule lives in a ring of 16 words: word i replaces word i - 16.
inline uint32_t Expand(uint32_t* w, int i) {
    uint32_t& slot = w[i & 15];
    slot = std::rotl(w[(i + 13) & 15] ^ w[(i + 8) & 15] ^ w[(i + 2) & 15] ^ slot, 1);
    return slot;
}

#define BW_SHA1_FIVE(ROUND, i, W)   \
    ROUND(a, b, c, d, e, W(i));     \
    ROUND(e, a, b, c, d, W(i + 1)); \
    ROUND(d, e, a, b, c, W(i + 2)); \
    ROUND(c, d, e, a, b, W(i + 3)); \
    ROUND(b, c, d, e, a, W(i + 4))
#define BW_SHA1_LOADED(i) w[i]
#define BW_SHA1_EXPANDED(i) Expand(w, i)

void CompressPortable(uint32_t* state, const uint8_t* blocks, size_t count) {
    for (; count > 0; --count, blocks += Sha1::kBlockSize) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i)
            w[i] = LoadBigEndian32(blocks + 4 * i);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
        BW_SHA1_FIVE(RoundChoose, 0, BW_SHA1_LOADED);
        BW_SHA1_FIVE(RoundChoose, 5, BW_SHA1_LOADED);
        BW_SHA1_FIVE(RoundChoose, 10, BW_SHA1_LOADED);
        RoundChoose(a, b, c, d, e, w[15]);
        RoundChoose(e, a, b, c, d, Expand(w, 16));
        RoundChoose(d, e, a, b, c, Expand(w, 17));
        RoundChoose(c, d, e, a, b, Expand(w, 18));
        RoundChoose(b, c, d, e, a, Expand(w, 19));
        BW_SHA1_FIVE(RoundParity1, 20, BW_SHA1_EXPANDED);
        BW_SHA1_FIVE(RoundParity1, 25, BW_SHA1_EXPANDED);
        BW_SHA1_FIVE(RoundParity1, 30, BW_SHA1_EXPANDED);
        BW_SHA1_FIVE(RoundParity1, 35, BW_SHA1_EXPANDED);
        BW_SHA1_FIVE(RoundMajority, 40, BW_SHA1_EXPANDED);
        BW_SHA1_FIVE(RoundMajority, 45, BW_SHA1_EXPANDED);
        BW_SHA1_FIVE(RoundMajority, 50, BW_SHA1_EXPANDED);
        BW_SHA1_FIVE(RoundMajority, 55, BW_SHA1_EXPANDED);
        BW_SHA1_FIVE(RoundParity2, 60, BW_SHA1_EXPANDED);
        BW_SHA1_FIVE(RoundParity2, 65, BW_SHA1_EXPANDED);
        BW_SHA1_FIVE(RoundParity2, 70, BW_SHA1_EXPANDED);
        BW_SHA1_FIVE(RoundParity2, 75, BW_SHA1_EXPANDED);
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
    }
}

#undef BW_SHA1_FIVE
#undef BW_SHA1_LOADED
#undef BW_SHA1_EXPANDED

#if BW_SHA1_X86
// Processors with the SHA extensions do four rounds per instruction; the scalar code above is about
// three times slower, so the choice is made once at run time.
//
// The schedule keeps the words of group g (four rounds) in msg[g % 4]; group g finishes word group
// g + 1 (sha1msg2), adds word group g to g + 2 (xor) and starts word group g + 3 (sha1msg1).
#define BW_SHA1_GROUP(g, ECUR, EOTHER, MSG, MSGPREV, MSGPREV2, MSGNEXT)  \
    ECUR = _mm_sha1nexte_epu32(ECUR, MSG);                               \
    EOTHER = abcd;                                                       \
    if constexpr ((g) <= 18) MSGNEXT = _mm_sha1msg2_epu32(MSGNEXT, MSG); \
    abcd = _mm_sha1rnds4_epu32(abcd, ECUR, (g) / 5);                     \
    if constexpr ((g) <= 16) MSGPREV = _mm_sha1msg1_epu32(MSGPREV, MSG); \
    if constexpr ((g) <= 17) MSGPREV2 = _mm_xor_si128(MSGPREV2, MSG)

__attribute__((target("sha,sse4.1,ssse3"))) void CompressShaExtensions(uint32_t* state,
                                                                       const uint8_t* blocks,
                                                                       size_t count) {
    const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
    __m128i abcd =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
    __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
    for (; count > 0; --count, blocks += Sha1::kBlockSize) {
        const __m128i abcdSaved = abcd;
        const __m128i e0Saved = e0;
        __m128i e1;
        const auto* words = reinterpret_cast<const __m128i*>(blocks);
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(words + 0), byteSwap);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(words + 1), byteSwap);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(words + 2), byteSwap);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(words + 3), byteSwap);

        // Group 0 has no previous E to rotate, so its words are simply added.
        e0 = _mm_add_epi32(e0, m0);
        e1 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
        // Groups 1 to 3 start the schedule with only the parts whose inputs exist.
        e1 = _mm_sha1nexte_epu32(e1, m1);
        e0 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e1, 0);
        m0 = _mm_sha1msg1_epu32(m0, m1);
        e0 = _mm_sha1nexte_epu32(e0, m2);
        e1 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
        m1 = _mm_sha1msg1_epu32(m1, m2);
        m0 = _mm_xor_si128(m0, m2);
        BW_SHA1_GROUP(3, e1, e0, m3, m2, m1, m0);
        BW_SHA1_GROUP(4, e0, e1, m0, m3, m2, m1);
        BW_SHA1_GROUP(5, e1, e0, m1, m0, m3, m2);
        BW_SHA1_GROUP(6, e0, e1, m2, m1, m0, m3);
        BW_SHA1_GROUP(7, e1, e0, m3, m2, m1, m0);
        BW_SHA1_GROUP(8, e0, e1, m0, m3, m2, m1);
        BW_SHA1_GROUP(9, e1, e0, m1, m0, m3, m2);
        BW_SHA1_GROUP(10, e0, e1, m2, m1, m0, m3);
        BW_SHA1_GROUP(11, e1, e0, m3, m2, m1, m0);
        BW_SHA1_GROUP(12, e0, e1, m0, m3, m2, m1);
        BW_SHA1_GROUP(13, e1, e0, m1, m0, m3, m2);
        BW_SHA1_GROUP(14, e0, e1, m2, m1, m0, m3);
        BW_SHA1_GROUP(15, e1, e0, m3, m2, m1, m0);
        BW_SHA1_GROUP(16, e0, e1, m0, m3, m2, m1);
        BW_SHA1_GROUP(17, e1, e0, m1, m0, m3, m2);
        BW_SHA1_GROUP(18, e0, e1, m2, m1, m0, m3);
        BW_SHA1_GROUP(19, e1, e0, m3, m2, m1, m0);
        e0 = _mm_sha1nexte_epu32(e0, e0Saved);
        abcd = _mm_add_epi32(abcd, abcdSaved);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

#undef BW_SHA1_GROUP

bool HasShaExtensions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool ssse3AndSse41 = (ecx & bit_SSSE3) != 0 && (ecx & bit_SSE4_1) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return ssse3AndSse41 && (ebx & (1u << 29)) != 0;
}
#endif

CompressFunction ChooseCompress() {
#if BW_SHA1_X86
    if (HasShaExtensions()) return CompressShaExtensions;
#endif
    return CompressPortable;
}

void Compress(uint32_t* state, const uint8_t* blocks, size_t count) {
    static const CompressFunction compress = ChooseCompress();
    compress(state, blocks, count);
}

template <bool kUpper>
std::string Hex(const uint8_t* bytes, size_t size) {
    const char* const kDigits = kUpper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string text(size * 2, '\0');
    for (size_t i = 0; i < size; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return text;
}

}  // namespace

namespace sha1_detail {

void CompressPortable(uint32_t* state, const uint8_t* blocks, size_t count) {
    bw::CompressPortable(state, blocks, count);
}

bool CompressAccelerated(uint32_t* state, const uint8_t* blocks, size_t count) {
#if BW_SHA1_X86
    static const bool available = HasShaExtensions();
    if (available) CompressShaExtensions(state, blocks, count);
    return available;
#else
    (void)state;
    (void)blocks;
    (void)count;
    return false;
#endif
}

}  // namespace sha1_detail

void Sha1::Reset() {
    state_ = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    totalBytes_ = 0;
    pendingSize_ = 0;
}

void Sha1::Update(const void* data, size_t size) {
    if (size == 0) return;
    auto bytes = static_cast<const uint8_t*>(data);
    totalBytes_ += size;
    if (pendingSize_ > 0) {
        const size_t take = std::min(kBlockSize - pendingSize_, size);
        std::memcpy(pending_.data() + pendingSize_, bytes, take);
        pendingSize_ += take;
        bytes += take;
        size -= take;
        if (pendingSize_ < kBlockSize) return;
        Compress(state_.data(), pending_.data(), 1);
        pendingSize_ = 0;
    }
    // Whole blocks are hashed where they lie; only a tail shorter than a block is copied.
    const size_t wholeBlocks = size / kBlockSize;
    if (wholeBlocks > 0) {
        Compress(state_.data(), bytes, wholeBlocks);
        bytes += wholeBlocks * kBlockSize;
        size -= wholeBlocks * kBlockSize;
    }
    if (size > 0) {
        std::memcpy(pending_.data(), bytes, size);
        pendingSize_ = size;
    }
}

Sha1::Digest Sha1::Finish() {
    const uint64_t bitCount = totalBytes_ * 8;
    pending_[pendingSize_++] = 0x80;
    if (pendingSize_ > kBlockSize - 8) {
        std::memset(pending_.data() + pendingSize_, 0, kBlockSize - pendingSize_);
        Compress(state_.data(), pending_.data(), 1);
        pendingSize_ = 0;
    }
    std::memset(pending_.data() + pendingSize_, 0, kBlockSize - 8 - pendingSize_);
    StoreBigEndian32(pending_.data() + 56, static_cast<uint32_t>(bitCount >> 32));
    StoreBigEndian32(pending_.data() + 60, static_cast<uint32_t>(bitCount));
    Compress(state_.data(), pending_.data(), 1);
    Digest digest;
    for (size_t i = 0; i < 5; ++i)
        StoreBigEndian32(digest.data() + 4 * i, state_[i]);
    Reset();
    return digest;
}

Sha1::Digest Sha1::Hash(const void* data, size_t size) {
    Sha1 sha1;
    sha1.Update(data, size);
    return sha1.Finish();
}

std::string HexLower(std::string_view bytes) {
    return Hex<false>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}
std::string HexUpper(std::string_view bytes) {
    return Hex<true>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}
std::string HexLower(const Sha1::Digest& digest) {
    return Hex<false>(digest.data(), digest.size());
}
std::string HexUpper(const Sha1::Digest& digest) {
    return Hex<true>(digest.data(), digest.size());
}

}  // namespace bw
