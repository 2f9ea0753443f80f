#include "formats/base64.h"

#include <array>

namespace bw {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr uint8_t kInvalid = 0xFF;
constexpr uint8_t kSpace = 0xFE;
constexpr uint8_t kPad = 0xFD;

constexpr std::array<uint8_t, 256> MakeDecodeTable() {
    std::array<uint8_t, 256> table{};
    for (auto& entry : table)
        entry = kInvalid;
    for (uint8_t i = 0; i < 64; ++i)
        table[static_cast<uint8_t>(kAlphabet[i])] = i;
    for (char c : {' ', '\t', '\r', '\n', '\v', '\f'})
        table[static_cast<uint8_t>(c)] = kSpace;
    table['='] = kPad;
    return table;
}

constexpr std::array<uint8_t, 256> kDecode = MakeDecodeTable();

std::string Encode(const uint8_t* bytes, size_t length) {
    std::string out;
    out.resize((length + 2) / 3 * 4);
    char* p = out.data();
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const uint32_t triple =
            (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        *p++ = kAlphabet[(triple >> 18) & 0x3F];
        *p++ = kAlphabet[(triple >> 12) & 0x3F];
        *p++ = kAlphabet[(triple >> 6) & 0x3F];
        *p++ = kAlphabet[triple & 0x3F];
    }
    if (i < length) {
        const bool two = i + 1 < length;
        const uint32_t triple =
            (uint32_t{bytes[i]} << 16) | (two ? uint32_t{bytes[i + 1]} << 8 : 0);
        *p++ = kAlphabet[(triple >> 18) & 0x3F];
        *p++ = kAlphabet[(triple >> 12) & 0x3F];
        *p++ = two ? kAlphabet[(triple >> 6) & 0x3F] : '=';
        *p++ = '=';
    }
    return out;
}

// Appends the decoded bytes to `out` (a std::string or a byte vector).
template <typename Bytes>
bool Decode(std::string_view text, Bytes& out) {
    out.reserve(text.size() / 4 * 3 + 3);
    uint32_t bits = 0;
    int pending = 0;  // sextets collected in `bits`
    bool padding = false;
    for (char c : text) {
        const uint8_t code = kDecode[static_cast<uint8_t>(c)];
        if (code == kSpace) continue;
        if (code == kPad) {
            padding = true;
            continue;
        }
        if (code == kInvalid || padding) return false;
        bits = (bits << 6) | code;
        if (++pending == 4) {
            out.push_back(static_cast<typename Bytes::value_type>(bits >> 16));
            out.push_back(static_cast<typename Bytes::value_type>(bits >> 8));
            out.push_back(static_cast<typename Bytes::value_type>(bits));
            bits = 0;
            pending = 0;
        }
    }
    // Two leftover sextets carry one byte, three carry two; one alone cannot carry a byte.
    if (pending == 1) return false;
    if (pending == 2) {
        out.push_back(static_cast<typename Bytes::value_type>(bits >> 4));
    } else if (pending == 3) {
        out.push_back(static_cast<typename Bytes::value_type>(bits >> 10));
        out.push_back(static_cast<typename Bytes::value_type>(bits >> 2));
    }
    return true;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
    return Encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string Base64Encode(std::span<const uint8_t> bytes) {
    return Encode(bytes.data(), bytes.size());
}

std::optional<std::string> Base64Decode(std::string_view text) {
    std::string out;
    if (!Decode(text, out)) return std::nullopt;
    return out;
}

std::optional<std::vector<uint8_t>> Base64DecodeBytes(std::string_view text) {
    std::vector<uint8_t> out;
    if (!Decode(text, out)) return std::nullopt;
    return out;
}

}  // namespace bw
