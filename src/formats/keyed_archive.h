// Keyed archives: property lists that an object archiver wrote as a flat table of objects
// ("$objects") whose members refer to each other by index ({"CF$UID": n}), with the root named
// in "$top". The decoder turns the collections, dates and data of such an archive back into a
// plain property-list value.
#pragma once

#include <cstddef>

#include "formats/plist_library.h"

namespace bw {

// References nested deeper than this decode to nothing: archives of real objects nest a few
// levels, and each level is a frame of the decoder's recursion.
inline constexpr int kKeyedArchiveMaxDepth = 64;
// A decoded value holds at most this many values. Objects may be referred to from many places,
// so an archive of a few hundred objects could otherwise stand for a tree of billions.
inline constexpr size_t kKeyedArchiveMaxValues = size_t{1} << 20;

class CNSArchiverFormatHelper {
  public:
    // The root object of `archive`, decoded; kPlistNone without "$objects" or a "$top" root.
    // Broken references (past the end, a class that is not a reference, a reference back to an
    // object being decoded, nesting or size past the limits) decode to nothing in their place,
    // so a damaged archive gives the part that could be read.
    static CDicValueObj Decode(const CDicValueObj& archive);
};

}  // namespace bw
