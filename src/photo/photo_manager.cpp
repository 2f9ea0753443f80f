#include "photo/photo_manager.h"

#include <algorithm>

#include "device/iphone.h"
#include "photo/photo_database_copy.h"
#include "photo/photo_sync.h"
#include "photo/portable_delete.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/image.h"
#include "platform/text.h"

namespace bw {

namespace {

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
    CopyPhotoDatabase(device_, localFolder_);
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

void CPhotoManager::SetSyncProgress(BwPhotoSyncProgress callback, void* context) {
    progress_ = callback;
    progressContext_ = context;
}

void CPhotoManager::RunSync(CPhotoSync& sync) {
    sync.SetCompletion([this](SyncOutcome) { completionFlag_.store(1); });
    if (progress_ != nullptr) {
        sync.SetProgress([callback = progress_, context = progressContext_](
                             int32_t stage, int32_t done, int32_t total, const std::string& name) {
            callback(context, stage, done, total, Utf8ToWide(name).c_str());
        });
    }
    // The wait ends when the sync calls back or, for a device that stops answering, after the
    // sync's inactivity limit; either way the sync's connection and threads are gone after it.
    if (sync.Start()) sync.Wait();
    lastSyncResult_.store(static_cast<int32_t>(sync.outcome()));
}

int32_t CPhotoManager::AddPhotos(const char* const* paths, int32_t count) {
    return AddPhotosToAlbum(paths, count, kPhotoLibraryAlbumName);
}

int32_t CPhotoManager::AddPhotosToAlbum(const char* const* paths, int32_t count,
                                        const std::string& albumName) {
    completionFlag_.store(0);
    std::vector<std::string> sequence;
    for (int32_t i = 0; paths != nullptr && i < count; ++i) {
        if (paths[i] != nullptr) sequence.emplace_back(paths[i]);
    }
    const auto handed = static_cast<int32_t>(sequence.size());
    CPhotoSync sync(device_, albumName, std::move(sequence));
    RunSync(sync);
    return handed;
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
        completionFlag_.store(0);
        CPhotoSync sync(device_, group);
        RunSync(sync);
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
