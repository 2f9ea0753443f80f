#include "photo_library.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>

#include "common/plist_tree.h"
#include "media_library.h"
#include "photos.h"
#include "seeded_random.h"

namespace bw::sim {
namespace {

// The camera roll as the user made it, oldest first, in DCIM/100APPLE: photos held every way
// up, a screenshot, two videos, and a row whose file was deleted behind the library's back.
struct CameraRollRow {
    const char* fileName;
    AssetKind kind;
    int width, height, orientation;
    AssetCache cache;
    bool fileMissing;
    double duration;
};

constexpr CameraRollRow kCameraRoll[] = {
    {"IMG_0001.JPG", AssetKind::Photo, 640, 480, 1, AssetCache::StandardAndSized, false, 0},
    {"IMG_0002.JPG", AssetKind::Photo, 640, 480, 3, AssetCache::StandardAndSized, false, 0},
    {"IMG_0003.JPG", AssetKind::Photo, 480, 640, 1, AssetCache::None, false, 0},
    {"IMG_0004.JPG", AssetKind::Photo, 640, 480, 6, AssetCache::Standard, false, 0},
    {"IMG_0005.JPG", AssetKind::Photo, 640, 480, 8, AssetCache::Standard, false, 0},
    {"IMG_0006.PNG", AssetKind::Screenshot, 320, 480, 1, AssetCache::Standard, false, 0},
    {"IMG_0007.MOV", AssetKind::Video, 640, 360, 1, AssetCache::Standard, false, 7.4},
    {"IMG_0008.JPG", AssetKind::Photo, 640, 480, 1, AssetCache::None, true, 0},
    {"IMG_0009.JPG", AssetKind::Photo, 480, 640, 1, AssetCache::Standard, false, 0},
    {"IMG_0010.MOV", AssetKind::Video, 360, 640, 1, AssetCache::Standard, false, 3.2},
    {"IMG_0011.JPG", AssetKind::Photo, 640, 480, 1, AssetCache::Standard, false, 0},
};

// Photos synced from the computer's library: no album holds the first two; the synced album
// holds the last two, one of them not yet measured (ZWIDTH and ZHEIGHT 0).
struct SyncedRow {
    const char* originalName;
    int width, height;
    AssetCache cache;
    bool zeroDimensions;
    bool inSyncedAlbum;
};

constexpr SyncedRow kSynced[] = {
    {"Harbour at dusk.jpg", 640, 480, AssetCache::Standard, false, false},
    {"Lighthouse.jpg", 480, 640, AssetCache::None, false, false},
    {"Ferry.jpg", 640, 480, AssetCache::Standard, true, true},
    {"Old town.jpg", 640, 428, AssetCache::None, false, true},
};

constexpr int kStreamPhotos = 3;
// Scaled photos reuse the bytes of this many drawings (their dates written into each copy).
constexpr int kScaledTemplates = 24;

constexpr char kSyncFolder[] = "PhotoData/Sync/100SYNCD";
constexpr char kSyncedAlbumTitle[] = "Été à Zürich";

// Saved asset types: how the asset came to the phone.
constexpr int kSavedBySync = 2;
constexpr int kSavedByCamera = 3;
constexpr int kSavedFromStream = 5;

const char* Extension(AssetKind kind) {
    return kind == AssetKind::Video ? ".MOV" : kind == AssetKind::Screenshot ? ".PNG" : ".JPG";
}

std::string Uuid(SeededRandom& random) {
    std::string bytes;
    for (int i = 0; i < 16; ++i)
        bytes += static_cast<char>(random.Below(256));
    return bytes;
}

std::string NumberedName(const char* stem, int number, AssetKind kind) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%04d%s", stem, number, Extension(kind));
    return name;
}

class LibraryPlanner {
  public:
    LibraryPlanner(const DeviceIdentity& identity, const ImageOptions& options)
        : identity_(identity),
          options_(options),
          dates_(options.seed, "camera-roll"),
          uuids_(options.seed, "photo-uuids") {
        library_.major = identity.release->major;
        library_.writeAheadLog = library_.major >= 7;
    }

    PhotoLibrary Plan() {
        const std::vector<int64_t> synced = Synced();
        std::vector<int64_t> roll = CameraRoll();
        const std::vector<int64_t> scaled = Scaled(static_cast<int>(roll.size()));
        roll.insert(roll.end(), scaled.begin(), scaled.end());
        const std::vector<int64_t> stream = Stream();

        const auto keyOf = [&roll](int number) { return roll[static_cast<size_t>(number - 1)]; };
        // iOS 6 leaves the camera roll's title empty; the others name it.
        AddAlbum(1000, library_.major == 6 ? "" : "Camera Roll", roll);
        AddAlbum(2, "Best of", {keyOf(2), keyOf(5), keyOf(11)});
        AddAlbum(2, "Trips", {});
        AddAlbum(1550, kSyncedAlbumTitle, {synced[2], synced[3]});
        AddAlbum(1500, "My Photo Stream", stream).inWriteAheadLog = library_.writeAheadLog;
        return std::move(library_);
    }

  private:
    // Synced a year ago, in the order the computer's library sent them.
    std::vector<int64_t> Synced() {
        std::vector<int64_t> keys;
        int64_t taken = identity_.now - 400 * 86400;
        for (size_t i = 0; i < std::size(kSynced); ++i) {
            const SyncedRow& row = kSynced[i];
            taken += dates_.Between(86400, 30 * 86400);
            LibraryAsset& asset =
                Add(AssetKind::Photo, kSyncFolder,
                    NumberedName("IMG_", static_cast<int>(i) + 1, AssetKind::Photo), row.width,
                    row.height, taken);
            asset.originalName = row.originalName;
            asset.cache = row.cache;
            asset.zeroDimensions = row.zeroDimensions;
            asset.savedType = kSavedBySync;
            asset.drawing = 200 + static_cast<int>(i);
            keys.push_back(asset.key);
        }
        return keys;
    }

    // Taken one after another in the weeks before the image's time.
    std::vector<int64_t> CameraRoll() {
        std::vector<int64_t> keys;
        lastTaken_ = identity_.now - 28 * 86400;
        int ordinal = 0;
        for (const CameraRollRow& row : kCameraRoll) {
            lastTaken_ += dates_.Between(3600, 2 * 86400);
            LibraryAsset& asset = Add(row.kind, CameraRollFolder(ordinal), row.fileName, row.width,
                                      row.height, lastTaken_);
            asset.orientation = row.orientation;
            asset.cache = row.cache;
            asset.fileMissing = row.fileMissing;
            asset.duration = row.duration;
            asset.savedType = kSavedByCamera;
            asset.drawing = ++ordinal;
            keys.push_back(asset.key);
        }
        return keys;
    }

    // The scale's photos fill the days between the last photo and the image's time, named on
    // from the camera roll's `ordinal` files.
    std::vector<int64_t> Scaled(int ordinal) {
        std::vector<int64_t> keys;
        const int count = (options_.scale - 1) * kPhotosPerScaleStep;
        const int64_t spacing =
            std::max<int64_t>(1, (identity_.now - 7200 - lastTaken_) / (count + 1));
        for (int i = 0; i < count; ++i, ++ordinal) {
            const int number = ordinal % 9999 + 1;  // names wrap after IMG_9999, folders do not
            const bool portrait = i % 4 == 3;
            LibraryAsset& asset =
                Add(AssetKind::Photo, CameraRollFolder(ordinal),
                    NumberedName("IMG_", number, AssetKind::Photo), portrait ? 240 : 320,
                    portrait ? 320 : 240, lastTaken_ + (i + 1) * spacing);
            asset.cache = i % 3 == 0 ? AssetCache::Standard : AssetCache::None;
            asset.savedType = kSavedByCamera;
            asset.drawing = -1 - (i % kScaledTemplates);  // a template
            keys.push_back(asset.key);
        }
        return keys;
    }

    // Photos from the user's other device, saved last (on iOS 7: only in the store's log).
    std::vector<int64_t> Stream() {
        std::vector<int64_t> keys;
        const std::string streamId = SeededRandom(options_.seed, "photo-stream").Digits(10);
        int64_t taken = identity_.now - 3 * 86400;
        for (int i = 0; i < kStreamPhotos; ++i) {
            taken += dates_.Between(600, 7200);
            LibraryAsset& asset =
                Add(AssetKind::Photo, std::string("PhotoStreamsData/") + streamId + "/100APPLE",
                    NumberedName("IMG_", 101 + i, AssetKind::Photo), 640, 480, taken);
            asset.cache = i == 0 ? AssetCache::Standard : AssetCache::None;
            asset.savedType = kSavedFromStream;
            asset.drawing = 300 + i;
            asset.inWriteAheadLog = library_.writeAheadLog;
            keys.push_back(asset.key);
        }
        return keys;
    }

    LibraryAsset& Add(AssetKind kind, const std::string& directory, const std::string& fileName,
                      int width, int height, int64_t taken) {
        LibraryAsset asset;
        asset.key = static_cast<int64_t>(library_.assets.size()) + 1;
        asset.kind = kind;
        asset.directory = directory;
        asset.fileName = fileName;
        asset.title = fileName.substr(0, fileName.rfind('.'));
        asset.originalName = fileName;
        asset.width = width;
        asset.height = height;
        asset.taken = taken;
        // A fraction below one half, so that rounding and truncation of the date agree.
        const double fraction = static_cast<double>(dates_.Between(1, 4)) / 10.0;
        asset.created = static_cast<double>(taken - kCoreDataEpoch) + fraction;
        asset.modified = asset.created + static_cast<double>(dates_.Between(0, 600));
        asset.thumbnailIndex = asset.key - 1;
        asset.uuid = Uuid(uuids_);
        library_.assets.push_back(std::move(asset));
        return library_.assets.back();
    }

    LibraryAlbum& AddAlbum(int kind, std::string title, std::vector<int64_t> assets) {
        LibraryAlbum album;
        album.key = static_cast<int64_t>(library_.albums.size()) + 1;
        album.kind = kind;
        album.title = std::move(title);
        album.uuid = Uuid(uuids_);
        album.assets = std::move(assets);
        library_.albums.push_back(std::move(album));
        return library_.albums.back();
    }

    const DeviceIdentity& identity_;
    const ImageOptions& options_;
    SeededRandom dates_;
    SeededRandom uuids_;
    PhotoLibrary library_;
    int64_t lastTaken_ = 0;  // of the camera roll's last photo
};

// A QuickTime movie as the camera writes it: "ftyp" with the "qt  " brand, the movie header,
// one video track header with the frame size, then the media data.
std::string QuickTimeMovie(const LibraryAsset& asset, SeededRandom& random) {
    constexpr uint32_t kTimescale = 600;
    constexpr int64_t kSince1904 = 2082844800;
    const auto time = static_cast<uint32_t>(asset.taken + kSince1904);
    const auto duration = static_cast<uint32_t>(std::lround(asset.duration * kTimescale));
    std::string matrix;
    for (const uint32_t value : {0x00010000U, 0U, 0U, 0U, 0x00010000U, 0U, 0U, 0U, 0x40000000U})
        matrix += BigEndian32(value);
    const std::string movieHeader =
        BigEndian32(0) + BigEndian32(time) + BigEndian32(time) + BigEndian32(kTimescale) +
        BigEndian32(duration) + BigEndian32(0x00010000) + std::string("\x01\x00", 2) +
        std::string(10, '\0') + matrix + std::string(24, '\0') + BigEndian32(2);
    const std::string trackHeader =
        BigEndian32(0x00000003) + BigEndian32(time) + BigEndian32(time) + BigEndian32(1) +
        BigEndian32(0) + BigEndian32(duration) + std::string(8, '\0') + std::string(8, '\0') +
        matrix + BigEndian32(static_cast<uint32_t>(asset.width) << 16) +
        BigEndian32(static_cast<uint32_t>(asset.height) << 16);
    std::string data(static_cast<size_t>(random.Between(2000, 5000)), '\0');
    for (char& byte : data)
        byte = static_cast<char>(random.Below(256));
    return Mp4Box("ftyp", std::string("qt  ") + BigEndian32(0x20050300) + "qt  ") +
           Mp4Box("moov",
                  Mp4Box("mvhd", movieHeader) + Mp4Box("trak", Mp4Box("tkhd", trackHeader))) +
           Mp4Box("mdat", data);
}

// Writes the files and thumbnails of the plan, and the sizes and cache paths into it.
class LibraryFiles {
  public:
    LibraryFiles(ImageWriter& writer, const ImageOptions& options, PhotoLibrary& library)
        : writer_(writer), options_(options), library_(library), movies_(options.seed, "movies") {}

    bool Write() {
        for (LibraryAsset& asset : library_.assets) {
            std::string bytes, thumbnail;
            if (!Render(asset, bytes, thumbnail)) return false;
            asset.size = bytes.size();
            if (!asset.fileMissing &&
                !writer_.File(std::string("/var/mobile/Media/") + asset.Path(), bytes, asset.taken))
                return false;
            if (asset.cache == AssetCache::None || asset.fileMissing) continue;
            // The phone makes a thumbnail when the photo is first shown, a little later.
            const int64_t shown = asset.taken + 60;
            asset.thumbnail = ThumbnailCachePath(library_.major, asset);
            if (!writer_.File(std::string("/var/mobile/Media/") + asset.thumbnail, thumbnail,
                              shown))
                return false;
            if (asset.cache == AssetCache::StandardAndSized && library_.major < 7 &&
                asset.kind != AssetKind::Video) {
                asset.sizedThumbnail = asset.thumbnail + "_a";
                if (!writer_.File(std::string("/var/mobile/Media/") + asset.sizedThumbnail,
                                  thumbnail, shown))
                    return false;
            }
        }
        return true;
    }

  private:
    PhotoSpec Spec(const LibraryAsset& asset, int drawing) const {
        const DeviceIdentity& identity = writer_.identity();
        PhotoSpec spec;
        spec.width = asset.width;
        spec.height = asset.height;
        spec.seed = options_.seed;
        spec.index = drawing;
        spec.model =
            asset.savedType == kSavedBySync ? "Canon EOS 600D" : identity.release->marketingName;
        spec.software = asset.savedType == kSavedBySync ? "Photos 1.0" : identity.release->version;
        spec.takenLocal = ExifDateTime(asset.taken, identity.region->offsetFromUtc);
        spec.orientation = asset.orientation;
        return spec;
    }

    bool Render(const LibraryAsset& asset, std::string& bytes, std::string& thumbnail) {
        std::string error;
        if (asset.drawing < 0) return Template(asset, bytes, thumbnail);
        const PhotoSpec spec = Spec(asset, asset.drawing);
        std::string* const cached = asset.cache != AssetCache::None ? &thumbnail : nullptr;
        bool made = true;
        if (asset.kind != AssetKind::Video) {
            made = EncodePicture(spec, asset.kind == AssetKind::Screenshot, bytes, cached, error);
        } else {
            bytes = QuickTimeMovie(asset, movies_);
            // The poster frame: a still of the same drawing.
            if (cached != nullptr) made = EncodeThumbnail(spec, thumbnail, error);
        }
        return made || writer_.Fail(error);
    }

    // Scaled photos: a few dozen drawings encoded once; each copy gets its own EXIF dates, which
    // are fixed-length texts in the file's header.
    bool Template(const LibraryAsset& asset, std::string& bytes, std::string& thumbnail) {
        const size_t index = static_cast<size_t>(-1 - asset.drawing);
        if (templates_.empty()) templates_.resize(kScaledTemplates);
        Encoded& encoded = templates_[index];
        if (encoded.photo.empty()) {
            std::string error;
            encoded.spec = Spec(asset, 400 + static_cast<int>(index));
            if (!EncodePicture(encoded.spec, false, encoded.photo, &encoded.thumbnail, error))
                return writer_.Fail(error);
        }
        bytes = encoded.photo;
        const std::string& from = encoded.spec.takenLocal;
        const std::string to = ExifDateTime(asset.taken, writer_.identity().region->offsetFromUtc);
        for (size_t at = bytes.find(from); at != std::string::npos;
             at = bytes.find(from, at + to.size()))
            bytes.replace(at, from.size(), to);
        thumbnail = encoded.thumbnail;
        return true;
    }

    struct Encoded {
        PhotoSpec spec;
        std::string photo, thumbnail;
    };

    ImageWriter& writer_;
    const ImageOptions& options_;
    PhotoLibrary& library_;
    SeededRandom movies_;
    std::vector<Encoded> templates_;
};

const char* KindName(AssetKind kind) {
    return kind == AssetKind::Video        ? "video"
           : kind == AssetKind::Screenshot ? "screenshot"
                                           : "photo";
}

std::string Manifest(const PhotoLibrary& library, const DeviceIdentity& identity) {
    plist_t albums = plist_new_array();
    for (const LibraryAlbum& album : library.albums) {
        plist_t keys = plist_new_array();
        for (const int64_t key : album.assets)
            plist_array_append_item(keys, plist_new_uint(static_cast<uint64_t>(key)));
        DictBuilder entry;
        entry.Integer("Key", static_cast<uint64_t>(album.key))
            .Integer("Kind", static_cast<uint64_t>(album.kind))
            .Text("Title", album.title)
            .Value("Photos", keys)
            .Flag("InWriteAheadLog", album.inWriteAheadLog);
        plist_array_append_item(albums, entry.Release());
    }
    plist_t photos = plist_new_array();
    for (const LibraryAsset& asset : library.assets) {
        DictBuilder entry;
        entry.Integer("Key", static_cast<uint64_t>(asset.key))
            .Text("Kind", KindName(asset.kind))
            .Text("Path", asset.Path())
            .Flag("Exists", !asset.fileMissing)
            .Integer("Size", asset.size)
            .Integer("Width", static_cast<uint64_t>(asset.width))
            .Integer("Height", static_cast<uint64_t>(asset.height))
            .Integer("RowWidth",
                     static_cast<uint64_t>(asset.zeroDimensions ? 0 : asset.ViewedWidth()))
            .Integer("RowHeight",
                     static_cast<uint64_t>(asset.zeroDimensions ? 0 : asset.ViewedHeight()))
            .Integer("Orientation", static_cast<uint64_t>(asset.orientation))
            .Real("Created", asset.created)
            .Real("Modified", asset.modified)
            .Real("Duration", asset.duration)
            .Text("Title", asset.title)
            .Text("OriginalFileName", asset.originalName)
            .Value("UUID", plist_new_data(asset.uuid.data(), asset.uuid.size()))
            .Flag("InWriteAheadLog", asset.inWriteAheadLog);
        if (!asset.thumbnail.empty()) entry.Text("Thumbnail", asset.thumbnail);
        if (!asset.sizedThumbnail.empty()) entry.Text("SizedThumbnail", asset.sizedThumbnail);
        plist_array_append_item(photos, entry.Release());
    }
    DictBuilder top;
    top.Text("ProductVersion", identity.release->version)
        .Text("Database", kPhotoDatabase)
        .Flag("WriteAheadLog", library.writeAheadLog)
        .Real("ExifOffsetFromUtc", static_cast<double>(identity.region->offsetFromUtc))
        .Value("Albums", albums)
        .Value("Photos", photos);
    const PlistTree tree = top.Take();
    return PlistXml(tree.get());
}

}  // namespace

PhotoLibrary PlanPhotoLibrary(const DeviceIdentity& identity, const ImageOptions& options) {
    return LibraryPlanner(identity, options).Plan();
}

int LibraryAsset::ViewedWidth() const {
    return orientation >= 5 ? height : width;
}

int LibraryAsset::ViewedHeight() const {
    return orientation >= 5 ? width : height;
}

std::string CameraRollFolder(int ordinal) {
    char folder[32];
    std::snprintf(folder, sizeof folder, "DCIM/%03dAPPLE", 100 + ordinal / kFilesPerDcimFolder);
    return folder;
}

std::string ThumbnailCachePath(int major, const LibraryAsset& asset) {
    if (major >= 7) return std::string("PhotoData/Thumbnails/V2/") + asset.Path() + "/5005.JPG";
    if (asset.kind == AssetKind::Video) {
        std::string folder = asset.directory;
        if (const size_t dcim = folder.find("DCIM/"); dcim != std::string::npos)
            folder.erase(dcim, 5);
        return std::string("PhotoData/") + folder + "/" + asset.title + ".THM";
    }
    std::string folder = asset.directory;
    for (const char* mark : {"100APPLE", "101APPLE", "100SYNCD", "100CLOUD"}) {
        if (const size_t at = folder.find(mark); at != std::string::npos) {
            folder.erase(0, at);
            break;
        }
    }
    const int64_t rounded = std::llround(asset.created);
    const auto seconds = static_cast<int64_t>(asset.created) + kCoreDataEpoch;
    return std::string("DCIM/.THMB/") + std::to_string(rounded % 100) + "/" + folder + "___" +
           asset.fileName + std::string(".") + std::to_string(seconds);
}

bool AddPhotoLibrary(ImageWriter& writer, const ImageOptions& options) {
    PhotoLibrary library = PlanPhotoLibrary(writer.identity(), options);
    if (!LibraryFiles(writer, options, library).Write()) return false;
    PhotoDatabaseFiles database;
    std::string error;
    if (!BuildPhotoDatabase(library, options.seed, database, error)) return writer.Fail(error);
    const std::string path = std::string("/var/mobile/Media/") + kPhotoDatabase;
    // The store was last opened an hour ago; in WAL mode its last save went to the log then.
    const int64_t opened = writer.identity().now - 3600;
    if (!writer.File(path, database.main, opened - (library.writeAheadLog ? 86400 : 0)))
        return false;
    if (library.writeAheadLog && (!writer.File(path + "-wal", database.wal, opened) ||
                                  !writer.File(path + "-shm", database.shm, opened)))
        return false;
    return writer.SideFile(kPhotoManifestName, Manifest(library, writer.identity()),
                           writer.identity().now);
}

}  // namespace bw::sim
