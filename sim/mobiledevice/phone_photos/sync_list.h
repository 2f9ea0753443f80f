// The list a sync host uploads to "Photos/Sync/PhotoLibrary.plist": the synced photo library as
// the computer wants it on the phone. The phone compares identifiers in one spelling (dashes
// removed, upper case); an asset keeps the spelling the list gave, which is its identifier on
// the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/plist_tree.h"

namespace bw::sim::md {

// The album of the loose synced photos; it stands for no album of the database.
inline constexpr char kLoosePhotosAlbum[] = "00000000000000000000000000000064";

struct SyncListAsset {
    std::string id;                           // as the list spells it
    std::string key;                          // 32 upper-case hex digits
    std::optional<int64_t> modificationDate;  // seconds since 1904-01-01
    std::string originalFileName;             // "" when the list gives none
};

struct SyncListAlbum {
    std::string name;
    std::string key;  // the uuid in the compared spelling (32 hex digits or anything else)
    std::vector<std::string> assetKeys;
};

struct SyncList {
    std::vector<SyncListAsset> assets;  // list order, each key once
    std::vector<SyncListAlbum> albums;  // list order, "My Pictures" included
};

// The compared spelling of an identifier: dashes removed, upper case.
std::string NormalisedIdentifier(const std::string& id);

// Whether a compared identifier is 32 hex digits.
bool IsHexIdentifier(const std::string& key);

// The largest list the phone reads.
inline constexpr size_t kLargestSyncList = size_t{32} << 20;

// Reads the tree of the list; false with a sentence in `error` when it is no such list: the top
// is no dictionary of kind "Folder", "updates" is no array of dictionaries, an item is of no
// known type, a field has the wrong type, or an asset identifier is not 32 hex digits (the phone
// makes folder names of them).
bool ParseSyncList(plist_t top, SyncList& list, std::string& error);

}  // namespace bw::sim::md
