// UTF-8 (the command line's text) to and from UTF-16 (the library's host interface text).
#pragma once

#include <string>
#include <string_view>

namespace cli {

std::u16string ToWide(std::string_view utf8);
std::string ToUtf8(std::u16string_view wide);

// Text from a phone, a backup or a file, made safe for a terminal: control characters and DEL
// become \n, \t, \r or \xHH, so a device name cannot move the cursor or forge a line.
std::string Printable(std::string_view text);

// Whether the bytes are UTF-8 text: no stray or missing continuation bytes, no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view text);

// The library takes names as UTF-16, so a name that is not UTF-8 would reach it with its bad
// bytes turned into U+FFFD: another name, perhaps of another file. Empty for UTF-8 text; otherwise
// a one-line message that names the argument and shows the bytes as \xHH.
std::string NotUtf8Message(std::string_view argument, std::string_view text);

}  // namespace cli
