// Simulator images for tests, built once per test program and options and copied from then on.
// Hundreds of tests start from the same few images; building one draws and encodes its photos
// and writes its databases, while a copy only moves bytes.
#pragma once

#include <string>

#include "image/image_builder.h"

namespace bw::testing {

// Makes the image of `options` in `folder` (missing or empty), as sim::CreateImage does: the same
// files, links, modes and times. Built images are kept in the build folder's image cache under a
// key of the options, the builder's version and this test program's identity (a rebuilt program
// never takes an image an older builder made). Anything that goes wrong with the cache falls back
// to building.
bool MakeTestImage(const std::string& folder, const sim::ImageOptions& options, std::string& error);

}  // namespace bw::testing
