// The picture of the phone's home screen, IMAGE/screen.png, that the screenshot service shows.
#pragma once

#include "image/image_builder.h"
#include "image_writer.h"

namespace bw::sim {

// Draws the first home-screen page of the applications already written (wallpaper, status bar,
// icons, dock) at the screen size of the release, and writes it beside fs/.
bool AddHomeScreen(ImageWriter& writer, const ImageOptions& options);

}  // namespace bw::sim
