// Data of applications the user removed from the phone that its backups still carry: a phone's
// backup service keeps such containers, and a backup lists them under "AppDomain-<id>" with no
// application installed. The image keeps them outside fs/ (no service of the phone serves them),
// in IMAGE/removed-apps/<bundle id>/, each laid out as a container's sandbox (Documents/,
// Library/...). Only the backup tool stand-in reads that folder.
#pragma once

#include <string>
#include <vector>

#include "image/image_builder.h"
#include "image_writer.h"

namespace bw::sim {

inline constexpr char kRemovedAppsFolder[] = "removed-apps";

// The bundle identifiers, fixed: an App Store application, an Apple one ("com.apple.podcasts"),
// and "com.CoinWise.Ledger", which differs from the installed "com.coinwise.ledger" only in
// letter case.
const std::vector<std::string>& RemovedAppIds();

// `writer` writes below IMAGE/removed-apps (its device paths are "/<bundle id>/...").
bool WriteRemovedApps(ImageWriter& writer, const ImageOptions& options);

}  // namespace bw::sim
