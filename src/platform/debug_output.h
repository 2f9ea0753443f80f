// The library's diagnostic lines (a debugger's output on a desktop system): standard error.
// Text that came from a device or a file is shown with its control characters escaped, so that a
// device name cannot move the cursor or forge lines on the user's terminal.
#pragma once

#include <string>
#include <string_view>

namespace bw::platform {

// Control characters and DEL as \n, \t, \r or \xHH; everything else, UTF-8 included, as it is.
std::string EscapeControlCharacters(std::string_view text);

// One line on standard error, prefixed with "brackwater: ".
void DebugOutput(std::string_view line);

}  // namespace bw::platform
