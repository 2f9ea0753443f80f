#include "device/device_identifier.h"

#include <algorithm>

namespace bw {

namespace {

bool IsHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
}

}  // namespace

bool IsDeviceIdentifier(std::string_view text) {
    if (text.size() == 40) return IsHex(text);
    return text.size() == 25 && text[8] == '-' && IsHex(text.substr(0, 8)) && IsHex(text.substr(9));
}

}  // namespace bw
