// How the device's photo sync fails: refusal, silence and dropped links at each stage, lists it
// cannot use, and identifiers that try to leave their folders. The store is checked in a copy.
#include "sim/photo_sync_support.h"

namespace bw::sim::synctest {
namespace {

constexpr char kNewId[] = "00000000-0000-0000-0000-000000000067";

class PhotoSyncFailureTest : public PhotoSyncTest {
  protected:
    void SetUp() override {
        PhotoSyncTest::SetUp();
        SetUpImage("7.1.2");
        Connect();
        CurrentLibrary(assets_, albums_);
        assets_.push_back({kNewId, 3061152000 + 1000, "new.jpg"});
        albums_.back().members.push_back(kNewId);
    }

    int64_t AssetCount() {
        SqliteFile store(CopyStore());
        return std::stoll(store.Column("SELECT count(*) FROM ZGENERICASSET").front());
    }

    // Runs the sync up to the manifest and uploads the one new asset.
    void UpToUpload() {
        ASSERT_EQ(RequestSync(), 0);
        ASSERT_EQ(Next().name(), "ReadyForSync");
        UploadList(SyncList(assets_, albums_, true));
        ASSERT_EQ(FinishMetadata(), 0);
        const Message manifest = Next();
        ASSERT_EQ(ManifestIds(manifest), std::vector<std::string>{kNewId});
        UploadAsset(kNewId, "new.jpg", CameraJpeg(20, 20, 1, "2013:01:01 00:00:00"));
    }

    std::vector<ListAsset> assets_;
    std::vector<ListAlbum> albums_;
};

TEST_F(PhotoSyncFailureTest, RefusingDeviceAnswersSyncFailed12AndChangesNothing) {
    const int64_t before = AssetCount();
    ASSERT_EQ(BwSimPhotoSyncSetRefuse(udid_.c_str(), 1), 0);
    ASSERT_EQ(RequestSync(), 0);
    EXPECT_EQ(BwSimPhotoSyncWaitStage(udid_.c_str(), 1, 5000), 0);
    const Message failed = Next();
    ASSERT_EQ(failed.name(), "SyncFailed");
    EXPECT_EQ(Integer(failed.Param("ErrorCode")), 12);
    // Metadata after a refusal belongs to no sync: no manifest.
    UploadList(SyncList(assets_, albums_, true));
    ASSERT_EQ(FinishMetadata(), 0);
    EXPECT_EQ(NextAfterMarker(), "Marker");
    EXPECT_EQ(AssetCount(), before);

    ASSERT_EQ(BwSimPhotoSyncSetRefuse(udid_.c_str(), 0), 0);
    ASSERT_EQ(RequestSync(), 0);
    EXPECT_EQ(Next().name(), "ReadyForSync");
}

TEST_F(PhotoSyncFailureTest, StalledDeviceSendsNothingAfterEachStage) {
    const int64_t before = AssetCount();
    ASSERT_EQ(BwSimPhotoSyncSetStall(udid_.c_str(), 1), 0);
    ASSERT_EQ(RequestSync(), 0);
    ASSERT_EQ(BwSimPhotoSyncWaitStage(udid_.c_str(), 1, 5000), 0);
    EXPECT_EQ(NextAfterMarker(), "Marker");

    ASSERT_EQ(BwSimPhotoSyncSetStall(udid_.c_str(), 2), 0);
    ASSERT_EQ(RequestSync(), 0);
    ASSERT_EQ(Next().name(), "ReadyForSync");
    UploadList(SyncList(assets_, albums_, true));
    ASSERT_EQ(FinishMetadata(), 0);
    ASSERT_EQ(BwSimPhotoSyncWaitStage(udid_.c_str(), 2, 5000), 0);
    EXPECT_EQ(NextAfterMarker(), "Marker");

    // Stage 3: every file reported, nothing applied, the upload left where it was.
    ASSERT_EQ(BwSimPhotoSyncSetStall(udid_.c_str(), 3), 0);
    UpToUpload();
    ASSERT_EQ(ReportFile(kNewId, true), 0);
    ASSERT_EQ(BwSimPhotoSyncWaitStage(udid_.c_str(), 3, 5000), 0);
    EXPECT_EQ(NextAfterMarker(), "Marker");
    EXPECT_EQ(AssetCount(), before);
    EXPECT_TRUE(fs::exists(Media(std::string("Airlock/Photo/") + kNewId + "/new.jpg")));

    // Stage 4: applied, but no SyncFinished.
    ASSERT_EQ(BwSimPhotoSyncSetStall(udid_.c_str(), 4), 0);
    UpToUpload();
    ASSERT_EQ(ReportFile(kNewId, true), 0);
    ASSERT_EQ(BwSimPhotoSyncWaitStage(udid_.c_str(), 4, 5000), 0);
    EXPECT_EQ(NextAfterMarker(), "Marker");
    EXPECT_EQ(AssetCount(), before + 1);
}

class PhotoSyncLeaveTest : public PhotoSyncFailureTest,
                           public ::testing::WithParamInterface<int> {};

TEST_P(PhotoSyncLeaveTest, DeviceDropsTheLinkInsteadOfItsAnswer) {
    const int stage = GetParam();
    const int64_t before = AssetCount();
    ASSERT_EQ(BwSimPhotoSyncSetLeave(udid_.c_str(), stage), 0);
    if (stage == 1) {
        ASSERT_EQ(RequestSync(), 0);
    } else if (stage == 2) {
        ASSERT_EQ(RequestSync(), 0);
        ASSERT_EQ(Next().name(), "ReadyForSync");
        UploadList(SyncList(assets_, albums_, true));
        ASSERT_EQ(FinishMetadata(), 0);
    } else {
        UpToUpload();
        ASSERT_EQ(ReportFile(kNewId, true), 0);
    }
    EXPECT_EQ(BwSimPhotoSyncWaitStage(udid_.c_str(), stage, 5000), 0);
    EXPECT_EQ(Next().name(), "ConnectionInvalid");
    // Leaving before applying changes nothing; leaving at the last answer, after.
    EXPECT_EQ(AssetCount(), before + (stage == 4 ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(EachStage, PhotoSyncLeaveTest, ::testing::Values(1, 2, 3, 4));

TEST_F(PhotoSyncFailureTest, UnusableListsAnswerSyncFailed23) {
    const auto expectFailure = [&](const std::string* list, const char* what) {
        ASSERT_EQ(RequestSync(), 0);
        ASSERT_EQ(Next().name(), "ReadyForSync");
        fs::remove(Media("Photos/Sync/PhotoLibrary.plist"));
        if (list != nullptr) UploadList(*list);
        ASSERT_EQ(FinishMetadata(), 0);
        const Message failed = Next();
        EXPECT_EQ(failed.name(), "SyncFailed") << what;
        EXPECT_EQ(Integer(failed.Param("ErrorCode")), 23) << what;
    };
    const int64_t before = AssetCount();
    expectFailure(nullptr, "missing");
    const std::string garbage = "bplist00\x01\x02 not really";
    expectFailure(&garbage, "garbage");
    const std::string xmlArray = "<?xml version=\"1.0\"?><plist version=\"1.0\"><array/></plist>";
    expectFailure(&xmlArray, "no dictionary");
    const std::string wrongUpdates =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>libraryKind</key>"
        "<string>Folder</string><key>updates</key><string>x</string></dict></plist>";
    expectFailure(&wrongUpdates, "updates no array");
    std::vector<ListAsset> hostile = assets_;
    hostile.push_back({"../x", 3061152000, "x.jpg"});
    const std::string hostileList = SyncList(hostile, albums_, true);
    expectFailure(&hostileList, "an identifier with a path in it");
    const std::string wrongType = SyncList(assets_, {{"A", "B", {"not hex"}}}, true);
    expectFailure(&wrongType, "an album member that is no identifier");
    EXPECT_FALSE(fs::exists(Media("Airlock/x")));
    EXPECT_EQ(AssetCount(), before);

    // An XML list of the same content is as good as a binary one.
    ASSERT_EQ(RequestSync(), 0);
    ASSERT_EQ(Next().name(), "ReadyForSync");
    const PlistTree tree = [&] {
        plist_t parsed = nullptr;
        const std::string binary = SyncList(assets_, albums_, true);
        plist_from_bin(binary.data(), static_cast<uint32_t>(binary.size()), &parsed);
        return PlistTree(parsed);
    }();
    UploadList(PlistXml(tree.get()));
    ASSERT_EQ(FinishMetadata(), 0);
    EXPECT_EQ(ManifestIds(Next()), std::vector<std::string>{kNewId});
}

TEST_F(PhotoSyncFailureTest, ReportsOfIdentifiersNeverRequestedAreIgnored) {
    UpToUpload();
    // A picture and an upload thumbnail where "../x" would lead.
    const std::string bait = CameraJpeg(20, 20, 1, "2013:01:01 00:00:00");
    WriteFile(Media("Airlock/x/bait.jpg"), bait);
    WriteFile(Media("Photos/x.mthmb"), "thumbnail");
    ASSERT_EQ(ReportFile("../x", true), 0);
    ASSERT_EQ(ReportFile("00000000-0000-0000-0000-000000000099", false), 0);
    EXPECT_EQ(NextAfterMarker(), "Marker");  // still waiting for the requested one
    ASSERT_EQ(ReportFile(kNewId, true), 0);
    EXPECT_EQ(Next().name(), "SyncFinished");
    EXPECT_EQ(ReadFile(Media("Airlock/x/bait.jpg")), bait);
    EXPECT_TRUE(fs::exists(Media("Photos/x.mthmb")));
    SqliteFile store(CopyStore());
    EXPECT_EQ(store.Column("SELECT count(*) FROM ZGENERICASSET WHERE hex(ZUUID) = "
                           "'00000000000000000000000000000067'"),
              std::vector<std::string>{"1"});
}

TEST_F(PhotoSyncFailureTest, FailedAssetIsNotAddedButTheSyncFinishes) {
    const int64_t before = AssetCount();
    UpToUpload();
    ASSERT_EQ(ReportFile(kNewId, false), 0);
    EXPECT_EQ(Next().name(), "SyncFinished");
    EXPECT_EQ(AssetCount(), before);
    // The device cleans up what the host uploaded for it either way.
    EXPECT_FALSE(fs::exists(Media(std::string("Airlock/Photo/") + kNewId)));
    EXPECT_FALSE(fs::exists(Media(std::string("Photos/Thumbs/") + kNewId + ".mthmb")));
}

TEST_F(PhotoSyncFailureTest, HostThatGivesUpEndsTheSyncWithNothingApplied) {
    const int64_t before = AssetCount();
    UpToUpload();
    ASSERT_EQ(Ath().ATHostConnectionSendSyncFailed(connection_, 5), 0);
    ASSERT_EQ(ReportFile(kNewId, true), 0);
    EXPECT_EQ(NextAfterMarker(), "Marker");
    EXPECT_EQ(AssetCount(), before);
}

TEST_F(PhotoSyncFailureTest, ControlCallsCheckTheirArguments) {
    EXPECT_EQ(BwSimPhotoSyncSetStall(udid_.c_str(), 5), -1);
    EXPECT_EQ(BwSimPhotoSyncSetLeave(udid_.c_str(), -1), -1);
    EXPECT_EQ(BwSimPhotoSyncWaitStage(udid_.c_str(), 0, 10), -1);
    EXPECT_EQ(BwSimPhotoSyncSetRefuse("no-such-device", 1), -1);
    EXPECT_NE(std::string(BwSimLastError()), "");
    // No sync ran on this link: stage 1 is not reached.
    EXPECT_EQ(BwSimPhotoSyncWaitStage(udid_.c_str(), 1, 0), -1);
}

}  // namespace
}  // namespace bw::sim::synctest
