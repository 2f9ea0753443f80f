// Exported photo manager and the text and number fields of photos and albums. Nothing is thrown
// across the export.
#include "brackwater/photo.h"
#include "device/connect_listener.h"
#include "photo/photo_fields.h"
#include "photo/photo_manager.h"

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
    try {
        return bw::PhotoTextField(photo, field, buffer);
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API size_t BrackwaterPhotoAlbumText(IPhotoAlbum* album, int32_t field, BwChar* buffer) {
    try {
        return bw::AlbumTextField(album, field, buffer);
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API int32_t BrackwaterPhotoNumber(IPhoto* photo, int32_t field) {
    return bw::PhotoNumberField(photo, field);
}

}  // extern "C"
