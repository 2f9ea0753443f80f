#include "photo/photo_manager.h"

#include <algorithm>

#include "device/iphone.h"
#include "photo/portable_delete.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/image.h"

namespace bw {

namespace {

constexpr const char* kDatabaseFiles[] = {"Photos.sqlite", "Photos.sqlite-wal",
                                          "Photos.sqlite-shm"};
constexpr size_t kMaxSerialLength = 64;

}  // namespace

bool IsUsableSerialNumber(std::string_view serial) {
    if (serial.empty() || serial.size() > kMaxSerialLength) return false;
    for (char c : serial) {
        const bool allowed =
            (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
        if (!allowed) return false;
    }
    return true;
}

CPhotoManager::CPhotoManager(CIPhone* device) : device_(device) {
    if (device_ != nullptr) {
        DiskInfo disk;
        device_->ReadDiskInfo(disk);
    }
    imagingToken_ = platform::StartImaging();
    if (device_ != nullptr) {
        // ReadDiskInfo has just read the device's values again: no session of its own here.
        productVersion_ = device_->CachedValue("ProductVersion").value_or("");
        if (productVersion_.empty()) productVersion_ = device_->productVersion;
        std::string serial = device_->CachedValue("SerialNumber").value_or("");
        if (serial.empty()) serial = device_->serialNumber;
        localFolder_ = MakeLocalFolder(serial);
    }
    CopyDatabase();
    BuildReader();
}

CPhotoManager::~CPhotoManager() {
    photos_.clear();
    albums_.clear();
    reader_.reset();
    if (imagingToken_ != 0) platform::StopImaging(imagingToken_);
}

std::string CPhotoManager::MakeLocalFolder(const std::string& serial) {
    if (!IsUsableSerialNumber(serial)) return {};
    const std::string temp = platform::TempFolder();
    if (temp.empty()) return {};
    // Both levels are this user's own folders: the database copy and the thumbnails made here
    // are the device owner's pictures, and a folder someone else planted (or a link) is refused.
    const std::string photoSync = platform::JoinPath(temp, "PhotoSync");
    if (!platform::CreatePrivateFolder(photoSync)) return {};
    const std::string folder = platform::JoinPath(photoSync, serial);
    if (!platform::CreatePrivateFolder(folder)) return {};
    return folder;
}

void CPhotoManager::CopyDatabase() {
    if (localFolder_.empty() || !platform::IsPrivateFolder(localFolder_)) return;
    for (const char* name : kDatabaseFiles) {
        platform::RemoveFile(platform::JoinPath(localFolder_, name));
    }
    if (device_ == nullptr) return;
    // A missing companion file is skipped; the copy of each file appears whole or not at all.
    // It is a working copy, made again by every load, so it is not flushed to the disk.
    for (const char* name : kDatabaseFiles) {
        const std::string devicePath = std::string("PhotoData/") + name;
        if (device_->FileExists(devicePath)) {
            device_->CopyFileFromDevice(devicePath, platform::JoinPath(localFolder_, name), false);
        }
    }
}

void CPhotoManager::BuildReader() {
    reader_.reset();
    if (localFolder_.empty()) return;
    reader_ = MakePhotoReader(PhotoContext{device_, productVersion_, localFolder_},
                              platform::JoinPath(localFolder_, "Photos.sqlite"));
}

int32_t CPhotoManager::LoadAlbums() {
    // The photo list points at photos of the albums about to be released; it is emptied with
    // them so that no entry outlives its photo.
    photos_.clear();
    albums_.clear();
    if (reader_ != nullptr) reader_->GetAllAlbums(albums_);
    return static_cast<int32_t>(albums_.size());
}

IPhotoAlbum* CPhotoManager::GetAlbum(int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= albums_.size()) return nullptr;
    return albums_[static_cast<size_t>(index)].get();
}

int32_t CPhotoManager::LoadPhotos() {
    for (const auto& album : albums_) {
        BwPhotoList stills;
        album->GetStills(&stills);
        photos_.insert(photos_.end(), stills.begin(), stills.end());
    }
    photos_.erase(
        std::unique(photos_.begin(), photos_.end(),
                    [](IPhoto* a, IPhoto* b) { return a->GetAssetKey() == b->GetAssetKey(); }),
        photos_.end());
    return static_cast<int32_t>(photos_.size());
}

IPhoto* CPhotoManager::GetPhoto(int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= photos_.size()) return nullptr;
    return photos_[static_cast<size_t>(index)];
}

unsigned char CPhotoManager::ExportPhoto(int32_t index, const char* folder) {
    if (IPhoto* photo = GetPhoto(index)) photo->ExportTo(folder);
    return 1;
}

int32_t CPhotoManager::AddPhotos(const char* const* paths, int32_t count) {
    completionFlag_ = 0;
    std::vector<std::string> sequence;
    for (int32_t i = 0; paths != nullptr && i < count; ++i) {
        if (paths[i] != nullptr) sequence.emplace_back(paths[i]);
    }
    // The photo sync that takes these paths to the device comes with the sync service; until
    // then no path is handed to a sync, and the device is not touched.
    return 0;
}

std::map<int32_t, std::vector<IPhoto*>> CPhotoManager::GroupByAlbum(IPhoto* const* photos,
                                                                    int32_t count) {
    std::map<int32_t, std::vector<IPhoto*>> groups;
    for (int32_t i = 0; photos != nullptr && i < count; ++i) {
        if (photos[i] != nullptr) groups[photos[i]->GetAlbumKey()].push_back(photos[i]);
    }
    return groups;
}

int32_t CPhotoManager::DeleteGroups(const std::map<int32_t, std::vector<IPhoto*>>& groups) {
    for (const auto& [albumKey, group] : groups) {
        bool cameraRoll = false;
        for (const auto& album : albums_) {
            if (album->GetAlbumKey() == albumKey && album->GetKind() == kKindCameraRoll) {
                cameraRoll = true;
                break;
            }
        }
        if (cameraRoll) {
            // The photo sync cannot remove pictures taken on the phone; its portable-device face
            // can. The phone's photo daemon drops their rows once the files are gone.
            std::vector<std::string> deletionList;
            for (IPhoto* photo : group) {
                std::string entry = PortableDeletionEntry(photo);
                if (!entry.empty()) deletionList.push_back(std::move(entry));
            }
            const std::string serial =
                device_ != nullptr ? device_->ReadDeviceValueText("", "SerialNumber") : "";
            DeleteFromPortableDevice(serial, deletionList);
            continue;
        }
        // Photos of the other albums leave the device through a photo sync for deletion, which
        // arrives with the sync service; until then they are not touched.
        (void)group;
    }
    return 0;
}

int32_t CPhotoManager::DeletePhotos(IPhoto* const* photos, int32_t count) {
    return DeleteGroups(GroupByAlbum(photos, count));
}

int32_t CPhotoManager::DeletePhotosByKey(const int32_t* keys, int32_t count) {
    std::vector<IPhoto*> matches;
    for (int32_t i = 0; keys != nullptr && i < count; ++i) {
        for (IPhoto* photo : photos_) {
            if (photo->GetAssetKey() == keys[i]) {
                matches.push_back(photo);
                break;
            }
        }
    }
    return DeleteGroups(GroupByAlbum(matches.data(), static_cast<int32_t>(matches.size())));
}

unsigned char CPhotoManager::ReloadLibrary() {
    CopyDatabase();
    BuildReader();
    LoadAlbums();
    LoadPhotos();
    return 1;
}

}  // namespace bw
