// Safari's cookie file in the home domain: the cookies of several sites, one page each.
#pragma once

#include "image/image_builder.h"
#include "image_writer.h"

namespace bw::sim {

inline constexpr char kSafariCookiesPath[] = "/var/mobile/Library/Cookies/Cookies.binarycookies";

// Session cookies (no expiry) and lasting ones, names and values outside ASCII among them.
bool AddSafariCookies(ImageWriter& writer, const ImageOptions& options);

}  // namespace bw::sim
