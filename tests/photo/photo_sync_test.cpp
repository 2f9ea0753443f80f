// A photo sync run's handlers against a simulated phone the test scripts: the library list the
// metadata handler uploads, the pictures and thumbnail files the asset handler uploads for the
// identifiers the device requests (hostile ones refused), read back from the image's files; and
// the photo manager's add and delete calls through the exports, bounded by the time limit.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "brackwater/photo.h"
#include "formats/plist_library.h"
#include "photo/mobile_sync.h"
#include "photo/photo_manager.h"
#include "photo/photo_sync.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "support/sim_device.h"
#include "support/vips_pictures.h"

namespace bw::testing {
namespace photo_sync_test {

std::string Xml(const CDicValueObj& tree) {
    std::string out;
    writeXmlutf8(tree, out);
    return out;
}

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

class PhotoSyncRun : public OnePhoneTest {
  protected:
    void SetUp() override {
        OnePhoneTest::SetUp();
        ASSERT_TRUE(platform::SetEnv("TMPDIR", folder_.path()));
        SetPhotoSyncTimeLimit(std::chrono::milliseconds(15000));
    }

    void TearDown() override { SetPhotoSyncTimeLimit(kPhotoSyncTimeLimit); }

    CIPhone* SilentPhone(const std::string& version) {
        sim::ImageOptions options;
        options.iosVersion = version;
        CIPhone* phone = ArriveWith(options);
        if (phone != nullptr) {
            EXPECT_EQ(BwSimAirTrafficSetSilent(udid_.c_str(), 1), 0);
        }
        return phone;
    }

    void Queue(const char* command, const CDicValueObj& params = CDicValueObj::MakeDictionary()) {
        EXPECT_EQ(BwSimAirTrafficQueueMessage(udid_.c_str(), command, Xml(params).c_str()), 1)
            << command << ": " << BwSimLastError();
    }

    std::string Media(const std::string& path) const {
        return platform::JoinPath(platform::JoinPath(image_, "fs/var/mobile/Media"), path);
    }

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

// The manager's add call as the exports reach it (result and progress setter): a device that
// never answers holds AddPhotos only until the time limit, and the result says so.
class PhotoSyncManager : public PhotoSyncRun {};

TEST_F(PhotoSyncManager, AddOnASilentDeviceReturnsAtTheLimitAsTimedOut) {
    CIPhone* phone = SilentPhone("6.1.3");
    ASSERT_NE(phone, nullptr);
    SetPhotoSyncTimeLimit(std::chrono::milliseconds(500));
    auto manager = std::make_unique<CPhotoManager>(phone);
    EXPECT_EQ(manager->lastSyncResult(), BW_PHOTO_SYNC_NONE);

    std::mutex mutex;
    std::vector<int32_t> stages;
    auto record = [](void* context, int32_t stage, int32_t, int32_t, const char*) {
        auto* log = static_cast<std::pair<std::mutex*, std::vector<int32_t>*>*>(context);
        std::lock_guard<std::mutex> lock(*log->first);
        log->second->push_back(stage);
    };
    std::pair<std::mutex*, std::vector<int32_t>*> context{&mutex, &stages};
    manager->SetSyncProgress(record, &context);

    const char* paths[] = {"/nonexistent/a.jpg", nullptr, "/nonexistent/b.jpg"};
    EXPECT_EQ(manager->AddPhotos(paths, 3), 2);
    EXPECT_EQ(manager->lastSyncResult(), BW_PHOTO_SYNC_TIMED_OUT);
    EXPECT_EQ(sim_.Counters().airTrafficConnections, 0);

    // Once the device answers, the next run gets as far as the sync request.
    EXPECT_EQ(BwSimAirTrafficSetSilent(udid_.c_str(), 0), 0);
    EXPECT_EQ(manager->AddPhotos(paths, 0), 0);
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_NE(std::find(stages.begin(), stages.end(), kStageSyncAllowed), stages.end());
    }
    manager.reset();
    EXPECT_EQ(sim_.Counters().airTrafficConnections, 0);
    ExpectOpen(kWiredAfc, kWiredServices);
    EndListening();
}

}  // namespace photo_sync_test
}  // namespace bw::testing
