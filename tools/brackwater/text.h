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

}  // namespace cli
