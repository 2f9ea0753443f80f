// The pictures of the photo library: small JPEGs drawn from the seed and encoded with libvips,
// with the EXIF fields a phone writes (maker, model, software, time taken, orientation), PNG
// screenshots and the 98 x 98 thumbnails of the phone's caches.
#pragma once

#include <cstdint>
#include <string>

#include "image_writer.h"

namespace bw::sim {

struct PhotoSpec {
    int width = 640;
    int height = 480;
    uint64_t seed = 1;
    int index = 0;           // which photo of the seed: each one looks different
    std::string model;       // EXIF "Model"
    std::string software;    // EXIF "Software": the iOS version
    std::string takenLocal;  // EXIF "DateTimeOriginal", "YYYY:MM:DD HH:MM:SS"
    int orientation = 1;     // EXIF "Orientation": how the stored pixels are turned for viewing
};

// The side of the square thumbnails the phone keeps in its caches.
inline constexpr int kThumbnailSide = 98;

// The JPEG bytes of one photo; false with `error` when libvips fails.
bool EncodePhoto(const PhotoSpec& spec, std::string& jpeg, std::string& error);

// The file of one picture from one drawing: a JPEG with EXIF, or for a screenshot a PNG (the
// phone writes no EXIF into screenshots); with `thumbnail`, also its thumbnail (below).
bool EncodePicture(const PhotoSpec& spec, bool screenshot, std::string& bytes,
                   std::string* thumbnail, std::string& error);

// A kThumbnailSide-square JPEG of the photo as it is viewed (turned by its orientation), fitted
// inside the square with white around it.
bool EncodeThumbnail(const PhotoSpec& spec, std::string& jpeg, std::string& error);

// "YYYY:MM:DD HH:MM:SS" of a Unix time shifted by a zone offset, as EXIF writes dates.
std::string ExifDateTime(int64_t unixTime, int64_t offsetFromUtc);

// The libvips version text (it decides the JPEG bytes).
std::string PhotoEncoderVersion();

}  // namespace bw::sim
