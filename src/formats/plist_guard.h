// Cheap structural checks run before bytes reach the external plist library, which trusts the
// lengths, offsets and references it reads and recurses once per nesting level.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace bw {

// An unsigned number of `count` bytes (at most 8), most significant first, as binary lists
// store offsets, references and lengths.
uint64_t ReadBigEndian(const unsigned char* bytes, size_t count);

// The first eight bytes are "bplist00".
bool IsBinaryPlist(std::string_view bytes);

// Every object reachable from the top one lies inside the object area with its whole body, every
// reference names an existing object, dictionary keys are strings, containers nest at most
// kPlistMaxNesting deep without cycles, and expanding shared objects stays proportional to the
// input size.
bool BinaryPlistLooksSafe(std::string_view bytes);

// Elements nest at most a couple of levels beyond kPlistMaxNesting (the plist element and the
// leaves), and comments, processing instructions and declarations are closed.
bool XmlPlistLooksSafe(std::string_view text);
// The same walk with another limit on nested containers (the plist element counts as one).
bool XmlPlistNestsAtMost(std::string_view text, int maxDepth);

}  // namespace bw
