// The installed applications: bundles under /Applications and /var/mobile/Applications, their
// containers, icons and the icon layout.
#pragma once

#include "image/image_builder.h"
#include "image_writer.h"

namespace bw::sim {

bool AddApplications(ImageWriter& writer, const ImageOptions& options);

}  // namespace bw::sim
