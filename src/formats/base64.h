// Base64 (RFC 4648, standard alphabet) for property-list data and anything else that carries bytes
// as text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// One line, padded with "=".
std::string Base64Encode(std::string_view bytes);
std::string Base64Encode(std::span<const uint8_t> bytes);

// Whitespace anywhere is skipped and missing "=" padding is accepted, because property lists wrap
// their data at arbitrary columns and some writers drop the padding. Any other character outside
// the alphabet, text after the padding, or a lone trailing character gives nullopt.
std::optional<std::string> Base64Decode(std::string_view text);
std::optional<std::vector<uint8_t>> Base64DecodeBytes(std::string_view text);

}  // namespace bw
