// CPhotoAlbum: an album of the device library, its photo list and the still and video filters.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>
#include <vector>

#include "brackwater/photo.h"
#include "photo/photo.h"

namespace bw {

// Ownership: photos are shared objects. An album holds a shared reference to every library photo
// (CPhoto) that was ever in its list, until the album is destroyed, so a photo stays alive while
// any album that listed it lives: the video album shares the camera roll's photos this way, a
// photo taken out with RemovePhoto or replaced by SetPhotos is not destroyed under a host that
// still holds its pointer, and handing an album pointers it already holds, or another album's,
// neither leaks nor frees twice. Photos the host made itself are listed but never owned.
class CPhotoAlbum : public IPhotoAlbum {
  public:
    CPhotoAlbum(std::string albumTitle, int32_t key, int32_t type = kAlbumTypeOrdinary);

    int32_t GetAlbumKey() override { return key_; }
    void AddPhoto(IPhoto* photo) override;
    void RemovePhoto(IPhoto* photo) override;
    IPhoto* GetFirstPhoto() override;
    int32_t CopyPhotosTo(BwPhotoList* list) override;
    int32_t SetPhotos(const BwPhotoList* list) override;
    int32_t GetAlbumKeySame() override { return key_; }
    void SetAlbumKey(int32_t key) override { key_ = key; }
    int32_t GetKind() override { return kind_; }
    void SetKind(int32_t kind) override { kind_ = kind; }
    int32_t GetVideos(BwPhotoList* list) override;
    void AssignPhotos(const BwPhotoList* list) override { SetPhotos(list); }
    int32_t GetStills(BwPhotoList* list) override;
    void AssignPhotosSame(const BwPhotoList* list) override { SetPhotos(list); }
    int32_t GetAlbumType() override { return type_; }
    void SetAlbumType(int32_t type) override { type_ = type; }
    int32_t CountStills() override;
    int32_t CountPhotos() override { return static_cast<int32_t>(photos_.size()); }
    int32_t CountVideos() override;

    // Appends a library photo and keeps it alive with the album.
    void Append(const PhotoRef& photo);
    const std::list<IPhoto*>& Photos() const { return photos_; }
    // The library photos of the list in order, as shared references (host photos left out).
    std::vector<PhotoRef> PhotoRefs() const;

    std::string title;
    std::string uuid = "00000000-0000-0000-0000-000000000000";
    std::string extraText;

  private:
    void Hold(IPhoto* photo);
    // The entries that are library photos with this video flag.
    int32_t Filter(int32_t videoFlag, BwPhotoList* list) const;

    int32_t key_ = 0;
    std::list<IPhoto*> photos_;
    int32_t type_ = kAlbumTypeOrdinary;
    int32_t kind_ = 0;
    std::unordered_map<const CPhoto*, PhotoRef> held_;
};

}  // namespace bw
