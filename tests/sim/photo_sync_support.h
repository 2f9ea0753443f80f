// What the photo sync tests share: a host written from the wire protocol (not the library's
// sync run) that drives the device through the simulator's AirTraffic host library, the sync list
// built with libplist, pictures made with libvips, and the store read from a copy of its files.
#pragma once

#include <plist/plist.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/plist_file.h"
#include "sim/atc_support.h"
#include "sim/sqlite_rows.h"
#include "support/vips_pictures.h"

namespace bw::sim::synctest {

namespace fs = std::filesystem;
using atctest::Ath;
using atctest::Get;
using atctest::Integer;
using mdtest::TakeText;
using mdtest::Text;

// A message read from the device: its name and the message (+1, released here).
class Message {
  public:
    explicit Message(CFDictionaryRef message) : message_(message) {
        if (message_ != nullptr) {
            const CFStringRef name = Ath().ATCFMessageGetName(message_);
            name_ = name != nullptr ? TakeText(CFRetain(name)) : "<no name>";
        }
    }
    ~Message() {
        if (message_ != nullptr) CFRelease(message_);
    }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    Message(Message&& other) noexcept
        : message_(std::exchange(other.message_, nullptr)), name_(std::move(other.name_)) {}

    const std::string& name() const { return name_; }
    CFTypeRef Param(const char* key) const { return Get(Get(message_, "Params"), key); }

  private:
    CFDictionaryRef message_ = nullptr;
    std::string name_ = "<none>";
};

inline std::string CfText(CFTypeRef value) {
    return value != nullptr ? TakeText(CFRetain(value)) : "<null>";
}

// The AssetIDs of an "AssetManifest", in order.
inline std::vector<std::string> ManifestIds(const Message& message) {
    std::vector<std::string> ids;
    const CFTypeRef photos = Get(message.Param("AssetManifest"), "Photo");
    if (photos == nullptr || CFGetTypeID(photos) != CFArrayGetTypeID()) return {"<no array>"};
    const auto array = static_cast<CFArrayRef>(photos);
    for (CFIndex i = 0; i < CFArrayGetCount(array); ++i) {
        const CFTypeRef entry = CFArrayGetValueAtIndex(array, i);
        ids.push_back(CfText(Get(entry, "AssetID")));
        EXPECT_EQ(CfText(Get(entry, "Dataclass")), "Photo");
    }
    return ids;
}

struct ListAsset {
    std::string uuid;
    int64_t modificationDate = 3061152000;  // 2001-01-01
    std::string originalFileName;
};

struct ListAlbum {
    std::string name;
    std::string uuid;
    std::vector<std::string> members;
};

inline constexpr char kMyPictures[] = "00000000-0000-0000-0000-000000000064";

// "PhotoLibrary.plist" as a host writes it: assets, then the albums that list them.
inline std::string SyncList(const std::vector<ListAsset>& assets,
                            const std::vector<ListAlbum>& albums, bool withOriginalNames) {
    plist_t updates = plist_new_array();
    for (const ListAsset& asset : assets) {
        DictBuilder item;
        item.Text("itemType", "Asset")
            .Text("caption", "")
            .Integer("modificationDate", static_cast<uint64_t>(asset.modificationDate))
            .Flag("isVideo", false);
        if (withOriginalNames) item.Text("originalFileName", asset.originalFileName);
        item.Text("uuid", asset.uuid);
        plist_array_append_item(updates, item.Release());
    }
    for (const ListAlbum& album : albums) {
        plist_t members = plist_new_array();
        for (const std::string& member : album.members)
            plist_array_append_item(members, plist_new_string(member.c_str()));
        DictBuilder item;
        item.Text("albumName", album.name)
            .Text("itemType", "Album")
            .Text("uuid", album.uuid)
            .Value("assetUUIDs", members);
        plist_array_append_item(updates, item.Release());
    }
    DictBuilder top;
    top.Text("libraryKind", "Folder").Text("libraryUUID", "F00D").Value("updates", updates);
    const PlistTree tree = top.Take();
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(tree.get(), &bytes, &length);
    std::string binary(bytes, length);
    plist_to_bin_free(bytes);
    return binary;
}

// A JPEG with the EXIF orientation and time taken a camera writes.
inline std::string CameraJpeg(int width, int height, int orientation, const char* taken) {
    testing::StartTestVips();
    const testing::Pixels pixels = testing::Solid(width, height, {200, 40, 40});
    vips::VImage image =
        vips::VImage::new_from_memory(const_cast<uint8_t*>(pixels.bytes.data()),
                                      pixels.bytes.size(), width, height, 3, VIPS_FORMAT_UCHAR);
    image = image.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    image.set("exif-ifd0-Make", "Canon");
    image.set("exif-ifd2-DateTimeOriginal", taken);
    image.set(VIPS_META_ORIENTATION, orientation);
    size_t length = 0;
    void* bytes = nullptr;
    image.write_to_buffer(".jpg", &bytes, &length);
    std::string jpeg(static_cast<const char*>(bytes), length);
    g_free(bytes);
    return jpeg;
}

// The rows of a statement; none (and a failure) when it fails.
inline std::vector<std::vector<SqliteCell>> RowsOf(SqliteFile& store, const std::string& sql) {
    std::optional<std::vector<std::vector<SqliteCell>>> rows = store.Rows(sql);
    EXPECT_TRUE(rows.has_value()) << sql;
    return rows ? std::move(*rows) : std::vector<std::vector<SqliteCell>>{};
}

inline int Version(const std::string& iosVersion) {
    return iosVersion[0] - '0';
}

// The join table of a version: table, album column, asset column, order column.
inline std::vector<std::string> JoinNames(int major) {
    if (major == 5) return {"Z_6ASSETS", "Z_6ALBUMS", "Z_11ASSETS", "Z_FOK_11ASSETS"};
    if (major == 6) return {"Z_8ASSETS", "Z_8ALBUMS", "Z_14ASSETS", "Z_FOK_14ASSETS"};
    return {"Z_11ASSETS", "Z_11ALBUMS", "Z_17ASSETS", "Z_FOK_17ASSETS"};
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class PhotoSyncTest : public atctest::AtcTest {
  protected:
    // Images of the version the test names; 7.1.2 by default.
    void SetUpImage(const std::string& iosVersion) {
        version_ = iosVersion;
        ImageOptions options;
        options.iosVersion = iosVersion;
        image_ = MakeImage(options);
        udid_ = Attach(image_);
    }

    void SetUp() override { mdtest::SimMdTest::SetUp(); }

    void TearDown() override {
        if (connection_ != nullptr) Close(connection_);
        const BwSimCounters counters = mdtest::Counters();
        EXPECT_EQ(counters.afcConnections, 0);
        EXPECT_EQ(counters.afcFiles, 0);
        AtcTest::TearDown();
    }

    std::string Media(const std::string& relative) const {
        return image_ + "/fs/var/mobile/Media/" + relative;
    }

    // The host's opening: connect, keep the connection, announce itself, wait for SyncAllowed.
    void Connect() {
        connection_ = Open();
        ASSERT_NE(connection_, nullptr);
        ASSERT_EQ(Ath().ATHostConnectionRetain(connection_), 0);
        ASSERT_EQ(SendHostInfo(connection_), 0);
        ASSERT_EQ(Next().name(), "SyncAllowed");
    }

    // The next message with a name other than the device's opening ones.
    Message Next() {
        for (;;) {
            Message message(ReadNext(connection_, 40));
            if (message.name() != "InstalledAssets" && message.name() != "AssetMetrics")
                return message;
        }
    }

    // Proves the device queued nothing after its last answer: a marker queued behind any answer
    // comes out first.
    std::string NextAfterMarker() {
        EXPECT_EQ(BwSimAirTrafficQueueMessage(udid_.c_str(), "Marker", nullptr), 1);
        return Next().name();
    }

    int RequestSync(const char* anchor = "0") {
        const CFStringRef photo = Text("Photo"), keybag = Text("Keybag");
        const void* classes[] = {photo, keybag};
        const CFArrayRef dataclasses = CFArrayCreate(nullptr, classes, 2, &kCFTypeArrayCallBacks);
        const CFStringRef anchorText = Text(anchor);
        const void* keys[] = {photo};
        const void* values[] = {anchorText};
        const CFDictionaryRef anchors =
            CFDictionaryCreate(nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                               &kCFTypeDictionaryValueCallBacks);
        const CFDictionaryRef info =
            CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                               &kCFTypeDictionaryValueCallBacks);
        const int status =
            Ath().ATHostConnectionSendSyncRequest(connection_, dataclasses, anchors, info);
        for (CFTypeRef value :
             {static_cast<CFTypeRef>(photo), static_cast<CFTypeRef>(keybag),
              static_cast<CFTypeRef>(dataclasses), static_cast<CFTypeRef>(anchorText),
              static_cast<CFTypeRef>(anchors), static_cast<CFTypeRef>(info)})
            CFRelease(value);
        return status;
    }

    int FinishMetadata(const char* anchor = "1") {
        const CFStringRef photo = Text("Photo"), keybag = Text("Keybag");
        int32_t one = 1;
        const CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &one);
        const void* typeKeys[] = {keybag, photo};
        const void* typeValues[] = {number, number};
        const CFDictionaryRef types =
            CFDictionaryCreate(nullptr, typeKeys, typeValues, 2, &kCFTypeDictionaryKeyCallBacks,
                               &kCFTypeDictionaryValueCallBacks);
        const CFStringRef anchorText = Text(anchor);
        const void* anchorKeys[] = {photo};
        const void* anchorValues[] = {anchorText};
        const CFDictionaryRef anchors =
            CFDictionaryCreate(nullptr, anchorKeys, anchorValues, 1, &kCFTypeDictionaryKeyCallBacks,
                               &kCFTypeDictionaryValueCallBacks);
        const int status =
            Ath().ATHostConnectionSendMetadataSyncFinished(connection_, types, anchors);
        for (CFTypeRef value :
             {static_cast<CFTypeRef>(photo), static_cast<CFTypeRef>(keybag),
              static_cast<CFTypeRef>(number), static_cast<CFTypeRef>(types),
              static_cast<CFTypeRef>(anchorText), static_cast<CFTypeRef>(anchors)})
            CFRelease(value);
        return status;
    }

    // Uploads the list to the device as the host does (the old one deleted first).
    void UploadList(const std::string& bytes) {
        fs::remove(Media("Photos/Sync/PhotoLibrary.plist"));
        WriteFile(Media("Photos/Sync/PhotoLibrary.plist"), bytes);
    }

    // The picture and its upload thumbnail file, where the host puts them.
    void UploadAsset(const std::string& id, const std::string& fileName, const std::string& bytes) {
        WriteFile(Media("Airlock/Photo/" + id + "/" + fileName), bytes);
        WriteFile(Media("Photos/Thumbs/" + id + ".mthmb"), std::string(64, '\x7f'));
    }

    int ReportFile(const std::string& id, bool completed) {
        const CFStringRef asset = Text(id.c_str()), dataclass = Text("Photo");
        const CFStringRef path = Text(("Photos/Thumbs/" + id + ".mthmb").c_str());
        const int status =
            completed
                ? Ath().ATHostConnectionSendAssetCompleted(connection_, asset, dataclass, path)
                : Ath().ATHostConnectionSendFileError(connection_, asset, dataclass, 5);
        CFRelease(asset);
        CFRelease(dataclass);
        CFRelease(path);
        return status;
    }

    // A copy of the store's files (the companions that exist), as a host copies them.
    std::string CopyStore() {
        const std::string copy = folder_ / ("copy" + std::to_string(copies_++));
        fs::create_directories(copy);
        for (const char* suffix : {"", "-wal", "-shm"}) {
            const std::string from = Media(std::string("PhotoData/Photos.sqlite") + suffix);
            if (fs::exists(from)) fs::copy_file(from, copy + "/Photos.sqlite" + suffix);
        }
        return copy + "/Photos.sqlite";
    }

    // The synced library as a host describes it from a copy of the store: every synced asset,
    // the synced albums with their members, and "My Pictures" with the loose ones.
    void CurrentLibrary(std::vector<ListAsset>& assets, std::vector<ListAlbum>& albums) {
        SqliteFile store(CopyStore());
        const std::vector<std::string> join = JoinNames(Version(version_));
        std::set<std::string> inAlbums;
        for (const auto& row : RowsOf(store,
                                      "SELECT Z_PK, ZTITLE, hex(ZUUID) FROM ZGENERICALBUM "
                                      "WHERE ZKIND = 1550 ORDER BY Z_PK")) {
            ListAlbum album{row[1].text, row[2].text, {}};
            album.members = store.Column("SELECT hex(a.ZUUID) FROM " + join[0] +
                                         " j JOIN ZGENERICASSET a ON a.Z_PK = j." + join[2] +
                                         " WHERE j." + join[1] + " = " +
                                         std::to_string(row[0].integer) + " ORDER BY j." + join[3]);
            inAlbums.insert(album.members.begin(), album.members.end());
            albums.push_back(album);
        }
        ListAlbum loose{"My Pictures", kMyPictures, {}};
        for (const auto& row : RowsOf(store,
                                      "SELECT hex(ZUUID), CAST(ZMODIFICATIONDATE AS INTEGER) "
                                      "FROM ZGENERICASSET WHERE ZDIRECTORY LIKE '%Sync%' "
                                      "ORDER BY Z_PK")) {
            assets.push_back({row[0].text, row[1].integer + 3061152000, "x.jpg"});
            if (inAlbums.count(row[0].text) == 0) loose.members.push_back(row[0].text);
        }
        albums.push_back(loose);
    }

    // One whole sync of `list` in which each asset of `uploads` (id -> file name, bytes) is sent.
    // Returns the manifest's ids; the device's last message must be SyncFinished.
    std::vector<std::string> Sync(
        const std::string& list,
        const std::map<std::string, std::pair<std::string, std::string>>& uploads) {
        EXPECT_EQ(RequestSync(), 0);
        EXPECT_EQ(Next().name(), "ReadyForSync");
        UploadList(list);
        EXPECT_EQ(FinishMetadata(), 0);
        const Message manifest = Next();
        EXPECT_EQ(manifest.name(), "AssetManifest");
        const std::vector<std::string> ids = ManifestIds(manifest);
        for (const std::string& id : ids) {
            const auto found = uploads.find(id);
            if (found == uploads.end()) {
                EXPECT_EQ(ReportFile(id, false), 0);
                continue;
            }
            UploadAsset(id, found->second.first, found->second.second);
            EXPECT_EQ(ReportFile(id, true), 0);
        }
        EXPECT_EQ(Next().name(), "SyncFinished");
        return ids;
    }

    std::string version_ = "7.1.2";
    ATHostConnectionRef connection_ = nullptr;
    int copies_ = 0;
};

}  // namespace bw::sim::synctest
