// Thumbnails of the photo subsystem: the display thumbnail a photo shows when the device has none
// in its cache, and the upload thumbnail file ("Airlock_photo") that accompanies each picture the
// photo sync adds to a device.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bw {

// The standard display box.
inline constexpr int kThumbnailBox = 98;

// A display thumbnail of `pictureBytes` (any picture format the imaging layer decodes): a JPEG of
// exactly `boxWidth` x `boxHeight` pixels, cleared white, with the picture fitted inside and its
// proportions kept. False (and `jpeg` empty) when the bytes do not decode or the box is not
// between 1 and 4096 pixels on each side.
bool MakeDisplayThumbnail(std::string_view pictureBytes, int boxWidth, int boxHeight,
                          std::string& jpeg);

class CAbstractPhotoThmb {
  public:
    virtual ~CAbstractPhotoThmb() = default;
    // Builds the thumbnail file and returns its local path; empty on failure.
    virtual std::string BuildThumbnailFile() = 0;
};

// Builds "Airlock_photo": the picture's own bytes followed by five RGB555 renditions of it, an
// index and a trailer (all integers 32-bit big-endian).
class CPhotoUsuallyAirlock : public CAbstractPhotoThmb {
  public:
    // `productType` is the device's "ProductType" (an iPad when it contains "ipad", any case).
    CPhotoUsuallyAirlock(std::string sourcePath, std::string workingFolder,
                         std::string_view productType);

    std::string BuildThumbnailFile() override;

    // Set by the sync that creates the builder; a build with either left at 0 fails.
    uint32_t trailerValue = 0;
    uint32_t setting = 0;

    bool isPad() const { return isPad_; }

  private:
    std::string sourcePath_;
    std::string workingFolder_;
    std::string pictureBytes_;
    uint32_t runningOffset_ = 0;
    bool isPad_ = false;
};

}  // namespace bw
