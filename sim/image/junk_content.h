// Junk for the scanners: crash logs, download leftovers, thumbnails, general storage and the radio
// database, multiplied by the scale.
#pragma once

#include "image/image_builder.h"
#include "image_writer.h"

namespace bw::sim {

bool AddJunk(ImageWriter& writer, const ImageOptions& options);

}  // namespace bw::sim
