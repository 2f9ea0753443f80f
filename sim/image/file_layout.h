// The fs/ tree of an image, described by tables: the folders of iOS 5 to 7, the content steps
// that fill them, and the links. New content is a row or a step added here.
#pragma once

#include <string>

#include "image/image_builder.h"
#include "image_writer.h"

namespace bw::sim {

bool WriteFileSystem(ImageWriter& writer, const ImageOptions& options);

// The folder and link tables as text, so that BuilderVersion changes with them.
std::string LayoutFingerprint();

}  // namespace bw::sim
