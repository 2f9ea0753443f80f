#include "photo/photo_fields.h"

#include "device/app_info.h"
#include "photo/photo.h"
#include "photo/photo_album.h"

namespace bw {

size_t PhotoTextField(IPhoto* photo, int32_t field, BwChar* buffer) {
    auto* object = dynamic_cast<CPhoto*>(photo);
    if (object == nullptr) return 0;
    switch (field) {
        case BW_PHOTO_FILE_NAME:
            return CopyTwoCallText(object->fileName, buffer);
        case BW_PHOTO_DIRECTORY:
            return CopyTwoCallText(object->directory, buffer);
        case BW_PHOTO_UUID:
            return CopyTwoCallText(object->uuid, buffer);
        case BW_PHOTO_TITLE:
            return CopyTwoCallText(object->title, buffer);
        case BW_PHOTO_ALBUM_NAME:
            return CopyTwoCallText(object->albumName, buffer);
        default:
            return 0;
    }
}

size_t AlbumTextField(IPhotoAlbum* album, int32_t field, BwChar* buffer) {
    auto* object = dynamic_cast<CPhotoAlbum*>(album);
    if (object == nullptr) return 0;
    switch (field) {
        case BW_ALBUM_TITLE:
            return CopyTwoCallText(object->title, buffer);
        case BW_ALBUM_UUID:
            return CopyTwoCallText(object->uuid, buffer);
        default:
            return 0;
    }
}

int32_t PhotoNumberField(IPhoto* photo, int32_t field) {
    auto* object = dynamic_cast<CPhoto*>(photo);
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

}  // namespace bw
