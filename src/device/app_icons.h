// Application icons and the home-screen icon layout, from the springboard service, and the
// artwork file inside an application's container.
#pragma once

#include <string>
#include <vector>

#include "device/iphone.h"
#include "formats/plist_library.h"

namespace bw {

inline constexpr char kSpringboardService[] = "com.apple.springboardservices";
inline constexpr char kAppArtworkPath[] = "/iTunesArtwork";

// One application on the home screen (folders are flattened into their applications).
struct IconLayoutEntry {
    std::string displayName;
    std::string bundleIdentifier;
};

// Starts a session and the springboard service into the device's `serviceConnection`; the
// caller ends with CloseSession. On failure nothing stays open.
bool OpenSpringboardServices(CIPhone& phone);
// One icon exchange on `serviceConnection`; `png` is empty when the device has no icon.
bool GetIconPngData(CIPhone& phone, const std::string& bundleIdentifier, std::string& png);
// The icon layout in the order of pages and positions, through `serviceConnection`.
bool GetIconState(CIPhone& phone, std::vector<IconLayoutEntry>& entries);
// The icon layout of one reply (an array of pages, each an array of items).
std::vector<IconLayoutEntry> ParseIconState(const CDicValueObj& reply);
// "/iTunesArtwork" of the container opened by OpenAppContainer; false and empty when missing.
bool ReadAppArtwork(CIPhone& phone, std::string& bytes);

// Artwork files larger than this are not read: real ones are a few hundred kilobytes.
inline constexpr uint64_t kMaxArtworkBytes = 32u << 20;

}  // namespace bw
