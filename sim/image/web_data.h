// The browser's web data of an image: offline application caches (iOS 5 and 6,
// /var/mobile/Library/Caches/com.apple.WebAppCache/ApplicationCache.db), local storage (iOS 7,
// /var/mobile/Library/WebKit/LocalStorage: the tracker and one database per origin), and the web
// databases of two mail sites with the browser's database index that names them
// (/var/mobile/Library/WebKit/Databases/Databases.db, each site's database in a folder named after
// its origin).
#pragma once

#include "image/image_builder.h"
#include "image_writer.h"

namespace bw::sim {

inline constexpr char kAppCachePath[] =
    "/var/mobile/Library/Caches/com.apple.WebAppCache/ApplicationCache.db";
inline constexpr char kLocalStorageFolder[] = "/var/mobile/Library/WebKit/LocalStorage";
inline constexpr char kWebDatabasesFolder[] = "/var/mobile/Library/WebKit/Databases";

// iOS 5 and 6: 4 cache groups, one cache each, 15 resources with the manifests (one kept in a
// file), and an origin left without a group. iOS 7: 3 origins in the tracker with 11 key/value
// pairs. Every version: an index of 4 web databases, of which the first mail site's has 6 messages
// and the second's 5.
bool AddWebData(ImageWriter& writer, const ImageOptions& options);

}  // namespace bw::sim
