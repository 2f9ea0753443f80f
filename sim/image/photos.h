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

// What a phone reads from a picture it is given: the stored pixel size, the EXIF orientation
// (1 when there is none) and the EXIF time taken ("YYYY:MM:DD HH:MM:SS" local time, empty when
// the picture has none).
struct PictureInfo {
    int width = 0;
    int height = 0;
    int orientation = 1;
    std::string takenLocal;
};

// Reads the header of a JPEG or PNG in memory; false with `error` when libvips cannot.
bool ReadPictureInfo(const std::string& bytes, PictureInfo& info, std::string& error);

// The cache thumbnail of a picture in memory, as EncodeThumbnail makes it for a drawing: turned
// upright by `orientation`, fitted inside the kThumbnailSide square, white around.
bool EncodePictureThumbnail(const std::string& bytes, int orientation, std::string& jpeg,
                            std::string& error);

}  // namespace bw::sim
