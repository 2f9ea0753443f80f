// Structural checks on property-list bytes before libplist parses them. libplist 2.2 trusts the
// offsets, references and lengths of a binary list, recurses once per nesting level when it
// parses, converts and frees a tree, expands a container that is referenced many times into as
// many copies, and aborts the process on a dictionary key with a zero character. These checks
// refuse such inputs; they never accept bytes that a well-formed list could not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/plist_tree.h"

namespace bw::sim {

// Containers nested deeper than this are refused, when read and when converted; real lists nest
// a dozen levels at most.
inline constexpr int kMaxPlistNesting = 128;

// Larger inputs are refused: libplist counts lengths in 32 bits and needs several times the input
// while it parses. The largest list the simulator meets (a scaled image's device.plist or icon
// state) stays far below.
inline constexpr size_t kMaxPlistInputBytes = size_t{128} << 20;

// Starts with "bplist00": libplist reads such bytes as a binary list, anything else as XML.
bool LooksLikeBinaryPlist(std::string_view bytes);

// The trailer and offset table lie inside the input; every object reachable from the top object
// has a known marker and lies, with its body and references, between the header and the offset
// table; references name existing objects; dictionary keys are strings without zero characters;
// containers nest at most kMaxPlistNesting deep (so a cycle is refused); and expanding shared
// objects the way libplist does stays within a small multiple of the input size.
bool BinaryPlistInputIsSafe(std::string_view bytes);

// Elements nest at most kMaxPlistNesting containers deep (plus the plist element and a leaf), as
// an XML parser sees the markup: comments, CDATA sections, processing instructions and the
// document type declaration are skipped whole and must be closed; quotes count only around
// attribute values inside tags; no zero byte appears, and every '&' in text starts a predefined
// entity or a character reference to anything but zero.
bool XmlPlistInputIsSafe(std::string_view bytes);

// Either check, chosen by the header, and the size limit.
bool PlistInputIsSafe(std::string_view bytes);

// The tree libplist reads from checked bytes; null when the checks refuse them or libplist cannot
// read them.
PlistTree ParseCheckedPlist(std::string_view bytes);

}  // namespace bw::sim
