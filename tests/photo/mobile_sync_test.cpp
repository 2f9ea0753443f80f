// The photo sync's host connection against a simulated phone that says only what the test
// scripts (silent device, queued messages): the message reader, the dispatcher's stage rules,
// refusal, a device that stops answering, a device that leaves at each stage, and a run that
// cannot start. Every run ends with no AirTraffic connection, thread or file handle left.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>

#include "formats/plist_library.h"
#include "photo/mobile_sync.h"
#include "photo/photo_sync.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "support/sim_device.h"
#include "support/thread_state.h"
#include "sync_run_fixture.h"

namespace bw::testing {
namespace mobile_sync_test {

CDicValueObj Dict(std::initializer_list<std::pair<const char*, CDicValueObj>> entries) {
    CDicValueObj dict = CDicValueObj::MakeDictionary();
    for (const auto& [key, value] : entries)
        dict.Set(key, value);
    return dict;
}

CDicValueObj Text(const char* text) {
    return CDicValueObj::MakeString(text);
}

// {"AssetManifest": {"Photo": [{"AssetID": id, "Dataclass": "Photo"}, ...]}}
CDicValueObj ManifestParams(const std::vector<CDicValueObj>& ids) {
    CDicValueObj photos = CDicValueObj::MakeArray();
    for (const CDicValueObj& id : ids)
        photos.Array()->push_back(Dict({{"AssetID", id}, {"Dataclass", Text("Photo")}}));
    return Dict({{"AssetManifest", Dict({{"Photo", photos}})}});
}

// ---- The message reader ----------------------------------------------------------------------

TEST(SyncMessageReader, ReadsNameAnchorManifestAndErrorCodeFromTheMessageBytes) {
    CDicValueObj params =
        ManifestParams({Text("0000-67"), Text("00000000-0000-0000-0000-000000000068")});
    params.Set("DataclassAnchors", Dict({{"Photo", Text("41")}}));
    params.Set("ErrorCode", CDicValueObj::MakeInteger(12));
    const std::string bytes = SyncMessageXml(Dict({{"Command", Text("AssetManifest")},
                                                   {"Params", params},
                                                   {"Session", CDicValueObj::MakeInteger(1)}}));
    const SyncMessage message = ReadSyncMessageBytes(bytes.data(), bytes.size());
    EXPECT_EQ(message.name, "AssetManifest");
    EXPECT_EQ(message.photoAnchor, "41");
    EXPECT_EQ(message.errorCode, 12);
    EXPECT_EQ(message.assetIds,
              (std::vector<std::string>{"0000-67", "00000000-0000-0000-0000-000000000068"}));
}

TEST(SyncMessageReader, ValuesOfTheWrongTypeReadAsAbsentAndNumericAnchorsAsDecimalText) {
    CDicValueObj photos = CDicValueObj::MakeArray();
    photos.Array()->push_back(Dict({{"AssetID", CDicValueObj::MakeInteger(7)}}));
    photos.Array()->push_back(Text("not a dictionary"));
    photos.Array()->push_back(Dict({{"AssetID", Text("")}}));
    photos.Array()->push_back(Dict({{"AssetID", Text("kept")}}));
    CDicValueObj params =
        Dict({{"AssetManifest", Dict({{"Photo", photos}})},
              {"DataclassAnchors", Dict({{"Photo", CDicValueObj::MakeInteger(9)}})}});
    SyncMessage message = ReadSyncMessage(Dict({{"Command", Text("X")}, {"Params", params}}));
    EXPECT_EQ(message.assetIds, std::vector<std::string>{"kept"});
    EXPECT_EQ(message.photoAnchor, "9");

    // Params of the wrong kind, a command that is no text, and bytes that are no list at all.
    message = ReadSyncMessage(
        Dict({{"Command", CDicValueObj::MakeInteger(1)}, {"Params", CDicValueObj::MakeArray()}}));
    EXPECT_EQ(message.name, "");
    EXPECT_TRUE(message.assetIds.empty());
    message = ReadSyncMessage(Dict(
        {{"Command", Text("ReadyForSync")}, {"Params", Dict({{"DataclassAnchors", Text("3")}})}}));
    EXPECT_EQ(message.name, "ReadyForSync");
    EXPECT_EQ(message.photoAnchor, "");
    const char junk[] = "bplist00\xff\xff";
    EXPECT_EQ(ReadSyncMessageBytes(junk, sizeof junk - 1).name, "");
    EXPECT_EQ(ReadSyncMessageBytes(nullptr, 0).name, "");
}

// ---- Runs against a scripted device ----------------------------------------------------------

// What a run reported through its progress callback.
class ProgressLog {
  public:
    using Entry = std::tuple<int32_t, int32_t, int32_t, std::string>;
    SyncProgress Recorder(std::function<void(int32_t)> onStage = nullptr) {
        return
            [this, onStage](int32_t stage, int32_t done, int32_t total, const std::string& name) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    entries_.emplace_back(stage, done, total, name);
                }
                if (onStage) onStage(stage);
            };
    }
    bool Saw(int32_t stage) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Entry& entry : entries_)
            if (std::get<0>(entry) == stage) return true;
        return false;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
};

class MobileSyncRun : public SyncRunTest {
  protected:
    // A silent iOS 6 phone; the threads of the process are counted from here.
    CIPhone* SilentPhone() {
        CIPhone* phone = SyncRunTest::SilentPhone("6.1.3");
        threadsBefore_ = ThreadCount();
        return phone;
    }

    // Nothing of the run is left: no AirTraffic link, no thread, nothing open but the phone's own
    // connections.
    void ExpectRunLeftNothing() {
        EXPECT_EQ(sim_.Counters().airTrafficConnections, 0);
        EXPECT_EQ(CiMobileSync::Instance().liveThreads(), 0);
        EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore_; }))
            << ThreadCount() << " threads, " << threadsBefore_ << " before the run";
        ExpectOpen(kWiredAfc, kWiredServices);
    }

    size_t threadsBefore_ = 0;
};

TEST_F(MobileSyncRun, AReadyForSyncBeforeTheSyncRequestIsIgnoredAndFinishPostsTheNotification) {
    CIPhone* phone = SilentPhone();
    ASSERT_NE(phone, nullptr);
    ProgressLog progress;
    int completions = 0;
    CPhotoSync sync(phone, kPhotoLibraryAlbumName, {});
    sync.SetProgress(progress.Recorder());
    sync.SetCompletion([&](SyncOutcome) { ++completions; });
    ASSERT_TRUE(sync.Start());
    Queue("ReadyForSync", Dict({{"DataclassAnchors", Dict({{"Photo", Text("5")}})}}));
    Queue("SyncAllowed");
    Queue("SyncFinished");
    EXPECT_EQ(sync.Wait(), SyncOutcome::kDone);

    EXPECT_EQ(completions, 1);
    EXPECT_TRUE(progress.Saw(kStageSyncAllowed));
    EXPECT_TRUE(progress.Saw(kStageSyncFinished));
    // No metadata stage: the list was never written to the device.
    EXPECT_FALSE(progress.Saw(kStageReadyForSync));
    EXPECT_FALSE(platform::PathExists(Media("Photos/Sync/PhotoLibrary.plist")));
    EXPECT_EQ(sim_.CountHostNotifications(udid_, "com.apple.itunes-mobdev.syncDidFinish"), 1);
    EXPECT_TRUE(CiMobileSync::Instance().syncAllowed());

    // The connection announced the host with the fallback version as its library and version.
    std::string xml(8192, '\0');
    const long length = BwSimAirTrafficHostInfo(udid_.c_str(), xml.data(), xml.size());
    ASSERT_GT(length, 0);
    CDicValueObj info;
    readPlistFromByteArry(xml.data(), static_cast<int>(length), info, 0);
    EXPECT_EQ(info.GetString("LibraryID").value_or(""), "11.0.5.5");
    EXPECT_EQ(info.GetString("Version").value_or(""), "11.0.5.5");
    EXPECT_EQ(info.GetString("SyncHostName").value_or(""), platform::ComputerName(15));
    const CDicValueObj* dataclasses = info.Find("SyncedDataclasses");
    ASSERT_NE(dataclasses, nullptr);
    ASSERT_NE(dataclasses->Array(), nullptr);
    EXPECT_TRUE(dataclasses->Array()->empty());
    ExpectRunLeftNothing();
    EndListening();
}

TEST_F(MobileSyncRun, AnAssetManifestAfterTheFinishIsIgnored) {
    CIPhone* phone = SilentPhone();
    ASSERT_NE(phone, nullptr);
    ProgressLog progress;
    CPhotoSync sync(phone, kPhotoLibraryAlbumName, {});
    // The finish reports its stage once it has set it: the run holds there until the reader has
    // dispatched the manifest that follows, so the manifest meets a finished run.
    bool manifestSeen = false;
    sync.SetProgress(progress.Recorder([&](int32_t stage) {
        if (stage != kStageSyncFinished) return;
        manifestSeen = WaitUntil(
            [] { return CiMobileSync::Instance().currentStage() == kStageAssetManifest; });
    }));
    ASSERT_TRUE(sync.Start());
    Queue("SyncAllowed");
    Queue("SyncFinished");
    Queue("AssetManifest", ManifestParams({Text("00000000-0000-0000-0000-000000000067")}));
    EXPECT_EQ(sync.Wait(), SyncOutcome::kDone);
    EXPECT_TRUE(manifestSeen);
    EXPECT_FALSE(progress.Saw(kStageAssetManifest));
    EXPECT_EQ(CiMobileSync::Instance().lastFinishedStage(), 4.0f);
    EXPECT_FALSE(platform::PathExists(Media("Airlock/Photo")));
    ExpectRunLeftNothing();
    EndListening();
}

TEST_F(MobileSyncRun, ARefusingDeviceEndsTheRunAtOnce) {
    CIPhone* phone = SilentPhone();
    ASSERT_NE(phone, nullptr);
    // A limit far beyond the test's own: only the refusal can end this run in time.
    SetPhotoSyncTimeLimit(std::chrono::minutes(10));
    CPhotoSync sync(phone, kPhotoLibraryAlbumName, {});
    ASSERT_TRUE(sync.Start());
    Queue("SyncAllowed");
    Queue("SyncFailed", Dict({{"ErrorCode", CDicValueObj::MakeInteger(12)}}));
    EXPECT_EQ(sync.Wait(), SyncOutcome::kRefused);
    ExpectRunLeftNothing();
    EndListening();
}

TEST_F(MobileSyncRun, ADeviceThatStopsAnsweringEndsTheRunAtTheTimeLimit) {
    CIPhone* phone = SilentPhone();
    ASSERT_NE(phone, nullptr);
    SetPhotoSyncTimeLimit(std::chrono::milliseconds(600));
    int completions = 0;
    SyncOutcome reported = SyncOutcome::kNone;
    CPhotoSync sync(phone, kPhotoLibraryAlbumName, {"/nonexistent/picture.jpg"});
    sync.SetCompletion([&](SyncOutcome outcome) {
        ++completions;
        reported = outcome;
    });
    ASSERT_TRUE(sync.Start());
    EXPECT_EQ(sync.Wait(), SyncOutcome::kTimedOut);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(reported, SyncOutcome::kTimedOut);
    ExpectRunLeftNothing();
    // The next run opens a connection of its own, and the device answers on it.
    EXPECT_EQ(BwSimAirTrafficSetSilent(udid_.c_str(), 0), 0);
    CPhotoSync next(phone, kPhotoLibraryAlbumName, {});
    ASSERT_TRUE(next.Start());
    EXPECT_TRUE(WaitUntil([] { return CiMobileSync::Instance().syncAllowed(); }));
    next.Wait();
    EndListening();
}

TEST_F(MobileSyncRun, ARunThatCannotConnectFailsToStartAndLeavesNothing) {
    CIPhone* phone = SilentPhone();
    ASSERT_NE(phone, nullptr);
    ASSERT_TRUE(sim_.InjectFailure("ATHostConnectionSendHostInfo", nullptr, -1));
    CPhotoSync sync(phone, kPhotoLibraryAlbumName, {});
    SyncOutcome reported = SyncOutcome::kNone;
    sync.SetCompletion([&](SyncOutcome outcome) { reported = outcome; });
    EXPECT_FALSE(sync.Start());
    EXPECT_EQ(reported, SyncOutcome::kStartFailed);
    EXPECT_EQ(sync.Wait(), SyncOutcome::kStartFailed);
    ExpectRunLeftNothing();
    EndListening();
}

}  // namespace mobile_sync_test
}  // namespace bw::testing
