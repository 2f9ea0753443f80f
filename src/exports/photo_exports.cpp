// Exported photo manager and the text and number fields of photos and albums. Nothing is thrown
// across the export.
#include <string>
#include <vector>

#include "brackwater/photo.h"
#include "device/connect_listener.h"
#include "exports/host_text.h"
#include "photo/photo_fields.h"
#include "photo/photo_manager.h"
#include "photo/photo_sync.h"

// The host reads the outcome as these numbers.
static_assert(static_cast<int32_t>(bw::SyncOutcome::kNone) == BW_PHOTO_SYNC_NONE);
static_assert(static_cast<int32_t>(bw::SyncOutcome::kDone) == BW_PHOTO_SYNC_DONE);
static_assert(static_cast<int32_t>(bw::SyncOutcome::kRefused) == BW_PHOTO_SYNC_REFUSED);
static_assert(static_cast<int32_t>(bw::SyncOutcome::kTimedOut) == BW_PHOTO_SYNC_TIMED_OUT);
static_assert(static_cast<int32_t>(bw::SyncOutcome::kDeviceLeft) == BW_PHOTO_SYNC_DEVICE_LEFT);
static_assert(static_cast<int32_t>(bw::SyncOutcome::kStartFailed) == BW_PHOTO_SYNC_START_FAILED);

extern "C" {

BRACKWATER_API IPhotoManager* NewPhotoManager(CIPhone* device) {
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr) return nullptr;
        return new bw::CPhotoManager(phone);
    } catch (...) {
        return nullptr;
    }
}

BRACKWATER_API void DeletePhotoManager(IPhotoManager* manager) {
    delete manager;
}

BRACKWATER_API size_t BrackwaterPhotoText(IPhoto* photo, int32_t field, BwChar* buffer) {
    bw::exports::ClearLastError();
    try {
        return bw::PhotoTextField(photo, field, buffer);
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API size_t BrackwaterPhotoAlbumText(IPhotoAlbum* album, int32_t field, BwChar* buffer) {
    bw::exports::ClearLastError();
    try {
        return bw::AlbumTextField(album, field, buffer);
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API int32_t BrackwaterPhotoNumber(IPhoto* photo, int32_t field) {
    bw::exports::ClearLastError();
    return bw::PhotoNumberField(photo, field);
}

BRACKWATER_API int32_t BrackwaterPhotoSyncResult(IPhotoManager* manager) {
    bw::exports::ClearLastError();
    auto* object = dynamic_cast<bw::CPhotoManager*>(manager);
    return object != nullptr ? object->lastSyncResult() : BW_PHOTO_SYNC_NONE;
}

BRACKWATER_API int32_t BrackwaterPhotoAddToAlbum(IPhotoManager* manager, const BwChar* const* paths,
                                                 int32_t count, const BwChar* album) {
    using bw::exports::Fail;
    bw::exports::ClearLastError();
    try {
        auto* object = dynamic_cast<bw::CPhotoManager*>(manager);
        if (object == nullptr) return Fail("unknown photo manager");
        // Every name is checked before the sync starts, so a bad one changes nothing on the device.
        std::vector<std::string> files;
        for (int32_t i = 0; paths != nullptr && i < count; ++i) {
            if (paths[i] == nullptr) continue;
            if (!bw::exports::HostTextToUtf8(paths[i], files.emplace_back())) {
                return Fail("path " + std::to_string(i + 1) + " is not valid UTF-16");
            }
        }
        std::string albumName;
        if (album != nullptr && !bw::exports::HostTextToUtf8(album, albumName)) {
            return Fail("the album name is not valid UTF-16");
        }
        std::vector<const char*> pointers;
        for (const std::string& file : files)
            pointers.push_back(file.c_str());
        return object->AddPhotosToAlbum(pointers.data(), static_cast<int32_t>(pointers.size()),
                                        albumName.empty() ? bw::kPhotoLibraryAlbumName : albumName);
    } catch (...) {
        return Fail("out of memory");
    }
}

BRACKWATER_API void BrackwaterPhotoSetSyncProgress(IPhotoManager* manager,
                                                   BwPhotoSyncProgress callback, void* context) {
    bw::exports::ClearLastError();
    if (auto* object = dynamic_cast<bw::CPhotoManager*>(manager))
        object->SetSyncProgress(callback, context);
}

}  // extern "C"
