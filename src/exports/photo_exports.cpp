// Exported photo manager and the text and number fields of photos and albums. Nothing is thrown
// across the export.
#include <string>

#include "brackwater/photo.h"
#include "device/app_info.h"
#include "device/connect_listener.h"
#include "photo/photo.h"
#include "photo/photo_album.h"
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
        auto* object = dynamic_cast<bw::CPhoto*>(photo);
        if (object == nullptr) return 0;
        switch (field) {
            case BW_PHOTO_FILE_NAME:
                return bw::CopyTwoCallText(object->fileName, buffer);
            case BW_PHOTO_DIRECTORY:
                return bw::CopyTwoCallText(object->directory, buffer);
            case BW_PHOTO_UUID:
                return bw::CopyTwoCallText(object->uuid, buffer);
            case BW_PHOTO_TITLE:
                return bw::CopyTwoCallText(object->title, buffer);
            case BW_PHOTO_ALBUM_NAME:
                return bw::CopyTwoCallText(object->albumName, buffer);
            default:
                return 0;
        }
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API size_t BrackwaterPhotoAlbumText(IPhotoAlbum* album, int32_t field, BwChar* buffer) {
    try {
        auto* object = dynamic_cast<bw::CPhotoAlbum*>(album);
        if (object == nullptr) return 0;
        switch (field) {
            case BW_ALBUM_TITLE:
                return bw::CopyTwoCallText(object->title, buffer);
            case BW_ALBUM_UUID:
                return bw::CopyTwoCallText(object->uuid, buffer);
            default:
                return 0;
        }
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API int32_t BrackwaterPhotoNumber(IPhoto* photo, int32_t field) {
    auto* object = dynamic_cast<bw::CPhoto*>(photo);
    if (object == nullptr) return 0;
    switch (field) {
        case BW_PHOTO_ORIENTATION:
            return object->orientation;
        case BW_PHOTO_IS_VIDEO:
            return object->videoFlag;
        case BW_PHOTO_ALBUM_TYPE:
            return object->albumType;
        case BW_PHOTO_KIND_SUBTYPE:
            return object->kindSubtype;
        default:
            return 0;
    }
}

}  // extern "C"
