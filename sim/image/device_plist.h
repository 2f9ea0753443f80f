// Reading and writing an image's device.plist.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/plist_tree.h"

namespace bw::sim {

inline constexpr char kDevicePlistName[] = "device.plist";

// The top-level dictionary of folder/device.plist (XML or binary); empty with `error` when the
// file is missing, too large, or not a dictionary.
PlistTree ReadDevicePlist(const std::string& folder, std::string& error);

// Writes the tree as XML through a temporary file renamed over device.plist, so that a reader
// never sees half a file. With a time, the file gets it as its modification time.
bool WriteDevicePlist(const std::string& folder, plist_t tree, std::optional<int64_t> time,
                      std::string& error);

}  // namespace bw::sim
