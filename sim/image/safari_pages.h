// Safari's browsing history (/var/mobile/Library/Safari/History.plist) and its saved open tabs
// (/var/mobile/Library/Safari/SuspendState.plist) of an image, as binary property lists.
#pragma once

#include "image/image_builder.h"
#include "image_writer.h"

namespace bw::sim {

inline constexpr char kSafariHistoryPath[] = "/var/mobile/Library/Safari/History.plist";
inline constexpr char kSafariSuspendStatePath[] = "/var/mobile/Library/Safari/SuspendState.plist";

// 48 visited pages (newest first, each with an integer "ID", a title in one of several scripts,
// a visit count and the last visit as decimal seconds since 2001), plus 50 more per `scale` step
// above 1; and 5 open tabs with 1 to 6 back-and-forward pages each, the last one the tab's page.
// iOS 6 and 7 keep daily visit counts beside each page and a scroll point beside each entry;
// iOS 7 marks every tab as private or not.
bool AddSafariPages(ImageWriter& writer, const ImageOptions& options);

}  // namespace bw::sim
