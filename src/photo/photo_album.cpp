#include "photo/photo_album.h"

namespace bw {

CPhotoAlbum::CPhotoAlbum(std::string albumTitle, int32_t key, int32_t type)
    : title(std::move(albumTitle)), key_(key), type_(type) {}

void CPhotoAlbum::Hold(IPhoto* photo) {
    auto* libraryPhoto = dynamic_cast<CPhoto*>(photo);
    if (libraryPhoto == nullptr || held_.contains(libraryPhoto)) return;
    // A library photo that no shared reference holds (a temporary of the caller) is listed only.
    if (PhotoRef reference = libraryPhoto->weak_from_this().lock()) {
        held_.emplace(libraryPhoto, std::move(reference));
    }
}

void CPhotoAlbum::Append(const PhotoRef& photo) {
    if (!photo) return;
    held_.emplace(photo.get(), photo);
    photos_.push_back(photo.get());
}

void CPhotoAlbum::AddPhoto(IPhoto* photo) {
    Hold(photo);
    photos_.push_back(photo);
}

void CPhotoAlbum::RemovePhoto(IPhoto* photo) {
    photos_.remove(photo);
}

IPhoto* CPhotoAlbum::GetFirstPhoto() {
    return photos_.empty() ? nullptr : photos_.front();
}

int32_t CPhotoAlbum::CopyPhotosTo(BwPhotoList* list) {
    if (list != nullptr) list->assign(photos_.begin(), photos_.end());
    return CountPhotos();
}

int32_t CPhotoAlbum::SetPhotos(const BwPhotoList* list) {
    if (list == nullptr) return CountPhotos();
    // Copied first: the host may hand in this album's own list.
    std::list<IPhoto*> replacement(list->begin(), list->end());
    for (IPhoto* photo : replacement)
        Hold(photo);
    photos_ = std::move(replacement);
    return CountPhotos();
}

int32_t CPhotoAlbum::Filter(int32_t videoFlag, BwPhotoList* list) const {
    int32_t count = 0;
    if (list != nullptr) list->clear();
    for (IPhoto* photo : photos_) {
        const auto* libraryPhoto = dynamic_cast<const CPhoto*>(photo);
        if (libraryPhoto == nullptr || libraryPhoto->videoFlag != videoFlag) continue;
        if (list != nullptr) list->push_back(photo);
        ++count;
    }
    return count;
}

int32_t CPhotoAlbum::GetVideos(BwPhotoList* list) {
    return Filter(1, list);
}

int32_t CPhotoAlbum::GetStills(BwPhotoList* list) {
    return Filter(0, list);
}

int32_t CPhotoAlbum::CountStills() {
    return Filter(0, nullptr);
}

int32_t CPhotoAlbum::CountVideos() {
    return Filter(1, nullptr);
}

std::vector<PhotoRef> CPhotoAlbum::PhotoRefs() const {
    std::vector<PhotoRef> references;
    for (IPhoto* photo : photos_) {
        const auto found = held_.find(dynamic_cast<const CPhoto*>(photo));
        if (found != held_.end()) references.push_back(found->second);
    }
    return references;
}

}  // namespace bw
