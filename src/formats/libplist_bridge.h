// The one owner of the external plist library's nodes, and the one converter between them and
// the own codec's values, for every place that needs both (the interop tests, the benchmarks).
#pragma once

#include <plist/plist.h>

#include <memory>

#include "formats/plist_codec.h"

namespace bw {

struct LibplistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using LibplistNode = std::unique_ptr<void, LibplistFree>;

// A value without content (the codec's "none") becomes a false boolean, so the tree keeps its
// shape; dates lose their fraction, as the external library keeps whole seconds.
LibplistNode ToLibplist(const PlistValue& value);

// UIDs, null nodes and anything else the codec has no kind for become a value without content.
// The node must already have passed the structural input checks: the walk recurses per level.
PlistValue FromLibplist(plist_t node);

}  // namespace bw
