// What a privacy scan found, as one tree of items for every type: a contact's calls, a site's
// cookies, an origin's entries. The privacy commands print the tree as a table or as JSON lines,
// and apply --keep and --only to it before a clean.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "brackwater/scan.h"

namespace cli {

struct FoundItem {
    // What --keep and --only match; an item is also matched by the names of the items above it.
    std::vector<std::string> names;
    std::function<bool()> selected;
    // Empty for an item shown only for information (a push store's notifications): it goes or
    // stays with the item above it.
    std::function<void(bool)> select;
    // The table line without its verb; an empty line prints nothing, and the items under it are
    // not indented.
    std::string line;
    // The JSON object's fields after "type" (",\"id\":..."); empty: no object of its own.
    std::string json;
    std::vector<FoundItem> children;
};

// The items of the session's results for a privacy type after a scan.
std::vector<FoundItem> FoundItems(IScanDevice* session, int type);

// What --keep and --only ask for. An item is kept when a --keep glob matches one of its names,
// or when there are --only globs and none matches.
struct Choice {
    std::vector<std::string> keep;
    std::vector<std::string> only;
    bool Keeps(const std::vector<std::string>& names) const;
};

// Selects what the choice does not keep. An item with items under it that can be chosen goes
// whole only when every one of them goes; otherwise only those do.
void Choose(std::vector<FoundItem>& items, const Choice& choice);

// Takes the selection as it stands into the items, which then no longer reach their records:
// a clean may free records (the cookie file's removed pages), and what it removed is what was
// selected when it began.
void Freeze(std::vector<FoundItem>& items);

// Prints the items (all, or with `removed` only those selected, under their headers) as table
// lines or, with `json`, one object per item that has one, each with "type" `typeName`. The
// number of objects that were (or would have been) printed as JSON.
size_t PrintItems(const std::vector<FoundItem>& items, const char* typeName, bool removed,
                  bool json);

}  // namespace cli
