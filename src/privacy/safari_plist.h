// What the two Safari property-list scanners (history, saved tabs) share: reading the working
// copy, writing it back as a binary list, and the date text of a time counted from 2001.
#pragma once

#include <string>

#include "formats/plist_library.h"

namespace bw {

// Parses the file into `tree`; false (and `tree` left as nothing) when the file is missing,
// empty, larger than a property list may be, or not a property list.
bool ReadSafariPlist(const std::string& path, CDicValueObj& tree);

// Replaces the file with the binary form of `tree`. When the tree cannot be serialised the old
// file stays: an unreadable working copy would be written back into the backup.
bool WriteSafariPlist(const std::string& path, const CDicValueObj& tree);

// "%Y-%m-%d %H:%M:%S" of 2001-01-01 00:00:00 local time plus `seconds`; empty for a time that is
// not positive or lies past the year 9999.
std::u16string SafariDateText(double seconds);

}  // namespace bw
