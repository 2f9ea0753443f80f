// Photo library databases for the photo tests, written with SQLite itself (not the library's
// database layer): the tables the readers use of each version's schema, with the columns the
// readers select that the older dumps lack, and a small builder of albums, assets and members.
// Pictures are made and measured with libvips directly.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <vips/vips8>

#include <string>
#include <string_view>
#include <vector>

namespace bw::testing::photo {

inline constexpr char kPhotosIos5Schema[] =
    "CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR, Z_SUPER INTEGER, "
    "Z_MAX INTEGER); "
    "CREATE TABLE ZGENERICASSET (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, "
    "ZCOMPLETE INTEGER, ZFLAGGED INTEGER, ZHEIGHT INTEGER, ZKIND INTEGER, ZORIENTATION INTEGER, "
    "ZSAVEDASSETTYPE INTEGER, ZTHUMBNAILINDEX INTEGER, ZWIDTH INTEGER, ZADDITIONALATTRIBUTES "
    "INTEGER, ZDATECREATED TIMESTAMP, ZMODIFICATIONDATE TIMESTAMP, ZSORTTOKEN FLOAT, ZDIRECTORY "
    "VARCHAR, ZFILENAME VARCHAR, ZTITLE VARCHAR, ZUNIFORMTYPEIDENTIFIER VARCHAR, ZUUID BLOB, "
    "ZLOCATIONDATA BLOB); "
    "CREATE TABLE ZGENERICALBUM (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, "
    "ZCACHEDCOUNT INTEGER, ZCACHEDPHOTOSCOUNT INTEGER, ZCACHEDVIDEOSCOUNT INTEGER, ZKIND "
    "INTEGER, ZPENDINGITEMSCOUNT INTEGER, ZPENDINGITEMSTYPE INTEGER, ZKEYASSET INTEGER, "
    "Z11_KEYASSET INTEGER, ZTITLE VARCHAR, ZIMPORTSESSIONID BLOB, ZUUID BLOB); "
    "CREATE TABLE ZADDITIONALASSETATTRIBUTES (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT "
    "INTEGER, ZORIGINALFILESIZE INTEGER, ZORIGINALHEIGHT INTEGER, ZORIGINALWIDTH INTEGER, "
    "ZASSET INTEGER, Z11_ASSET INTEGER, ZDURATION FLOAT, ZORIGINALFILENAME VARCHAR, "
    "ZORIGINALPATH VARCHAR, ZEMBEDDEDTHUMBNAILHEIGHT INTEGER, ZEMBEDDEDTHUMBNAILLENGTH INTEGER, "
    "ZEMBEDDEDTHUMBNAILOFFSET INTEGER, ZEMBEDDEDTHUMBNAILWIDTH INTEGER, ZORIGINALORIENTATION "
    "INTEGER); "
    "CREATE TABLE Z_6ASSETS (Z_6ALBUMS INTEGER, Z_11ASSETS INTEGER, Z_FOK_11ASSETS INTEGER, "
    "PRIMARY KEY (Z_6ALBUMS, Z_11ASSETS)); ";
inline constexpr char kPhotosIos6Schema[] =
    "CREATE TABLE ZADDITIONALASSETATTRIBUTES (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT "
    "INTEGER, ZEMBEDDEDTHUMBNAILHEIGHT INTEGER, ZEMBEDDEDTHUMBNAILLENGTH INTEGER, "
    "ZEMBEDDEDTHUMBNAILOFFSET INTEGER, ZEMBEDDEDTHUMBNAILWIDTH INTEGER, ZHIGHDYNAMICRANGETYPE "
    "INTEGER, ZORIGINALFILESIZE INTEGER, ZORIGINALHEIGHT INTEGER, ZORIGINALORIENTATION INTEGER, "
    "ZORIGINALWIDTH INTEGER, ZASSET INTEGER, Z14_ASSET INTEGER, ZDURATION FLOAT, "
    "ZCREATORBUNDLEID VARCHAR, ZORIGINALFILENAME VARCHAR, ZORIGINALPATH VARCHAR, "
    "ZIMPORTSESSIONID BLOB, ZORIGINALASSETSUUID BLOB); "
    "CREATE TABLE ZGENERICALBUM (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, "
    "ZCACHEDCOUNT INTEGER, ZCACHEDPHOTOSCOUNT INTEGER, ZCACHEDVIDEOSCOUNT INTEGER, ZKIND "
    "INTEGER, ZPENDINGITEMSCOUNT INTEGER, ZPENDINGITEMSTYPE INTEGER, ZKEYASSET INTEGER, "
    "Z14_KEYASSET INTEGER, ZCLOUDOWNEREMAILKEY INTEGER, ZCLOUDPUBLICURLENABLED INTEGER, "
    "ZCLOUDPUBLICURLENABLEDLOCAL INTEGER, ZCLOUDRELATIONSHIPSTATE INTEGER, "
    "ZCLOUDRELATIONSHIPSTATELOCAL INTEGER, ZHASUNSEENCONTENT INTEGER, ZISOWNED INTEGER, "
    "ZUNSEENASSETSCOUNT INTEGER, ZKEYASSETFACEIDENTIFIER INTEGER, ZKEYASSETFACETHUMBNAILINDEX "
    "INTEGER, ZCLOUDLASTINTERESTINGCHANGEDATE TIMESTAMP, ZTITLE VARCHAR, ZCLOUDGUID VARCHAR, "
    "ZCLOUDOWNERFIRSTNAME VARCHAR, ZCLOUDOWNERLASTNAME VARCHAR, ZCLOUDPERSONID VARCHAR, "
    "ZPUBLICURL VARCHAR, ZIMPORTSESSIONID BLOB, ZUUID BLOB, ZCLOUDMETADATA BLOB); "
    "CREATE TABLE Z_8ASSETS (Z_8ALBUMS INTEGER, Z_14ASSETS INTEGER, Z_FOK_14ASSETS INTEGER, "
    "PRIMARY KEY (Z_8ALBUMS, Z_14ASSETS)); "
    "CREATE TABLE ZGENERICASSET (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, "
    "ZCLOUDHASCOMMENTSBYME INTEGER, ZCLOUDHASCOMMENTSCONVERSATION INTEGER, "
    "ZCLOUDHASUNSEENCOMMENTS INTEGER, ZCLOUDPLACEHOLDERKIND INTEGER, ZCOMPLETE INTEGER, "
    "ZFLAGGED INTEGER, ZHEIGHT INTEGER, ZKIND INTEGER, ZORIENTATION INTEGER, ZSAVEDASSETTYPE "
    "INTEGER, ZTHUMBNAILINDEX INTEGER, ZWIDTH INTEGER, ZADDITIONALATTRIBUTES INTEGER, "
    "ZCLOUDBATCHPUBLISHDATE TIMESTAMP, ZCLOUDLASTVIEWEDCOMMENTDATE TIMESTAMP, ZDATECREATED "
    "TIMESTAMP, ZMODIFICATIONDATE TIMESTAMP, ZSORTTOKEN FLOAT, ZCLOUDASSETGUID VARCHAR, "
    "ZCLOUDASSETKIND VARCHAR, ZCLOUDBATCHID VARCHAR, ZCLOUDCOLLECTIONGUID VARCHAR, ZDIRECTORY "
    "VARCHAR, ZFILENAME VARCHAR, ZTITLE VARCHAR, ZUNIFORMTYPEIDENTIFIER VARCHAR, ZCLOUDMETADATA "
    "BLOB, ZFACERECTANGLES BLOB, ZUUID BLOB, ZLOCATIONDATA BLOB, ZIMAGEURLDATA BLOB, "
    "ZTHUMBNAILURLDATA BLOB); "
    "CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR, Z_SUPER INTEGER, "
    "Z_MAX INTEGER); ";
inline constexpr char kPhotosIos7Schema[] =
    "CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR, Z_SUPER INTEGER, "
    "Z_MAX INTEGER); "
    "CREATE TABLE ZGENERICASSET (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, "
    "ZCOMPLETE INTEGER, ZFLAGGED INTEGER, ZHEIGHT INTEGER, ZKIND INTEGER, ZORIENTATION INTEGER, "
    "ZSAVEDASSETTYPE INTEGER, ZTHUMBNAILINDEX INTEGER, ZWIDTH INTEGER, ZADDITIONALATTRIBUTES "
    "INTEGER, ZDATECREATED TIMESTAMP, ZMODIFICATIONDATE TIMESTAMP, ZSORTTOKEN FLOAT, "
    "ZCLOUDASSETGUID VARCHAR, ZDIRECTORY VARCHAR, ZFILENAME VARCHAR, ZTITLE VARCHAR, "
    "ZUNIFORMTYPEIDENTIFIER VARCHAR, ZUUID BLOB, ZLOCATIONDATA BLOB, ZKINDSUBTYPE INTEGER); "
    "CREATE TABLE ZGENERICALBUM (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, "
    "ZCACHEDCOUNT INTEGER, ZCACHEDPHOTOSCOUNT INTEGER, ZCACHEDVIDEOSCOUNT INTEGER, ZKIND "
    "INTEGER, ZPENDINGITEMSCOUNT INTEGER, ZPENDINGITEMSTYPE INTEGER, ZKEYASSET INTEGER, "
    "Z17_KEYASSET INTEGER, ZTITLE VARCHAR, ZCLOUDGUID VARCHAR, ZIMPORTSESSIONID BLOB, ZUUID "
    "BLOB); "
    "CREATE TABLE ZADDITIONALASSETATTRIBUTES (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT "
    "INTEGER, ZORIGINALFILESIZE INTEGER, ZORIGINALHEIGHT INTEGER, ZORIGINALWIDTH INTEGER, "
    "ZASSET INTEGER, Z17_ASSET INTEGER, ZDURATION FLOAT, ZCREATORBUNDLEID VARCHAR, "
    "ZORIGINALFILENAME VARCHAR, ZORIGINALPATH VARCHAR, ZEMBEDDEDTHUMBNAILHEIGHT INTEGER, "
    "ZEMBEDDEDTHUMBNAILLENGTH INTEGER, ZEMBEDDEDTHUMBNAILOFFSET INTEGER, "
    "ZEMBEDDEDTHUMBNAILWIDTH INTEGER, ZORIGINALORIENTATION INTEGER); "
    "CREATE TABLE Z_11ASSETS (Z_11ALBUMS INTEGER, Z_17ASSETS INTEGER, Z_FOK_17ASSETS INTEGER, "
    "PRIMARY KEY (Z_11ALBUMS, Z_17ASSETS)); ";

// The join table and its columns of a version.
struct JoinNames {
    const char* table;
    const char* album;
    const char* asset;
};

inline JoinNames JoinNamesFor(std::string_view version) {
    if (version.starts_with('5')) return {"Z_6ASSETS", "Z_6ALBUMS", "Z_11ASSETS"};
    if (version.starts_with('6')) return {"Z_8ASSETS", "Z_8ALBUMS", "Z_14ASSETS"};
    return {"Z_11ASSETS", "Z_11ALBUMS", "Z_17ASSETS"};
}

inline const char* SchemaFor(std::string_view version) {
    if (version.starts_with('5')) return kPhotosIos5Schema;
    if (version.starts_with('6')) return kPhotosIos6Schema;
    return kPhotosIos7Schema;
}

// A text as an SQL literal.
inline std::string Q(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c;
        if (c == '\'') quoted += '\'';
    }
    return quoted + "'";
}

// 16 bytes of UUID that differ by key: 000102...0E then the key's low byte.
inline std::string UuidBlobSql(int key) {
    char text[64];
    std::snprintf(text, sizeof text, "X'000102030405060708090A0B0C0D0E%02X'", key & 0xFF);
    return text;
}

// One asset; every field is an SQL literal so that a test can give any cell type.
struct Asset {
    int key = 1;
    std::string directory = "'DCIM/100APPLE'";
    std::string fileName = "'IMG_0001.JPG'";
    std::string created = "400000000.4";
    std::string modified = "400000100.0";
    std::string kind = "0";  // 1 for videos on iOS 5 and 6
    std::string uti = "'public.jpeg'";
    std::string width = "640";
    std::string height = "480";
    std::string thumbnailIndex = "0";
    std::string orientation = "1";
    std::string title = "NULL";
    std::string originalFileName = "NULL";
    std::string fileSize = "1234";
    std::string uuid;  // empty: UuidBlobSql(key)
    std::string kindSubtype = "0";
    std::string savedAssetType = "3";
};

inline constexpr int kPhotoStreamEntity = 30;
inline constexpr int kAlbumEntity = 7;

class PhotoLibrary {
  public:
    explicit PhotoLibrary(std::string version) : version_(std::move(version)) {
        sql_ = SchemaFor(version_);
    }

    PhotoLibrary& Album(int key, int kind, const std::string& title = "NULL",
                        const std::string& uuid = "NULL", int entity = kAlbumEntity) {
        sql_ += "INSERT INTO ZGENERICALBUM (Z_PK, Z_ENT, ZKIND, ZTITLE, ZUUID) VALUES (" +
                std::to_string(key) + "," + std::to_string(entity) + "," + std::to_string(kind) +
                "," + title + "," + uuid + ");";
        return *this;
    }

    // The photo-stream album: its entity named in Z_PRIMARYKEY, kind 1500.
    PhotoLibrary& PhotoStream(int key) {
        sql_ += "INSERT INTO Z_PRIMARYKEY (Z_ENT, Z_NAME, Z_SUPER, Z_MAX) VALUES (" +
                std::to_string(kPhotoStreamEntity) + ",'PhotoStreamAlbum'," +
                std::to_string(kAlbumEntity) + ",0);";
        return Album(key, 1500, "'My Photo Stream'", "NULL", kPhotoStreamEntity);
    }

    PhotoLibrary& Add(const Asset& a) {
        const std::string key = std::to_string(a.key);
        const bool ios7 = !version_.starts_with('5') && !version_.starts_with('6');
        sql_ += std::string(
                    "INSERT INTO ZGENERICASSET (Z_PK, ZADDITIONALATTRIBUTES, ZDIRECTORY, "
                    "ZFILENAME, ZDATECREATED, ZMODIFICATIONDATE, ZKIND, "
                    "ZUNIFORMTYPEIDENTIFIER, ZWIDTH, ZHEIGHT, ZTHUMBNAILINDEX, ZTITLE, "
                    "ZUUID, ZSAVEDASSETTYPE") +
                (ios7 ? ", ZKINDSUBTYPE" : "") + ") VALUES (" + key + "," + key + "," +
                a.directory + "," + a.fileName + "," + a.created + "," + a.modified + "," + a.kind +
                "," + a.uti + "," + a.width + "," + a.height + "," + a.thumbnailIndex + "," +
                a.title + "," + (a.uuid.empty() ? UuidBlobSql(a.key) : a.uuid) + "," +
                a.savedAssetType + (ios7 ? "," + a.kindSubtype : std::string()) + ");";
        sql_ +=
            "INSERT INTO ZADDITIONALASSETATTRIBUTES (Z_PK, ZASSET, ZORIGINALFILESIZE, "
            "ZORIGINALHEIGHT, ZORIGINALWIDTH, ZORIGINALORIENTATION, ZORIGINALFILENAME, "
            "ZEMBEDDEDTHUMBNAILHEIGHT, ZEMBEDDEDTHUMBNAILLENGTH, ZEMBEDDEDTHUMBNAILOFFSET, "
            "ZEMBEDDEDTHUMBNAILWIDTH) VALUES (" +
            key + "," + key + "," + a.fileSize + "," + a.height + "," + a.width + "," +
            a.orientation + "," + a.originalFileName + ",11,12,13,14);";
        return *this;
    }

    PhotoLibrary& Member(int album, int asset) {
        const JoinNames names = JoinNamesFor(version_);
        sql_ += std::string("INSERT INTO ") + names.table + " (" + names.album + "," + names.asset +
                ") VALUES (" + std::to_string(album) + "," + std::to_string(asset) + ");";
        return *this;
    }

    PhotoLibrary& Sql(const std::string& sql) {
        sql_ += sql;
        return *this;
    }

    const std::string& Text() const { return sql_; }

    // Writes a new database file at `path` (an existing file is replaced).
    void Write(const std::string& path) const { WriteDatabase(path, sql_); }

    static void WriteDatabase(const std::string& path, const std::string& sql) {
        std::remove(path.c_str());
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        char* error = nullptr;
        const int status = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
        const std::string message = error != nullptr ? error : "";
        sqlite3_free(error);
        sqlite3_close(db);
        ASSERT_EQ(status, SQLITE_OK) << message;
    }

  private:
    std::string version_;
    std::string sql_;
};

// A JPEG of one colour, made by libvips.
inline std::string JpegBytes(int width, int height, double red = 200, double green = 40,
                             double blue = 40) {
    EXPECT_EQ(VIPS_INIT("brackwater_tests"), 0);
    vips::VImage picture =
        vips::VImage::black(width, height, vips::VImage::option()->set("bands", 3)) +
        std::vector<double>{red, green, blue};
    void* buffer = nullptr;
    size_t size = 0;
    picture.cast(VIPS_FORMAT_UCHAR).write_to_buffer(".jpg", &buffer, &size);
    std::string bytes(static_cast<const char*>(buffer), size);
    g_free(buffer);
    return bytes;
}

// The width and height of a picture libvips decodes; 0 x 0 when it does not.
inline std::pair<int, int> PictureSize(const std::string& bytes) {
    EXPECT_EQ(VIPS_INIT("brackwater_tests"), 0);
    VipsImage* image = vips_image_new_from_buffer(bytes.data(), bytes.size(), "", nullptr);
    if (image == nullptr) {
        vips_error_clear();
        return {0, 0};
    }
    const std::pair<int, int> size{vips_image_get_width(image), vips_image_get_height(image)};
    g_object_unref(image);
    return size;
}

}  // namespace bw::testing::photo
