// Shared between the parts of the property-list library layer; not for use outside it.
#pragma once

#include <string>
#include <string_view>

#include "formats/plist_library.h"

namespace bw::plist_library_internal {

// Text as the tree holds it: cut at the first NUL and with invalid UTF-8 replaced by U+FFFD.
std::string CleanText(std::string_view text);

// The writers of the library layer, without the external library. Both leave out entries that
// hold nothing, let a repeated key keep its first place and take its last value, and give false
// (with `out` empty) when the root holds nothing. The caller has checked the tree against the
// nesting and size limits.
bool WriteBinaryList(const CDicValueObj& tree, std::string& out);
bool WriteXmlList(const CDicValueObj& tree, std::string& out);

}  // namespace bw::plist_library_internal
