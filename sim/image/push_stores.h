// SpringBoard's record of the applications that ran recently (com.apple.springboard.plist) and
// the notifications it keeps for some applications (one keyed archive per application in
// Library/SpringBoard/PushStore).
#pragma once

#include "image/image_builder.h"
#include "image_writer.h"

namespace bw::sim {

bool AddSpringboardRecords(ImageWriter& writer, const ImageOptions& options);

}  // namespace bw::sim
