// The phone's photo library daemon, as far as the simulator needs it: it applies a finished
// photo sync to the image (Photos.sqlite through SQLite, the synced files and their thumbnails),
// and it notices camera-roll files that were deleted behind its back.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "phone_photos/sync_list.h"

namespace bw::sim::md {

class Device;

struct PhotoStoreContext {
    std::string imageFolder;
    int major = 7;              // iOS major version: the schema and the thumbnail caches
    int64_t offsetFromUtc = 0;  // the phone's zone, in which EXIF times are written
};

// The context of an attached device (its "ProductVersion" and "TimeZoneOffsetFromUTC").
PhotoStoreContext PhotoStoreContextOf(const Device& device);

// The assets of the library database, in the compared spelling of their identifiers (32 hex
// digits of ZUUID); false with `error` when the database cannot be read.
bool StoredAssetKeys(const PhotoStoreContext& context, std::set<std::string>& keys,
                     std::string& error);

// Applies the list: the assets of `uploaded` (identifiers as the list spells them) that the
// database lacks are added from "Airlock/Photo/<id>/", synced assets the list no longer names are
// removed with their files and thumbnails, and kind-1550 albums follow the list's albums. The
// upload folders and "Photos/Thumbs/<id>.mthmb" of every id in `consumed` are deleted.
bool ApplySyncList(const PhotoStoreContext& context, const SyncList& list,
                   const std::vector<std::string>& uploaded,
                   const std::vector<std::string>& consumed, std::string& error);

// Drops the camera-roll rows (with join rows and thumbnails) whose files photos.plist says were
// written and which are gone now. Does nothing when none is gone.
bool ReconcileCameraRoll(const PhotoStoreContext& context, std::string& error);

}  // namespace bw::sim::md
