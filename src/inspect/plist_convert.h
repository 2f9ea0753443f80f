// Property-list conversion for people and tools: JSON, XML or binary, read by either codec.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "formats/plist_codec.h"
#include "formats/plist_library.h"

namespace bw::inspect {

enum class PlistOutput { kJson, kXml, kBinary };
enum class PlistReader { kLibrary, kOwn };

// Reads the file with the chosen reader and writes it in the chosen form. On failure `error` says
// what went wrong (without the file name).
bool ConvertPlistFile(const std::string& path, PlistOutput output, PlistReader reader,
                      std::string& converted, std::string& error);

// The same for bytes already in memory (at most the chosen reader's input limit).
bool ConvertPlistBytes(std::string_view bytes, PlistOutput output, PlistReader reader,
                       std::string& converted, std::string& error);

inline constexpr size_t kMaxJsonBytes = size_t{512} << 20;

// Indented JSON, ending in a newline; empty when it would be longer than `limit` bytes.
std::string PlistToJson(const CDicValueObj& tree, size_t limit = kMaxJsonBytes);
std::string PlistToJson(const PlistValue& tree, size_t limit = kMaxJsonBytes);

// The own codec's tree in the plist library's terms, for writing it as XML.
CDicValueObj ToLibraryTree(const PlistValue& tree);

}  // namespace bw::inspect
