// Text conversion between the host interface's UTF-16 and the UTF-8 used everywhere inside.
#pragma once

#include <string>
#include <string_view>

namespace bw {

// Unpaired surrogates and invalid UTF-8 sequences become U+FFFD, so a conversion never fails and
// never drops the rest of the text.
std::string WideToUtf8(std::u16string_view text);
std::u16string Utf8ToWide(std::string_view text);

}  // namespace bw
