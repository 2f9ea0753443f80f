// Camera-roll photos: small JPEGs drawn from the seed and encoded with libvips, with the EXIF
// fields a phone writes (maker, model, software, time taken).
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
};

// The JPEG bytes of one photo; false with `error` when libvips fails.
bool EncodePhoto(const PhotoSpec& spec, std::string& jpeg, std::string& error);

// "YYYY:MM:DD HH:MM:SS" of a Unix time shifted by a zone offset, as EXIF writes dates.
std::string ExifDateTime(int64_t unixTime, int64_t offsetFromUtc);

// The photos of DCIM/100APPLE, dated in the days before the image's time.
bool AddCameraRoll(ImageWriter& writer, const ImageOptions& options);

// The libvips version text (it decides the JPEG bytes).
std::string PhotoEncoderVersion();

}  // namespace bw::sim
