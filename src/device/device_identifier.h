// Device identifiers become folder names (backups, archives, working copies), and a device
// chooses its own: only the shapes real devices have are taken.
#pragma once

#include <string_view>

namespace bw {

// 40 hexadecimal digits, or 8 hexadecimal digits, a dash and 16 more (newer devices).
bool IsDeviceIdentifier(std::string_view text);

}  // namespace bw
