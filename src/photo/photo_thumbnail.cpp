#include "photo/photo_thumbnail.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "platform/files.h"
#include "platform/image.h"
#include "platform/text.h"

namespace bw {

namespace {

constexpr int kMaxDisplayBox = 4096;
constexpr int kDisplayJpegQuality = 90;
constexpr uint32_t kWhite = 0xFFFFFF;

// Every offset and length in "Airlock_photo" is 32-bit; a source picture larger than this could
// not be described (and is far beyond any photo a phone shows).
constexpr uint64_t kMaxSourceBytes = uint64_t{1} << 30;

constexpr std::string_view kAirlockName = "Airlock_photo";
constexpr uint32_t kPictureCode = 4035;
constexpr uint32_t kSmallestRenditionCode = 4032;
constexpr uint32_t kSmallestRenditionStatedLength = 2048;
constexpr size_t kIndexAndTrailerBytes = 124;

struct Rendition {
    uint32_t code;
    int width;
    int height;
    bool padded;  // white canvas, picture in (0, 0, width - 9, height - 8)
    std::string_view jpegName;
};

// In the order of the data area and the index. The JPEG names are not the codes' names: the
// device never sees them, they are what the renditions were saved as while they were made.
constexpr std::array<Rendition, 5> kRenditions = {{
    {3041, 79, 78, false, "3141_80X80.jpg"},
    {3141, 159, 158, true, "4040_158X158.jpg"},
    {4040, 169, 168, true, "4031_168X168.jpg"},
    {4031, 120, 120, false, "4032_120X120.jpg"},
    {4032, 32, 32, false, "4032_32X32.jpg"},
}};

// Above this side the square is first brought down once, so that the five renditions scale a
// small picture instead of the full photo five times. Twice the largest rendition leaves the
// high-quality scaler of each rendition room to work with; more only costs time (the scaling of
// a camera photo is most of a build).
constexpr int kRenditionSourceSide = 2 * 169;

void PutBigEndian(std::string& out, uint32_t value) {
    out.push_back(static_cast<char>(value >> 24));
    out.push_back(static_cast<char>(value >> 16));
    out.push_back(static_cast<char>(value >> 8));
    out.push_back(static_cast<char>(value));
}

// Writes a file of the working folder as a whole, never through a link planted under its name:
// a link there (dangling or not) is removed, not followed, and the new file is renamed into
// place. These files only feed the upload that follows, so they are not flushed to the disk.
bool WriteWorkingFile(const std::string& path, std::string_view bytes) {
    if (!platform::IsPlainFile(path)) platform::RemoveFile(path);
    return platform::WriteFileAtomic(path, bytes, platform::Flush::kWorkingCopy);
}

// The source decoded for the renditions. A camera photo is decoded straight at a reduced size
// (a JPEG decodes at 1/2, 1/4 or 1/8 for a fraction of the time) with its shorter side still
// kRenditionSourceSide or more; scaling before the centred crop instead of after moves the crop
// by at most a pixel of the reduced picture.
platform::Picture DecodeForRenditions(std::string_view pictureBytes) {
    int width = 0;
    int height = 0;
    if (platform::ReadPictureHeader(pictureBytes, width, height) &&
        std::min(width, height) > 2 * kRenditionSourceSide) {
        const double scale = static_cast<double>(kRenditionSourceSide) / std::min(width, height);
        platform::Picture reduced =
            platform::LoadPictureFitted(pictureBytes, static_cast<int>(std::ceil(width * scale)),
                                        static_cast<int>(std::ceil(height * scale)));
        if (!reduced.empty()) return reduced;
    }
    return platform::LoadPictureMemory(pictureBytes);
}

// The picture every rendition is drawn from: the source's largest centred square (the crop is
// centred so the subject of a photo, usually in its middle, stays in the thumbnail). A source
// that is missing or is not a picture gives a white square, so the renditions are white and the
// device shows a blank thumbnail rather than stale or random pixels.
platform::Picture RenditionSource(std::string_view pictureBytes) {
    platform::Picture square = platform::SquareCrop(DecodeForRenditions(pictureBytes));
    if (square.empty()) return platform::Picture::FromRgb(1, 1, std::string(3, '\xFF'));
    if (square.width() > kRenditionSourceSide) {
        platform::Picture smaller =
            platform::DrawIntoBox(square, kRenditionSourceSide, kRenditionSourceSide,
                                  kRenditionSourceSide, kRenditionSourceSide, false, kWhite);
        if (!smaller.empty()) return smaller;
    }
    return square;
}

}  // namespace

bool MakeDisplayThumbnail(std::string_view pictureBytes, int boxWidth, int boxHeight,
                          std::string& jpeg) {
    jpeg.clear();
    if (boxWidth < 1 || boxHeight < 1 || boxWidth > kMaxDisplayBox || boxHeight > kMaxDisplayBox)
        return false;
    const platform::Picture fitted = platform::LoadPictureFitted(pictureBytes, boxWidth, boxHeight);
    if (fitted.empty()) return false;
    const platform::Picture boxed =
        platform::DrawIntoBox(fitted, boxWidth, boxHeight, boxWidth, boxHeight, true, kWhite);
    jpeg = platform::EncodeJpeg(boxed, kDisplayJpegQuality);
    return !jpeg.empty();
}

CPhotoUsuallyAirlock::CPhotoUsuallyAirlock(std::string sourcePath, std::string workingFolder,
                                           std::string_view productType)
    : sourcePath_(std::move(sourcePath)),
      workingFolder_(std::move(workingFolder)),
      isPad_(AsciiLower(productType).find("ipad") != std::string::npos) {}

std::string CPhotoUsuallyAirlock::BuildThumbnailFile() {
    if (sourcePath_.empty() || trailerValue == 0 || setting == 0) return {};

    pictureBytes_.clear();
    if (platform::PathExists(sourcePath_) &&
        !platform::ReadWholeFile(sourcePath_, pictureBytes_, kMaxSourceBytes))
        return {};
    runningOffset_ = static_cast<uint32_t>(pictureBytes_.size());

    const platform::Picture source = RenditionSource(pictureBytes_);
    std::array<std::string, kRenditions.size()> renditions;
    for (size_t i = 0; i < kRenditions.size(); ++i) {
        const Rendition& r = kRenditions[i];
        const platform::Picture drawn =
            platform::DrawIntoBox(source, r.width, r.height, r.padded ? r.width - 9 : r.width,
                                  r.padded ? r.height - 8 : r.height, false, kWhite);
        // The JPEG copies are a by-product for whoever inspects the working folder; the file
        // the device reads does not depend on them, so a failed save does not stop the build.
        const std::string jpeg = platform::EncodeJpeg(drawn);
        if (!jpeg.empty()) WriteWorkingFile(platform::JoinPath(workingFolder_, r.jpegName), jpeg);
        renditions[i] = platform::Rgb555Rows(drawn);
    }

    std::string file = pictureBytes_;
    for (const std::string& rendition : renditions)
        file += rendition;
    const size_t dataLength = file.size();
    if (dataLength + kIndexAndTrailerBytes > std::numeric_limits<uint32_t>::max()) return {};

    PutBigEndian(file, kPictureCode);
    PutBigEndian(file, 0);
    PutBigEndian(file, runningOffset_);
    for (size_t i = 0; i < kRenditions.size(); ++i) {
        const auto length = static_cast<uint32_t>(renditions[i].size());
        PutBigEndian(file, kRenditions[i].code);
        PutBigEndian(file, runningOffset_);
        PutBigEndian(file, kRenditions[i].code == kSmallestRenditionCode
                               ? kSmallestRenditionStatedLength
                               : length);
        runningOffset_ += length;
    }

    PutBigEndian(file, 0);
    PutBigEndian(file, 32);
    PutBigEndian(file, 0);
    PutBigEndian(file, 6);   // index records
    PutBigEndian(file, 12);  // bytes per record
    PutBigEndian(file, static_cast<uint32_t>(dataLength));
    // Twelve bytes of which the first five are always zero; the last seven are ours to choose.
    // Zeros: a constant carries nothing of this host or this build into the device's files.
    file.append(12, '\0');
    PutBigEndian(file, trailerValue);
    PutBigEndian(file, static_cast<uint32_t>(dataLength + kIndexAndTrailerBytes));
    PutBigEndian(file, 2);
    file += "imth";

    const std::string path = platform::JoinPath(workingFolder_, kAirlockName);
    if (!WriteWorkingFile(path, file)) return {};
    return path;
}

}  // namespace bw
