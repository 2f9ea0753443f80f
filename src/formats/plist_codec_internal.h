// Shared between the parts of the property-list codec; not for use outside it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/plist_codec.h"

namespace bw::plist_internal {

// Containers nested deeper than this are refused by both readers and by the writer, so that
// hostile input cannot exhaust the stack and everything we write can be read back.
constexpr int kMaxDepth = 512;

constexpr size_t kMaxInputBytes = kPlistCodecMaxInputBytes;

bool ReadBinaryPlist(const uint8_t* bytes, size_t length, PlistValue& value);
bool ReadXmlPlist(const uint8_t* bytes, size_t length, PlistValue& value);

}  // namespace bw::plist_internal
