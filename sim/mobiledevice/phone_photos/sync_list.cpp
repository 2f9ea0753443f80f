#include "phone_photos/sync_list.h"

#include <cctype>
#include <set>

#include "common/plist_file.h"

namespace bw::sim::md {
namespace {

bool IsText(plist_t node) {
    return node != nullptr && plist_get_node_type(node) == PLIST_STRING;
}

// A text field that may be missing; false when it is there with another type.
bool OptionalText(plist_t item, const char* key, std::string& out) {
    plist_t node = plist_dict_get_item(item, key);
    if (node == nullptr) return true;
    if (!IsText(node)) return false;
    out = StringValue(node);
    return true;
}

bool ReadAsset(plist_t item, SyncList& list, std::set<std::string>& seen, std::string& error) {
    plist_t uuid = plist_dict_get_item(item, "uuid");
    if (!IsText(uuid)) return (error = "an asset has no text uuid", false);
    SyncListAsset asset;
    asset.id = StringValue(uuid);
    asset.key = NormalisedIdentifier(asset.id);
    if (!IsHexIdentifier(asset.key))
        return (error = "the asset identifier \"" + asset.id + "\" is not 32 hex digits", false);
    if (plist_t date = plist_dict_get_item(item, "modificationDate"); date != nullptr) {
        if (plist_get_node_type(date) != PLIST_UINT)
            return (error = "an asset's modificationDate is no integer", false);
        uint64_t value = 0;
        plist_get_uint_val(date, &value);
        asset.modificationDate = static_cast<int64_t>(value);
    }
    if (!OptionalText(item, "originalFileName", asset.originalFileName))
        return (error = "an asset's originalFileName is no text", false);
    if (seen.insert(asset.key).second) list.assets.push_back(std::move(asset));
    return true;
}

bool ReadAlbum(plist_t item, SyncList& list, std::string& error) {
    SyncListAlbum album;
    std::string uuid;
    if (!OptionalText(item, "albumName", album.name) || !OptionalText(item, "uuid", uuid))
        return (error = "an album's name or uuid is no text", false);
    album.key = NormalisedIdentifier(uuid);
    plist_t members = plist_dict_get_item(item, "assetUUIDs");
    if (members != nullptr) {
        if (plist_get_node_type(members) != PLIST_ARRAY)
            return (error = "an album's assetUUIDs is no array", false);
        for (uint32_t i = 0; i < plist_array_get_size(members); ++i) {
            plist_t member = plist_array_get_item(members, i);
            if (!IsText(member)) return (error = "an album member is no text", false);
            const std::string key = NormalisedIdentifier(StringValue(member));
            if (!IsHexIdentifier(key))
                return (error = "an album member is not 32 hex digits", false);
            album.assetKeys.push_back(key);
        }
    }
    list.albums.push_back(std::move(album));
    return true;
}

}  // namespace

std::string NormalisedIdentifier(const std::string& id) {
    std::string key;
    for (const char c : id)
        if (c != '-') key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

bool IsHexIdentifier(const std::string& key) {
    if (key.size() != 32) return false;
    for (const char c : key)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

bool ParseSyncList(plist_t top, SyncList& list, std::string& error) {
    list = {};
    if (top == nullptr || plist_get_node_type(top) != PLIST_DICT)
        return (error = "the list is no dictionary", false);
    if (StringValue(plist_dict_get_item(top, "libraryKind")) != "Folder")
        return (error = "the list's libraryKind is not \"Folder\"", false);
    plist_t updates = plist_dict_get_item(top, "updates");
    if (updates == nullptr || plist_get_node_type(updates) != PLIST_ARRAY)
        return (error = "the list has no updates array", false);
    std::set<std::string> seen;
    for (uint32_t i = 0; i < plist_array_get_size(updates); ++i) {
        plist_t item = plist_array_get_item(updates, i);
        if (plist_get_node_type(item) != PLIST_DICT)
            return (error = "an update is no dictionary", false);
        const std::string type = StringValue(plist_dict_get_item(item, "itemType"));
        if (type == "Asset") {
            if (!ReadAsset(item, list, seen, error)) return false;
        } else if (type == "Album") {
            if (!ReadAlbum(item, list, error)) return false;
        } else {
            return (error = "an update has the unknown itemType \"" + type + "\"", false);
        }
    }
    return true;
}

}  // namespace bw::sim::md
