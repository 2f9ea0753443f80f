// A photo sync run's handlers against a simulated phone the test scripts: the library list the
// metadata handler uploads, the pictures and thumbnail files the asset handler uploads for the
// identifiers the device requests (hostile ones refused), read back from the image's files; and
// the photo manager's add and delete calls through the exports, bounded by the time limit.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "brackwater/photo.h"
#include "formats/plist_library.h"
#include "photo/mobile_sync.h"
#include "photo/photo.h"
#include "photo/photo_manager.h"
#include "photo/photo_sync.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/sim_device.h"
#include "support/vips_pictures.h"
#include "sync_run_fixture.h"

namespace bw::testing {
namespace photo_sync_test {

CDicValueObj Text(const std::string& text) {
    return CDicValueObj::MakeString(text);
}

TEST(AirlockSettings, EveryDeviceGetsNonZeroValuesThatFollowItsKindAndVersion) {
    EXPECT_TRUE(VersionAtLeast("6.1.3", 6, 1, 0));
    EXPECT_TRUE(VersionAtLeast("6.1", 6, 1, 0));
    EXPECT_FALSE(VersionAtLeast("6.0.9", 6, 1, 0));
    EXPECT_TRUE(VersionAtLeast("10.0", 6, 1, 0));
    EXPECT_FALSE(VersionAtLeast("4.3.5", 5, 0, 0));
    EXPECT_FALSE(VersionAtLeast("", 5, 0, 0));

    const AirlockSettings old = AirlockSettingsFor("iPhone3,1", "4.3.5");
    const AirlockSettings pad = AirlockSettingsFor("iPad2,1", "5.1.1");
    const AirlockSettings pod = AirlockSettingsFor("iPod5,1", "7.1.2");
    EXPECT_EQ(old.setting, 1u);
    EXPECT_EQ(old.trailerValue, 1u);
    EXPECT_EQ(pad.setting, 1u | 4u | 8u);
    EXPECT_EQ(pad.trailerValue, 2u);
    EXPECT_EQ(pod.setting, 1u | 2u | 8u | 16u);
    EXPECT_EQ(pod.trailerValue, 3u);
}

class PhotoSyncRun : public SyncRunTest {
  protected:
    // A JPEG of the computer, with its bytes.
    std::string Picture(const std::string& name, Rgb colour, std::string* bytes) {
        const std::string path = folder_ / name;
        *bytes = EncodeWithVips(Solid(64, 48, colour), ".jpg");
        EXPECT_TRUE(platform::WriteFileAtomic(path, *bytes));
        return path;
    }

    std::string DeviceFile(const std::string& path) const {
        std::string bytes;
        platform::ReadWholeFile(Media(path), bytes);
        return bytes;
    }
};

// The asset dictionaries of the uploaded list whose "uuid" the list did not hold before the run,
// in list order.
std::vector<std::string> AssetIdentifiers(const CDicValueObj& list) {
    std::vector<std::string> ids;
    const CDicValueObj* updates = list.Find("updates");
    if (updates == nullptr || updates->Array() == nullptr) return ids;
    for (const CDicValueObj& item : *updates->Array()) {
        if (item.GetString("itemType").value_or("") == "Asset")
            ids.push_back(item.GetString("uuid").value_or(""));
    }
    return ids;
}

TEST_F(PhotoSyncRun, TheListAndEachRequestedPictureReachTheDeviceWithItsThumbnailFile) {
    CIPhone* phone = SilentPhone("7.1.2");
    ASSERT_NE(phone, nullptr);
    std::string redBytes, blueBytes;
    const std::string red = Picture("red.jpg", {200, 10, 10}, &redBytes);
    const std::string blue = Picture("blue.jpg", {10, 10, 200}, &blueBytes);

    std::mutex mutex;
    std::vector<std::string> sentNames;
    bool listSent = false;
    CPhotoSync sync(phone, kPhotoLibraryAlbumName, {red, blue});
    sync.SetProgress([&](int32_t stage, int32_t done, int32_t total, const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex);
        if (stage == kStageReadyForSync && done == 1) listSent = true;
        if (stage == kStageAssetManifest) {
            EXPECT_EQ(total, 3);
            sentNames.push_back(name);
        }
    });
    ASSERT_TRUE(sync.Start());
    Queue("SyncAllowed");
    CDicValueObj anchors = CDicValueObj::MakeDictionary();
    anchors.Set("Photo", Text("4"));
    CDicValueObj ready = CDicValueObj::MakeDictionary();
    ready.Set("DataclassAnchors", anchors);
    Queue("ReadyForSync", ready);
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return listSent;
    }));

    // The list on the device, read with the property-list library (the run wrote it with its own
    // codec): the two pictures are its last assets, with identifiers of their own.
    CDicValueObj list;
    readPlistFromFile(Media("Photos/Sync/PhotoLibrary.plist"), list);
    EXPECT_EQ(list.GetString("libraryKind").value_or(""), "Folder");
    const std::vector<std::string> ids = AssetIdentifiers(list);
    ASSERT_GE(ids.size(), 2u);
    const std::string redId = ids[ids.size() - 2];
    const std::string blueId = ids[ids.size() - 1];
    EXPECT_NE(redId, blueId);
    // The local copy of the list is gone once uploaded.
    EXPECT_FALSE(
        platform::PathExists(platform::JoinPath(sync.localFolder(), "PhotoLibrary.plist")));

    // The device asks for blue, a path that climbs, and red, in that order.
    CDicValueObj photos = CDicValueObj::MakeArray();
    for (const std::string& id : {blueId, std::string("../../Evil"), redId}) {
        CDicValueObj entry = CDicValueObj::MakeDictionary();
        entry.Set("AssetID", Text(id));
        entry.Set("Dataclass", Text("Photo"));
        photos.Array()->push_back(entry);
    }
    CDicValueObj manifest = CDicValueObj::MakeDictionary();
    manifest.Set("Photo", photos);
    CDicValueObj params = CDicValueObj::MakeDictionary();
    params.Set("AssetManifest", manifest);
    Queue("AssetManifest", params);
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return sentNames.size() == 3;
    }));
    Queue("SyncFinished");
    EXPECT_EQ(sync.Wait(), SyncOutcome::kDone);

    EXPECT_EQ(sentNames, (std::vector<std::string>{"blue.jpg", "", "red.jpg"}));
    EXPECT_EQ(DeviceFile("Airlock/Photo/" + redId + "/red.jpg"), redBytes);
    EXPECT_EQ(DeviceFile("Airlock/Photo/" + blueId + "/blue.jpg"), blueBytes);
    for (const auto& [id, bytes] : {std::pair{redId, redBytes}, std::pair{blueId, blueBytes}}) {
        const std::string thumbnail = DeviceFile("Photos/Thumbs/" + id + ".mthmb");
        // The picture's own bytes first, the "imth" mark last.
        ASSERT_GT(thumbnail.size(), bytes.size() + 124) << id;
        EXPECT_EQ(thumbnail.substr(0, bytes.size()), bytes) << id;
        EXPECT_EQ(thumbnail.substr(thumbnail.size() - 4), "imth") << id;
    }
    EXPECT_FALSE(platform::PathExists(Media("Evil")));
    EXPECT_FALSE(platform::PathExists(Media("Airlock/Evil")));
    EXPECT_EQ(sim_.Counters().airTrafficConnections, 0);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

// ---- The whole sync with the simulated device playing its part ------------------------------

struct SyncedRow {
    int64_t key = 0;
    std::string uuid;  // 32 hex digits
    std::string path;  // directory and file name
    bool operator==(const SyncedRow& other) const = default;
};

// The synced assets of the device's library, read with SQLite itself.
std::vector<SyncedRow> SyncedAssets(const std::string& database) {
    std::vector<SyncedRow> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "cannot open " << database;
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt* statement = nullptr;
    const char* sql =
        "SELECT Z_PK, hex(ZUUID), ZDIRECTORY || '/' || ZFILENAME FROM ZGENERICASSET "
        "WHERE ZDIRECTORY LIKE '%Sync%' ORDER BY Z_PK";
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
        SyncedRow row;
        row.key = sqlite3_column_int64(statement, 0);
        const auto text = [&](int column) {
            const unsigned char* value = sqlite3_column_text(statement, column);
            return value != nullptr ? std::string(reinterpret_cast<const char*>(value)) : "";
        };
        row.uuid = text(1);
        row.path = text(2);
        rows.push_back(row);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

class PhotoSyncDevice : public PhotoSyncRun {
  protected:
    CIPhone* Phone(const std::string& version) {
        sim::ImageOptions options;
        options.iosVersion = version;
        return ArriveWith(options);
    }

    std::vector<SyncedRow> Synced() const { return SyncedAssets(Media("PhotoData/Photos.sqlite")); }

    // The imaging library keeps a pool of worker threads of its own, so the run's threads are
    // counted by the connection itself here.
    void ExpectRunLeftNothing() {
        EXPECT_EQ(sim_.Counters().airTrafficConnections, 0);
        EXPECT_EQ(CiMobileSync::Instance().liveThreads(), 0);
    }
};

class PhotoSyncEndToEnd : public PhotoSyncDevice,
                          public ::testing::WithParamInterface<const char*> {};

TEST_P(PhotoSyncEndToEnd, TwoPicturesArriveInTheLibraryAndOneRemovedLeavesIt) {
    CIPhone* phone = Phone(GetParam());
    ASSERT_NE(phone, nullptr);
    const std::vector<SyncedRow> before = Synced();
    std::string redBytes, blueBytes;
    const std::string red = Picture("red.jpg", {200, 10, 10}, &redBytes);
    const std::string blue = Picture("blue.jpg", {10, 10, 200}, &blueBytes);

    auto manager = std::make_unique<CPhotoManager>(phone);
    EXPECT_EQ(manager->lastSyncResult(), BW_PHOTO_SYNC_NONE);
    // Progress as the export hands it to the host: the stages in order, each picture by name.
    std::mutex mutex;
    std::vector<std::string> progress;
    auto record = [](void* context, int32_t stage, int32_t done, int32_t total,
                     const BwChar* name) {
        auto* log = static_cast<std::pair<std::mutex*, std::vector<std::string>*>*>(context);
        std::lock_guard<std::mutex> lock(*log->first);
        log->second->push_back(std::to_string(stage) + ":" + std::to_string(done) + "/" +
                               std::to_string(total) + ":" + WideToUtf8(name));
    };
    std::pair<std::mutex*, std::vector<std::string>*> context{&mutex, &progress};
    manager->SetSyncProgress(record, &context);
    const char* paths[] = {red.c_str(), blue.c_str()};
    ASSERT_EQ(manager->AddPhotos(paths, 2), 2);
    ASSERT_EQ(manager->lastSyncResult(), BW_PHOTO_SYNC_DONE);
    EXPECT_EQ(progress, (std::vector<std::string>{"1:1/1:", "2:0/1:PhotoLibrary.plist",
                                                  "2:1/1:PhotoLibrary.plist", "3:1/2:red.jpg",
                                                  "3:2/2:blue.jpg", "4:1/1:"}));
    manager->SetSyncProgress(nullptr, nullptr);
    const std::vector<SyncedRow> afterAdd = Synced();
    std::vector<SyncedRow> added;
    for (const SyncedRow& row : afterAdd) {
        if (std::find(before.begin(), before.end(), row) == before.end()) added.push_back(row);
    }
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(afterAdd.size(), before.size() + 2);
    EXPECT_EQ((std::set<std::string>{DeviceFile(added[0].path), DeviceFile(added[1].path)}),
              (std::set<std::string>{redBytes, blueBytes}));
    // The device consumed what the host left for it.
    const std::string airlock = Media("Airlock/Photo");
    EXPECT_TRUE(!platform::PathExists(airlock) || std::filesystem::is_empty(airlock));
    ExpectRunLeftNothing();

    // The removal goes by the photo the manager shows for the first new asset.
    ASSERT_EQ(manager->ReloadLibrary(), 1);
    IPhoto* target = nullptr;
    for (int32_t i = 0; IPhoto* photo = manager->GetPhoto(i); ++i) {
        const auto* object = dynamic_cast<const CPhoto*>(photo);
        if (object != nullptr && NormalizedSyncIdentifier(object->uuid) == added[0].uuid) {
            target = photo;
            break;
        }
    }
    ASSERT_NE(target, nullptr);
    IPhoto* photos[] = {target};
    manager->DeletePhotos(photos, 1);
    EXPECT_EQ(manager->lastSyncResult(), BW_PHOTO_SYNC_DONE);
    std::vector<SyncedRow> expected = afterAdd;
    std::erase(expected, added[0]);
    EXPECT_EQ(Synced(), expected);
    EXPECT_FALSE(platform::PathExists(Media(added[0].path)));
    EXPECT_EQ(DeviceFile(added[1].path).empty(), false);

    // An add of nothing still syncs, and leaves the library as it is.
    EXPECT_EQ(manager->AddPhotos(nullptr, 0), 0);
    EXPECT_EQ(manager->lastSyncResult(), BW_PHOTO_SYNC_DONE);
    EXPECT_EQ(Synced(), expected);
    manager.reset();
    ExpectRunLeftNothing();
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

INSTANTIATE_TEST_SUITE_P(Versions, PhotoSyncEndToEnd, ::testing::Values("5.1.1", "6.1.3", "7.1.2"));

TEST_F(PhotoSyncDevice, APictureThatCannotBeUploadedIsReportedAndOnlyTheOtherArrives) {
    CIPhone* phone = Phone("6.1.3");
    ASSERT_NE(phone, nullptr);
    const std::vector<SyncedRow> before = Synced();
    std::string redBytes, blueBytes;
    const std::string red = Picture("red.jpg", {200, 10, 10}, &redBytes);
    const std::string blue = Picture("blue.jpg", {10, 10, 200}, &blueBytes);
    CPhotoManager manager(phone);
    // Once the list is sent (and before the device's manifest can start the uploads), the next
    // file the host opens on the device, the upload of the first requested picture, fails.
    auto failFirstUpload = [](void* context, int32_t stage, int32_t done, int32_t, const BwChar*) {
        if (stage == kStageReadyForSync && done == 1)
            static_cast<SimControl*>(context)->InjectFailure("AFCFileRefOpen", nullptr, 7);
    };
    manager.SetSyncProgress(failFirstUpload, &sim_);
    const char* paths[] = {red.c_str(), blue.c_str()};
    EXPECT_EQ(manager.AddPhotos(paths, 2), 2);
    EXPECT_EQ(manager.lastSyncResult(), BW_PHOTO_SYNC_DONE);
    const std::vector<SyncedRow> after = Synced();
    ASSERT_EQ(after.size(), before.size() + 1);
    EXPECT_EQ(DeviceFile(after.back().path), blueBytes);
    ExpectRunLeftNothing();
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_F(PhotoSyncDevice, ARefusingDeviceLeavesItsLibraryAsItWas) {
    CIPhone* phone = Phone("6.1.3");
    ASSERT_NE(phone, nullptr);
    ASSERT_EQ(BwSimPhotoSyncSetRefuse(udid_.c_str(), 1), 0);
    SetPhotoSyncTimeLimit(std::chrono::minutes(10));
    const std::vector<SyncedRow> before = Synced();
    std::string bytes;
    const std::string picture = Picture("red.jpg", {200, 10, 10}, &bytes);
    CPhotoManager manager(phone);
    const char* paths[] = {picture.c_str()};
    EXPECT_EQ(manager.AddPhotos(paths, 1), 1);
    EXPECT_EQ(manager.lastSyncResult(), BW_PHOTO_SYNC_REFUSED);
    EXPECT_EQ(Synced(), before);
    EXPECT_FALSE(platform::PathExists(Media("Photos/Sync/PhotoLibrary.plist")));
    ExpectRunLeftNothing();
    EndListening();
}

// The device falls silent (or drops the link) at each stage of its part.
class PhotoSyncDeviceStage : public PhotoSyncDevice, public ::testing::WithParamInterface<int> {};

TEST_P(PhotoSyncDeviceStage, ASilentDeviceEndsTheRunAtTheTimeLimit) {
    CIPhone* phone = Phone("7.1.2");
    ASSERT_NE(phone, nullptr);
    ASSERT_EQ(BwSimPhotoSyncSetStall(udid_.c_str(), GetParam()), 0);
    SetPhotoSyncTimeLimit(std::chrono::milliseconds(2000));
    std::string bytes;
    const std::string picture = Picture("red.jpg", {200, 10, 10}, &bytes);
    CPhotoManager manager(phone);
    const char* paths[] = {picture.c_str()};
    EXPECT_EQ(manager.AddPhotos(paths, 1), 1);
    EXPECT_EQ(BwSimPhotoSyncWaitStage(udid_.c_str(), GetParam(), 0), 0);
    EXPECT_EQ(manager.lastSyncResult(), BW_PHOTO_SYNC_TIMED_OUT);
    ExpectRunLeftNothing();
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

TEST_P(PhotoSyncDeviceStage, ADeviceThatDropsTheLinkEndsTheRunAsLeftAtOnce) {
    CIPhone* phone = Phone("5.1.1");
    ASSERT_NE(phone, nullptr);
    ASSERT_EQ(BwSimPhotoSyncSetLeave(udid_.c_str(), GetParam()), 0);
    SetPhotoSyncTimeLimit(std::chrono::minutes(10));
    std::string bytes;
    const std::string picture = Picture("red.jpg", {200, 10, 10}, &bytes);
    CPhotoManager manager(phone);
    const char* paths[] = {picture.c_str()};
    EXPECT_EQ(manager.AddPhotos(paths, 1), 1);
    EXPECT_EQ(manager.lastSyncResult(), BW_PHOTO_SYNC_DEVICE_LEFT);
    ExpectRunLeftNothing();
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

INSTANTIATE_TEST_SUITE_P(Stages, PhotoSyncDeviceStage, ::testing::Values(1, 2, 3, 4));

}  // namespace photo_sync_test
}  // namespace bw::testing
