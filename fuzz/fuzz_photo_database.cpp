// Both photo library readers on any bytes as "Photos.sqlite": the full album list, then every
// album's filters and every photo's paths. Nothing crashes, the counts agree with the lists, no
// path a photo names climbs with "..", and no connection stays open.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "formats/sqlite_table.h"
#include "fuzz_seeds.h"
#include "photo/photo_database.h"
#include "platform/files.h"
#include "sqlite_seed.h"

namespace {

std::string gFolder;

// The tables the readers use, iOS 6 names; the iOS 7 seed renames the join table and adds the
// kind subtype.
constexpr char kIos6Library[] =
    "CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR, Z_SUPER INTEGER,"
    " Z_MAX INTEGER);"
    "CREATE TABLE ZGENERICASSET (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, ZHEIGHT INTEGER,"
    " ZKIND INTEGER, ZSAVEDASSETTYPE INTEGER, ZTHUMBNAILINDEX INTEGER, ZWIDTH INTEGER,"
    " ZADDITIONALATTRIBUTES INTEGER, ZDATECREATED TIMESTAMP, ZMODIFICATIONDATE TIMESTAMP,"
    " ZDIRECTORY VARCHAR, ZFILENAME VARCHAR, ZTITLE VARCHAR, ZUNIFORMTYPEIDENTIFIER VARCHAR,"
    " ZUUID BLOB, ZKINDSUBTYPE INTEGER);"
    "CREATE TABLE ZADDITIONALASSETATTRIBUTES (Z_PK INTEGER PRIMARY KEY,"
    " ZEMBEDDEDTHUMBNAILHEIGHT INTEGER, ZEMBEDDEDTHUMBNAILLENGTH INTEGER,"
    " ZEMBEDDEDTHUMBNAILOFFSET INTEGER, ZEMBEDDEDTHUMBNAILWIDTH INTEGER,"
    " ZORIGINALFILESIZE INTEGER, ZORIGINALHEIGHT INTEGER, ZORIGINALORIENTATION INTEGER,"
    " ZORIGINALWIDTH INTEGER, ZORIGINALFILENAME VARCHAR);"
    "CREATE TABLE ZGENERICALBUM (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, ZKIND INTEGER,"
    " ZTITLE VARCHAR, ZUUID BLOB);"
    "INSERT INTO Z_PRIMARYKEY VALUES (30, 'PhotoStreamAlbum', 7, 0);"
    "INSERT INTO ZGENERICALBUM VALUES (1, 7, 1000, '', X'00112233445566778899AABBCCDDEEFF');"
    "INSERT INTO ZGENERICALBUM VALUES (2, 7, 2, 'Trip', NULL);"
    "INSERT INTO ZGENERICALBUM VALUES (3, 30, 1500, 'Stream', NULL);"
    "INSERT INTO ZGENERICASSET VALUES (1, 14, 480, 0, 3, 0, 640, 1, 400000000.4, 5,"
    " 'DCIM/100APPLE', 'IMG_0001.JPG', 'IMG_0001', 'public.jpeg', X'0011223344556677', 0);"
    "INSERT INTO ZGENERICASSET VALUES (2, 14, 480, 1, 3, 0, 640, 2, 12, 0.5,"
    " '../DCIM', 'IMG_0002.MOV', 'IMG_0002', 'com.apple.quicktime-movie', NULL, 1);"
    "INSERT INTO ZGENERICASSET VALUES (3, 14, 0, 0, 3, 1, 640, 3, -1.0, NULL,"
    " 'PhotoData/Sync/100SYNCD', 'IMG_0003.JPG', NULL, 'public.png', X'01', 2);"
    "INSERT INTO ZADDITIONALASSETATTRIBUTES VALUES (1, 1, 2, 3, 4, 5000000000, 480, 6, 640,"
    " 'a.jpg');"
    "INSERT INTO ZADDITIONALASSETATTRIBUTES VALUES (2, 0, 0, 0, 0, 1, 480, 5, 640, NULL);"
    "INSERT INTO ZADDITIONALASSETATTRIBUTES VALUES (3, 0, 0, 0, 0, 'x', 1, 8, 1, NULL);";

std::string Ios6Seed() {
    return bw::fuzz::DatabaseBytes(
        gFolder,
        (std::string(kIos6Library) +
         "CREATE TABLE Z_8ASSETS (Z_8ALBUMS INTEGER, Z_14ASSETS INTEGER, Z_FOK_14ASSETS INTEGER);"
         "INSERT INTO Z_8ASSETS VALUES (1, 1, 0), (1, 2, 0), (2, 1, 0), (3, 3, 0);")
            .c_str());
}

std::string Ios7Seed() {
    return bw::fuzz::DatabaseBytes(
        gFolder, (std::string(kIos6Library) +
                  "CREATE TABLE Z_11ASSETS (Z_11ALBUMS INTEGER, Z_17ASSETS INTEGER,"
                  " Z_FOK_17ASSETS INTEGER);"
                  "INSERT INTO Z_11ASSETS VALUES (1, 1, 0), (1, 2, 0), (2, 3, 0);")
                     .c_str());
}

bool Climbs(const std::string& path) {
    return path == ".." || path.starts_with("../") || path.find("/../") != std::string::npos ||
           path.ends_with("/..");
}

void Check(const bw::AlbumList& albums) {
    for (const auto& album : albums) {
        const int32_t stills = album->CountStills();
        const int32_t videos = album->CountVideos();
        if (stills + videos != album->CountPhotos()) std::abort();
        if (static_cast<size_t>(album->CountPhotos()) != album->Photos().size()) std::abort();
        for (const bw::PhotoRef& photo : album->PhotoRefs()) {
            if (photo->uuid.size() < 16) std::abort();
            if (Climbs(photo->DevicePath()) || Climbs(photo->ThumbnailPath(true))) std::abort();
        }
    }
}

void Load(const std::string& path, const char* version) {
    auto reader = bw::MakePhotoReader(bw::PhotoContext{nullptr, version, gFolder}, path);
    bw::AlbumList albums;
    reader->GetAllAlbums(albums);
    Check(albums);
    if (bw::IsDatabaseOpen()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = "/tmp/bw-fuzz-photos-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    gFolder = pattern;
    bw::fuzz::MaybeWriteSeeds({Ios6Seed(), Ios7Seed(), std::string("SQLite format 3\0", 16)});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = gFolder + "/Photos.sqlite";
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (const char* version : {"5.1.1", "6.1.3", "7.1.2"}) {
        if (!bw::platform::WriteFileAtomic(path, bytes)) return 0;
        Load(path, version);
    }
    for (const char* name : {"", "-journal", "-wal", "-shm"}) {
        bw::platform::RemoveFile(path + name);
    }
    return 0;
}
