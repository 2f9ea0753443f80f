// The text and number fields of photos and albums that hosts read through the exports
// (BW_PHOTO_..., BW_ALBUM_...). Photos and albums not made by this library answer 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "brackwater/photo.h"

namespace bw {

// Two-call text: the UTF-16 length plus 2; with a buffer the text and its zero are copied.
size_t PhotoTextField(IPhoto* photo, int32_t field, BwChar* buffer);
size_t AlbumTextField(IPhotoAlbum* album, int32_t field, BwChar* buffer);
int32_t PhotoNumberField(IPhoto* photo, int32_t field);

}  // namespace bw
