// CPhotoManager: the host's entry to the photos of one device. It copies the device's library
// database into a private local folder, reads albums and photos through the reader for the
// device's version and hands them out by index.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "brackwater/photo.h"
#include "photo/photo_album.h"
#include "photo/photo_database.h"

namespace bw {

class CIPhone;
class CPhotoSync;

// A serial number the local folder may be named after: 1 to 64 of [A-Za-z0-9-]. The value comes
// from the device and is hostile until checked.
bool IsUsableSerialNumber(std::string_view serial);

class CPhotoManager : public IPhotoManager {
  public:
    explicit CPhotoManager(CIPhone* device);
    ~CPhotoManager() override;
    CPhotoManager(const CPhotoManager&) = delete;
    CPhotoManager& operator=(const CPhotoManager&) = delete;

    int32_t LoadAlbums() override;
    IPhotoAlbum* GetAlbum(int32_t index) override;
    int32_t LoadPhotos() override;
    IPhoto* GetPhoto(int32_t index) override;
    unsigned char ExportPhoto(int32_t index, const char* folder) override;
    int32_t AddPhotos(const char* const* paths, int32_t count) override;
    int32_t DeletePhotos(IPhoto* const* photos, int32_t count) override;
    int32_t DeletePhotosByKey(const int32_t* keys, int32_t count) override;
    unsigned char ReloadLibrary() override;
    int32_t Reserved9(int32_t, int32_t) override { return 0; }
    int32_t Reserved10(int32_t, int32_t) override { return 0; }
    int32_t Reserved11(int32_t, int32_t) override { return 0; }

    // The photos to delete grouped by the key of the album they belong to, in key order.
    static std::map<int32_t, std::vector<IPhoto*>> GroupByAlbum(IPhoto* const* photos,
                                                                int32_t count);

    // Makes TempFolder/PhotoSync/<serial> private; empty when the serial number is unusable or a
    // level is not a private folder of this user. The photo sync works in the same folder.
    static std::string MakeLocalFolder(const std::string& serial);

    // The outcome of the last add or delete run (SyncOutcome as a number; -1 before any).
    // AddPhotos into the synced album `albumName` (made when the device has none of that name);
    // kPhotoLibraryAlbumName adds to the loose synced photos, as AddPhotos does.
    int32_t AddPhotosToAlbum(const char* const* paths, int32_t count, const std::string& albumName);

    int32_t lastSyncResult() const { return lastSyncResult_.load(); }
    // Called from the runs' threads at each stage and per file; null stops the calls.
    void SetSyncProgress(BwPhotoSyncProgress callback, void* context);

    const std::string& localFolder() const { return localFolder_; }
    const std::string& productVersion() const { return productVersion_; }
    bool hasReader() const { return reader_ != nullptr; }

  private:
    void CopyDatabase();
    void BuildReader();
    int32_t DeleteGroups(const std::map<int32_t, std::vector<IPhoto*>>& groups);
    // Runs one photo sync to its end (bounded by the sync's time limit) and keeps its outcome.
    void RunSync(CPhotoSync& sync);

    std::vector<std::unique_ptr<CPhotoAlbum>> albums_;
    // Handed out by index, so a vector: a host walks ten thousand photos by GetPhoto(i).
    std::vector<IPhoto*> photos_;
    std::unique_ptr<AbstractPhotoSqliteDB> reader_;
    std::string localFolder_;
    CIPhone* device_ = nullptr;
    std::string productVersion_;
    // Set by the sync's completion callback on the sync's thread.
    std::atomic<uint8_t> completionFlag_{0};
    std::atomic<int32_t> lastSyncResult_{-1};
    BwPhotoSyncProgress progress_ = nullptr;
    void* progressContext_ = nullptr;
    uint32_t imagingToken_ = 0;
};

}  // namespace bw
