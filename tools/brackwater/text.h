// UTF-8 (the command line's text) to and from UTF-16 (the library's host interface text).
#pragma once

#include <string>
#include <string_view>

namespace cli {

std::u16string ToWide(std::string_view utf8);
std::string ToUtf8(std::u16string_view wide);

}  // namespace cli
