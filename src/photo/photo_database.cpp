#include "photo/photo_database.h"

#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "platform/files.h"

namespace bw {

namespace {

constexpr PhotoSchema kIos5Schema{"Z_6ASSETS", "Z_6ALBUMS", "Z_11ASSETS", false};
constexpr PhotoSchema kIos6Schema{"Z_8ASSETS", "Z_8ALBUMS", "Z_14ASSETS", false};
constexpr PhotoSchema kIos7Schema{"Z_11ASSETS", "Z_11ALBUMS", "Z_17ASSETS", true};

constexpr char kAllPhotosTitle[] = "PhotoAlbumType All";
constexpr char kPhotoStreamTitle[] = "Photo Stream";
constexpr char kCameraRollTitle[] = "CameraRoll";
constexpr char kVideoTitle[] = "Video";
constexpr char kLibraryAlbumName[] = "Photo Library";

// The rows of a query that ran to its end; a failed query adds nothing.
std::vector<TableRow> Rows(std::string_view sql) {
    if (!QueryToTable(sql)) return {};
    return TakeResultTable().rows;
}

const TableCell* Cell(const TableRow& row, size_t index) {
    return index < row.size() ? &row[index] : nullptr;
}

bool IntegerCell(const TableRow& row, size_t index, int32_t& value) {
    const TableCell* cell = Cell(row, index);
    if (cell == nullptr || cell->type != kCellInteger) return false;
    value = static_cast<int32_t>(cell->intValue);
    return true;
}

std::string TextCell(const TableRow& row, size_t index) {
    const TableCell* cell = Cell(row, index);
    return cell != nullptr && cell->type == kCellText ? cell->text : std::string();
}

// The first row's integer in column 0, else 0.
int32_t FirstKey(std::string_view sql) {
    const std::vector<TableRow> rows = Rows(sql);
    int32_t key = 0;
    if (!rows.empty()) IntegerCell(rows.front(), 0, key);
    return key;
}

// A date cell: a float above 0 as it is; otherwise an integer cell converted; otherwise 0.
double DateCell(const TableRow& row, size_t index) {
    const TableCell* cell = Cell(row, index);
    if (cell == nullptr) return 0.0;
    const double taken = cell->type == kCellFloat ? cell->floatValue : 0.0;
    if (taken > 0) return taken;
    return cell->type == kCellInteger ? static_cast<double>(cell->int64Value) : 0.0;
}

std::string CreationTimeText(double seconds) {
    const long long rounded =
        std::isfinite(seconds) && std::fabs(seconds) < 1e15 ? std::llround(seconds) : 0;
    char text[8];
    std::snprintf(text, sizeof text, "%02d", static_cast<int>(rounded % 100));
    return text;
}

std::string Decimal(int64_t value) {
    return std::to_string(value);
}

}  // namespace

std::string UuidFromCell(const TableCell& cell) {
    if (cell.type != kCellBlob) return kZeroUuid;
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(cell.text.size() * 2);
    for (unsigned char byte : cell.text) {
        hex += kHex[byte >> 4];
        hex += kHex[byte & 15];
    }
    if (hex.size() < 11) return kZeroUuid;
    // Groups past the end of a short blob stay empty.
    const auto group = [&hex](size_t start, size_t length) {
        return start < hex.size() ? hex.substr(start, length) : std::string();
    };
    return group(0, 8) + "-" + group(8, 4) + "-" + group(12, 4) + "-" + group(16, 4) + "-" +
           group(20, std::string::npos);
}

AbstractPhotoSqliteDB::AbstractPhotoSqliteDB(PhotoContext context, std::string databasePath)
    : context_(std::move(context)), databasePath_(std::move(databasePath)) {}

PhotoSqliteReader::PhotoSqliteReader(PhotoContext context, std::string databasePath,
                                     PhotoSchema schema)
    : AbstractPhotoSqliteDB(std::move(context), std::move(databasePath)), schema_(schema) {}

bool PhotoSqliteReader::OpenExisting() const {
    // Opening creates a missing file; a device without a library has none to read.
    return platform::IsPlainFile(databasePath_) && OpenDatabase(databasePath_);
}

PhotoRef PhotoSqliteReader::NewPhoto(int32_t assetKey) const {
    return std::make_shared<CPhoto>(assetKey, context_);
}

std::string PhotoSqliteReader::QueryHead(bool upperCase) const {
    std::string head = upperCase ? "SELECT" : "select";
    head +=
        " a.ZSAVEDASSETTYPE,a.ZTHUMBNAILINDEX,a.ZDATECREATED,a.ZMODIFICATIONDATE,"
        "a.ZUNIFORMTYPEIDENTIFIER,";
    head += "b.ZEMBEDDEDTHUMBNAILHEIGHT,b.ZEMBEDDEDTHUMBNAILLENGTH,b.ZEMBEDDEDTHUMBNAILOFFSET,";
    head += schema_.ios7 ? "b.ZEMBEDDEDTHUMBNAILWIDTH,b.ZORIGINALORIENTATION,a.ZDIRECTORY,"
                           "a.ZFILENAME,b.ZORIGINALFILENAME,"
                         : "b.ZEMBEDDEDTHUMBNAILWIDTH,b.ZORIGINALORIENTATION,a.ZDIRECTORY,"
                           "a.ZFILENAME,a.ZTITLE,";
    return head;
}

std::string PhotoSqliteReader::FullColumnTail() const {
    return schema_.ios7 ? "b.ZORIGINALFILESIZE,b.ZORIGINALHEIGHT,b.ZORIGINALWIDTH,a.Z_PK,a.ZUUID,"
                          "a.ZKINDSUBTYPE"
                        : "b.ZORIGINALFILESIZE,b.ZORIGINALHEIGHT,b.ZORIGINALWIDTH,a.Z_PK,a.ZUUID,"
                          "a.ZKIND";
}

void PhotoSqliteReader::FillPhoto(CPhoto& photo, const TableRow& row) const {
    IntegerCell(row, 0, photo.savedAssetType);
    IntegerCell(row, 1, photo.thumbnailIndex);
    photo.creationTime = DateCell(row, 2);
    photo.modificationTime = DateCell(row, 3);
    photo.creationTimeText = CreationTimeText(photo.creationTime);
    IntegerCell(row, 5, photo.embeddedThumbnailHeight);
    IntegerCell(row, 6, photo.embeddedThumbnailLength);
    IntegerCell(row, 7, photo.embeddedThumbnailOffset);
    IntegerCell(row, 8, photo.embeddedThumbnailWidth);
    int32_t orientation = 1;
    IntegerCell(row, 9, orientation);
    // Only the four upright-or-rotated values are shown; mirrored ones count as upright.
    photo.orientation = orientation == 3 || orientation == 6 || orientation == 8 ? orientation : 1;
    photo.directory = TextCell(row, 10);
    photo.fileName = TextCell(row, 11);
    photo.title = TextCell(row, 12);
    const TableCell* size = Cell(row, 13);
    photo.fileSize = size != nullptr && size->type == kCellInteger ? size->int64Value : 0;
    IntegerCell(row, 14, photo.height);
    IntegerCell(row, 15, photo.width);
    const TableCell* uuid = Cell(row, 17);
    photo.uuid = uuid != nullptr ? UuidFromCell(*uuid) : kZeroUuid;
    if (schema_.ios7) {
        const bool movie = TextCell(row, 4).find("quicktime-movie") != std::string::npos;
        photo.videoFlag = movie ? 1 : 0;
        if (movie) photo.movieFlag = 1;
        IntegerCell(row, 18, photo.kindSubtype);
    } else {
        int32_t kind = 0;
        photo.videoFlag = IntegerCell(row, 18, kind) && kind == 1 ? 1 : 0;
    }
}

void PhotoSqliteReader::RefreshNewestAssetOnOpenDatabase() {
    const std::vector<TableRow> rows = Rows(
        "SELECT Z_PK,ZUUID FROM ZGENERICASSET WHERE Z_PK = (SELECT MAX(Z_PK) FROM "
        "ZGENERICASSET)");
    if (rows.empty()) return;
    IntegerCell(rows.front(), 0, newestAssetKey_);
    const TableCell* uuid = Cell(rows.front(), 1);
    if (uuid != nullptr && uuid->type == kCellBlob && !uuid->text.empty()) {
        newestAssetUuid_ = UuidFromCell(*uuid);
    }
}

void PhotoSqliteReader::RefreshNewestAsset(int32_t) {
    if (!OpenExisting()) return;
    RefreshNewestAssetOnOpenDatabase();
    CloseDatabase();
}

int32_t PhotoSqliteReader::PhotoStreamKey() const {
    return FirstKey(
        "SELECT Z_PK FROM ZGENERICALBUM WHERE Z_ENT=(SELECT Z_ENT FROM Z_PRIMARYKEY WHERE Z_NAME "
        "='PhotoStreamAlbum')");
}

std::unique_ptr<CPhotoAlbum> PhotoSqliteReader::BuildPhotoStreamAlbum() {
    const int32_t key = PhotoStreamKey();
    auto album = std::make_unique<CPhotoAlbum>(kPhotoStreamTitle, key, kAlbumTypePhotoStream);
    if (key <= 0) return album;
    const std::string sql = QueryHead(false) + FullColumnTail() +
                            " from ZGENERICASSET AS a,ZADDITIONALASSETATTRIBUTES as b WHERE "
                            "a.ZADDITIONALATTRIBUTES==b.Z_PK AND a.Z_PK IN (SELECT " +
                            schema_.assetColumn + " FROM " + schema_.joinTable + " WHERE " +
                            schema_.albumColumn + "=" + Decimal(key) + ")";
    for (const TableRow& row : Rows(sql)) {
        int32_t assetKey = 0;
        IntegerCell(row, 16, assetKey);
        PhotoRef photo = NewPhoto(assetKey);
        photo->albumName = kPhotoStreamTitle;
        photo->albumKey = key;
        photo->albumType = kAlbumTypePhotoStream;
        FillPhoto(*photo, row);
        album->Append(photo);
    }
    return album;
}

void PhotoSqliteReader::GetPhotoStreamPhotos(std::vector<PhotoRef>& photos) {
    if (!OpenExisting()) return;
    const std::unique_ptr<CPhotoAlbum> album = BuildPhotoStreamAlbum();
    CloseDatabase();
    for (PhotoRef& photo : album->PhotoRefs())
        photos.push_back(std::move(photo));
}

void PhotoSqliteReader::GetAlbums(AlbumList& albums, bool includeCameraRoll) {
    if (!OpenExisting()) return;
    GetAlbumsOnOpenDatabase(albums, includeCameraRoll, 0);
    CloseDatabase();
}

void PhotoSqliteReader::GetAlbumsOnOpenDatabase(AlbumList& albums, bool includeCameraRoll,
                                                int32_t) {
    const std::vector<TableRow> albumRows = Rows(
        includeCameraRoll ? "SELECT Z_PK,ZKIND,ZTITLE,ZUUID FROM ZGENERICALBUM WHERE  (ZKIND=1000 "
                            "OR ZKIND=1550 OR ZKIND=2)   ORDER BY Z_PK ASC"
                          : "SELECT Z_PK,ZKIND,ZTITLE,ZUUID FROM ZGENERICALBUM WHERE  (ZKIND=1550 "
                            "OR ZKIND=2)   ORDER BY Z_PK ASC");
    const std::string assetColumn = schema_.assetColumn;
    const std::string keysHead = std::string("SELECT a.") + assetColumn + " as photokey FROM " +
                                 schema_.joinTable + " a LEFT OUTER JOIN ZGENERICASSET b WHERE a." +
                                 schema_.albumColumn + "=";
    const std::string keysTail =
        std::string(" AND a.") + assetColumn + "==b.Z_PK AND b.ZHEIGHT>0 AND b.ZWIDTH>0";
    const std::string photoHead = QueryHead(true) + FullColumnTail() +
                                  " FROM ZGENERICASSET as a,ZADDITIONALASSETATTRIBUTES as b "
                                  "WHERE a.ZADDITIONALATTRIBUTES==b.Z_PK AND a.Z_PK=";
    for (const TableRow& albumRow : albumRows) {
        int32_t key = 0, kind = 0;
        IntegerCell(albumRow, 0, key);
        IntegerCell(albumRow, 1, kind);
        auto album = std::make_unique<CPhotoAlbum>(TextCell(albumRow, 2), key);
        album->SetKind(kind);
        if (const TableCell* uuid = Cell(albumRow, 3)) album->uuid = UuidFromCell(*uuid);
        if (kind == kKindCameraRoll) {
            album->SetAlbumType(kAlbumTypeCameraRoll);
            if (album->title.empty()) album->title = kCameraRollTitle;
        }
        const std::string keysQuery = keysHead + Decimal(key) + keysTail;
        // Each photo is filled from the first row of the photo query for its key. The rows of
        // all the album's keys come from one query (its key list as a subquery) instead of one
        // query per photo: Z_PK is the primary key, so each key has at most that one row, and
        // a library of ten thousand photos loads in one pass instead of ten thousand.
        std::unordered_map<int32_t, TableRow> photoRows;
        for (TableRow& row :
             Rows(photoHead.substr(0, photoHead.size() - 1) + " IN (" + keysQuery + ")")) {
            int32_t assetKey = 0;
            if (IntegerCell(row, 16, assetKey)) photoRows.emplace(assetKey, std::move(row));
        }
        for (const TableRow& keyRow : Rows(keysQuery)) {
            int32_t assetKey = 0;
            IntegerCell(keyRow, 0, assetKey);
            PhotoRef photo = NewPhoto(assetKey);
            photo->albumKey = key;
            photo->albumType = album->GetAlbumType();
            if (const auto row = photoRows.find(assetKey); row != photoRows.end())
                FillPhoto(*photo, row->second);
            album->Append(photo);
        }
        albums.push_back(std::move(album));
    }
    if (includeCameraRoll && albumRows.empty()) {
        auto cameraRoll = std::make_unique<CPhotoAlbum>(kCameraRollTitle, 0, kAlbumTypeCameraRoll);
        cameraRoll->SetKind(kKindCameraRoll);
        albums.push_back(std::move(cameraRoll));
    }
}

void PhotoSqliteReader::FillLibraryPhotos(CPhotoAlbum& album, int32_t cameraRollKey,
                                          int32_t photoStreamKey) {
    const std::string prefix = std::string(schema_.albumColumn) + "=";
    std::string sql = QueryHead(true) + FullColumnTail() +
                      " FROM ZGENERICASSET a LEFT OUTER JOIN ZADDITIONALASSETATTRIBUTES b "
                      "WHERE a.ZADDITIONALATTRIBUTES==b.Z_PK AND a.Z_PK NOT IN (SELECT " +
                      schema_.assetColumn + " FROM " + schema_.joinTable;
    if (cameraRollKey > 0 || photoStreamKey > 0) sql += " WHERE ";
    if (cameraRollKey > 0) sql += prefix + Decimal(cameraRollKey);
    if (cameraRollKey > 0 && photoStreamKey > 0) sql += " OR ";
    if (photoStreamKey > 0) sql += prefix + Decimal(photoStreamKey);
    sql += ") AND ZTHUMBNAILINDEX>=0";
    for (const TableRow& row : Rows(sql)) {
        int32_t assetKey = 0;
        IntegerCell(row, 16, assetKey);
        PhotoRef photo = NewPhoto(assetKey);
        photo->albumName = kLibraryAlbumName;
        photo->albumKey = kLibraryAlbumKey;
        photo->albumType = kAlbumTypeAllPhotos;
        FillPhoto(*photo, row);
        album.Append(photo);
    }
}

void PhotoSqliteReader::GetLibraryPhotos(CPhotoAlbum& album) {
    const int32_t photoStreamKey = PhotoStreamKey();
    const int32_t cameraRollKey = FirstKey("SELECT Z_PK FROM ZGENERICALBUM WHERE ZKIND=1000");
    FillLibraryPhotos(album, cameraRollKey, photoStreamKey);
}

void PhotoSqliteReader::GetAllAlbums(AlbumList& albums) {
    if (!OpenExisting()) return;
    RefreshNewestAssetOnOpenDatabase();
    std::unique_ptr<CPhotoAlbum> photoStream = BuildPhotoStreamAlbum();
    AlbumList list;
    GetAlbumsOnOpenDatabase(list, true, 0);

    CPhotoAlbum* cameraRoll = nullptr;
    for (const auto& album : list) {
        if (album->GetAlbumType() == kAlbumTypeCameraRoll) {
            cameraRoll = album.get();
            break;
        }
    }
    const int32_t cameraRollKey = cameraRoll != nullptr ? cameraRoll->GetAlbumKey() : 0;
    auto allPhotos =
        std::make_unique<CPhotoAlbum>(kAllPhotosTitle, kLibraryAlbumKey, kAlbumTypeAllPhotos);
    FillLibraryPhotos(*allPhotos, cameraRollKey, photoStream->GetAlbumKey());

    const bool cameraRollFirst = (cameraRoll != nullptr && list.front().get() == cameraRoll) ||
                                 (cameraRoll == nullptr && list.empty());
    if (cameraRollFirst && !list.empty()) {
        list.insert(list.begin() + 1, std::move(allPhotos));
        list.insert(list.begin() + 2, std::move(photoStream));
    } else if (cameraRollFirst) {
        list.push_back(std::move(allPhotos));
        list.push_back(std::move(photoStream));
    } else {
        list.push_back(std::move(photoStream));
        list.push_back(std::move(allPhotos));
    }
    if (cameraRoll != nullptr) {
        auto videos = std::make_unique<CPhotoAlbum>(kVideoTitle, kVideoAlbumKey, kAlbumTypeVideos);
        videos->SetKind(kKindUserAlbum);
        // The same photo objects as in the camera roll: they keep its album key.
        for (const PhotoRef& photo : cameraRoll->PhotoRefs()) {
            if (photo->videoFlag == 1) videos->Append(photo);
        }
        list.push_back(std::move(videos));
    }
    CloseDatabase();
    for (auto& album : list)
        albums.push_back(std::move(album));
}

std::vector<PhotoRef> PhotoSqliteReader::GetPhotosAfter(int32_t key) {
    std::vector<PhotoRef> photos;
    if (!OpenExisting()) return photos;
    // The iOS 5/6 text leaves out column 18, so these photos carry the video flag 0 there.
    const std::string tail =
        schema_.ios7 ? FullColumnTail()
                     : std::string(
                           "b.ZORIGINALFILESIZE,b.ZORIGINALHEIGHT,b.ZORIGINALWIDTH,a.Z_PK,"
                           "a.ZUUID");
    const std::string sql = QueryHead(false) + tail +
                            " from ZGENERICASSET AS a,ZADDITIONALASSETATTRIBUTES as b WHERE "
                            "a.ZADDITIONALATTRIBUTES==b.Z_PK AND a.Z_PK IN (SELECT " +
                            schema_.assetColumn + " FROM " + schema_.joinTable + " WHERE " +
                            schema_.assetColumn + ">" + Decimal(key) + ")";
    for (const TableRow& row : Rows(sql)) {
        int32_t assetKey = 0;
        IntegerCell(row, 16, assetKey);
        PhotoRef photo = NewPhoto(assetKey);
        FillPhoto(*photo, row);
        photos.push_back(std::move(photo));
    }
    RefreshNewestAssetOnOpenDatabase();
    CloseDatabase();
    return photos;
}

void PhotoSqliteReader::ReloadAlbumPhotos(CPhotoAlbum& album) {
    if (!OpenExisting()) return;
    if (album.GetAlbumType() == kAlbumTypeAllPhotos) {
        GetLibraryPhotos(album);
        CloseDatabase();
        return;
    }
    const std::string members = std::string("SELECT ") + schema_.albumColumn + "," +
                                schema_.assetColumn + " FROM " + schema_.joinTable + " WHERE " +
                                schema_.albumColumn + "=" + Decimal(album.GetAlbumKey());
    std::vector<PhotoRef> photos;
    for (const TableRow& row : Rows(members)) {
        int32_t assetKey = 0;
        IntegerCell(row, 1, assetKey);
        photos.push_back(NewPhoto(assetKey));
    }
    // The iOS 5/6 text has 16 columns: those photos keep the zero UUID and the video flag 0.
    const std::string head =
        QueryHead(true) +
        (schema_.ios7 ? FullColumnTail()
                      : std::string("b.ZORIGINALFILESIZE,b.ZORIGINALHEIGHT,b.ZORIGINALWIDTH")) +
        " FROM ZGENERICASSET a LEFT OUTER JOIN ZADDITIONALASSETATTRIBUTES b "
        "WHERE a.ZADDITIONALATTRIBUTES==b.Z_PK AND a.Z_PK=";
    for (PhotoRef& photo : photos) {
        photo->albumKey = album.GetAlbumKey();
        photo->albumType = album.GetAlbumType();
        const std::vector<TableRow> rows = Rows(head + Decimal(photo->assetKey));
        if (!rows.empty()) FillPhoto(*photo, rows.front());
        album.Append(photo);
    }
    CloseDatabase();
}

Ios6PhotoSqliteDB::Ios6PhotoSqliteDB(PhotoContext context, std::string databasePath)
    : PhotoSqliteReader(context, std::move(databasePath),
                        context.productVersion.starts_with('5') ? kIos5Schema : kIos6Schema) {
    lastSyncedListPath_ = "/Photos/Sync/PhotoLibrary.plist.lastsynced";
}

std::string Ios6PhotoSqliteDB::GetAlbumJoinSql() {
    // Names the iOS 6 join table whatever the version, as the text always has.
    return "select a.Z_PK,a.ZKIND,a.ZTITLE,"
           "p.ZKIND,p.ZTITLE,p.ZDATECREATED,"
           "p.ZWIDTH,p.ZHEIGHT,p.ZTHUMBNAILINDEX,"
           "p.ZORIENTATION,p.ZDIRECTORY,p.ZFILENAME,"
           "p.ZDURATION,p.ZMODIFICATIONDATE,p.ZORIGINALFILESIZE,1 as IsZDB "
           "from ZGENERICALBUM a left outer join "
           "(select b.Z_8ALBUMS, "
           "    c.ZKIND,c.ZTITLE,c.ZDATECREATED, "
           "    c.ZWIDTH,c.ZHEIGHT,c.ZTHUMBNAILINDEX, "
           "    c.ZORIENTATION,c.ZDIRECTORY,c.ZFILENAME, "
           "    D.ZDURATION,c.ZMODIFICATIONDATE,d.ZORIGINALFILESIZE "
           "  from Z_8ASSETS b, "
           "      ZGENERICASSET c, ZADDITIONALASSETATTRIBUTES d "
           "   where "
           "       b.Z_14ASSETS = c.Z_PK AND "
           "  c.ZADDITIONALATTRIBUTES = d.Z_PK) p "
           "on a.Z_PK = p.Z_8ALBUMS "
           "where "
           "a.ZKIND NOT IN (1501,1503,1552,1600,1601,1602,3571,3572,3573) "
           "order by a.Z_PK,p.ZthumbnailIndex";
}

void Ios6PhotoSqliteDB::ResolveNewestAssetAlbum(CPhotoAlbum& album) {
    if (!OpenExisting()) return;
    const int32_t key = FirstKey(std::string("SELECT ") + schema_.albumColumn + " FROM " +
                                 schema_.joinTable + std::string(" WHERE ") + schema_.assetColumn +
                                 " = (SELECT max(Z_PK) FROM ZGENERICASSET)");
    if (key != 0) {
        album.SetAlbumKey(key);
        // The title is bound, never pasted into the SQL; a title with a quote finds nothing, as
        // it always has, so it is not looked up at all.
        if (album.title.find('\'') == std::string::npos &&
            QueryBound(std::string("SELECT Z_PK,ZUUID FROM ZGENERICALBUM WHERE Z_PK=") +
                           Decimal(key) + " AND ZTITLE=?",
                       {album.title})) {
            const CTable table = TakeResultTable();
            if (!table.rows.empty()) {
                if (const TableCell* uuid = Cell(table.rows.front(), 1)) {
                    album.uuid = UuidFromCell(*uuid);
                }
            }
        }
    }
    const std::string sql = QueryHead(false) +
                            "b.ZORIGINALFILESIZE,b.ZORIGINALHEIGHT,b.ZORIGINALWIDTH,a.Z_PK,a.ZUUID "
                            "from ZGENERICASSET AS a,ZADDITIONALASSETATTRIBUTES as b WHERE "
                            "a.ZADDITIONALATTRIBUTES==b.Z_PK AND a.Z_PK IN (SELECT " +
                            schema_.assetColumn + " FROM " + schema_.joinTable + " WHERE " +
                            schema_.albumColumn + "=" + Decimal(album.GetAlbumKey()) + ")";
    for (const TableRow& row : Rows(sql)) {
        int32_t assetKey = 0;
        IntegerCell(row, 16, assetKey);
        PhotoRef photo = NewPhoto(assetKey);
        photo->albumKey = album.GetAlbumKey();
        photo->albumType = album.GetAlbumType();
        FillPhoto(*photo, row);
        album.Append(photo);
    }
    RefreshNewestAssetOnOpenDatabase();
    CloseDatabase();
}

Ios7PhotoSqliteDB::Ios7PhotoSqliteDB(PhotoContext context, std::string databasePath)
    : PhotoSqliteReader(std::move(context), std::move(databasePath), kIos7Schema) {}

std::unique_ptr<AbstractPhotoSqliteDB> MakePhotoReader(PhotoContext context,
                                                       std::string databasePath) {
    const std::string& version = context.productVersion;
    if (version.starts_with('4')) return nullptr;
    if (version.starts_with('5') || version.starts_with('6')) {
        return std::make_unique<Ios6PhotoSqliteDB>(std::move(context), std::move(databasePath));
    }
    return std::make_unique<Ios7PhotoSqliteDB>(std::move(context), std::move(databasePath));
}

}  // namespace bw
