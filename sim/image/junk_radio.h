// The radio listening history of iOS 7: the Core Data store /var/mobile/Media/Radio/Radio.db with
// its write-ahead log and shared-memory index.
#pragma once

#include <string>

#include "image/image_builder.h"
#include "image_writer.h"

namespace bw::sim {

// The store's tables as the radio history reads them. ZTRACKHISTORY rows name their track by
// store identifier (ZTRACK_STORE_ID, a float) rather than by key, and ZTRACK rows carry that
// identifier as ZSTORE_ID.
inline constexpr char kRadioTrackSql[] =
    "CREATE TABLE ZTRACK ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZSTORE_ID "
    "INTEGER, ZDURATION FLOAT, ZALBUM VARCHAR, ZARTIST VARCHAR, ZTITLE VARCHAR, ZARTWORK_URL "
    "VARCHAR )";
inline constexpr char kRadioHistorySql[] =
    "CREATE TABLE ZTRACKHISTORY ( Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, ZDATE "
    "TIMESTAMP, ZTRACK_STORE_ID FLOAT, ZSTATION_NAME VARCHAR, ZSTATION_HASH VARCHAR )";
inline constexpr char kPrimaryKeySql[] =
    "CREATE TABLE Z_PRIMARYKEY (Z_ENT INTEGER PRIMARY KEY, Z_NAME VARCHAR, Z_SUPER INTEGER, "
    "Z_MAX INTEGER)";
inline constexpr char kMetadataSql[] =
    "CREATE TABLE Z_METADATA (Z_VERSION INTEGER PRIMARY KEY, Z_UUID VARCHAR(255), Z_PLIST BLOB)";

// The three files of the store. Radio.db holds the history as of the last checkpoint; the log
// holds the plays since then (the last two history rows and the last track), so a reader that
// ignores the log misses them.
struct RadioStoreFiles {
    std::string database;
    std::string wal;
    std::string shm;
};

bool BuildRadioStore(const ImageOptions& options, int64_t now, RadioStoreFiles& files,
                     std::string& error);

// Writes the store into Radio/ of the media area (iOS 7 and later only; earlier images have no
// radio).
bool AddRadioHistory(ImageWriter& writer, const ImageOptions& options);

}  // namespace bw::sim
