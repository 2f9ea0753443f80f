// The media a phone synced from iTunes: songs, a podcast, a music video, a movie and a TV
// episode under iTunes_Control/Music, books, ringtones and voice memos. Small files with the
// headers their formats start with, so the device can tell their kinds from the files alone.
#pragma once

#include <cstdint>
#include <string>

#include "image/image_builder.h"
#include "image_writer.h"

namespace bw::sim {

bool AddMediaLibrary(ImageWriter& writer, const ImageOptions& options);

// An MPEG-4 / QuickTime box: 32-bit big-endian size, four-character type, payload.
std::string Mp4Box(const char* type, const std::string& payload);
std::string BigEndian32(uint32_t value);

}  // namespace bw::sim
