#include "junk_radio.h"

#include <algorithm>
#include <vector>

#include "junk_sqlite.h"
#include "seeded_random.h"

namespace bw::sim {
namespace {

constexpr int64_t kCoreDataEpoch = 978307200;  // 2001-01-01 in Unix seconds
constexpr int kTrackEntity = 1;
constexpr int kHistoryEntity = 2;
constexpr size_t kShmSize = 32768;
// Keys of the plays added by the scale start here, clear of the fixed rows.
constexpr int64_t kScaledKeyBase = 100;
constexpr int kScaledPlaysPerStep = 10;

struct FixedTrack {
    int64_t key;
    const char* title;
    const char* artist;
    const char* album;  // null: the store left it empty
    bool inLog;         // added after the last checkpoint
};

// Text in three scripts, so that the UTF-8 of the store reaches the reader intact; one album is
// NULL, as for a single the store knows no album of.
constexpr FixedTrack kTracks[] = {
    {1, "Glass Harbour", "Mira Lenz", "Tidal Lines", false},
    {2, "S\xc3\xb3l og M\xc3\xa1ni", "\xc3\x81sta Bj\xc3\xb6rk", "Nor\xc3\xb0urlj\xc3\xb3s", false},
    {3, "\xe5\xa4\x9c\xe3\x81\xae\xe8\xa1\x97", "Hikari", "Neon Rain", false},
    {4, "Paper Satellites", "The Quiet Engines", "Low Orbit", false},
    {5, "Slow Parade", "June Harrow", "Weathervane", false},
    {6, "Last Light", "Orchard Street", nullptr, true},
    {7, "Unplayed Song", "Nobody Yet", "Shelf", false},  // no play refers to it
};

struct FixedPlay {
    int64_t key;
    int64_t trackKey;     // 0: a store identifier no track has
    const char* station;  // null: NULL in the store
    bool inLog;
};

constexpr FixedPlay kPlays[] = {
    {1, 1, "Today's Hits", false},
    {2, 2, "Caf\xc3\xa9 Lounge", false},
    {3, 3, "J-Pop Radio", false},
    {4, 0, "Indie Mix", false},     // its track was removed: the join drops it
    {5, 1, "Today's Hits", false},  // the same track played again
    {6, 4, nullptr, false},
    {7, 5, "Pure Pop", true},
    {8, 6, "Acoustic", true},
};

struct Store {
    std::vector<SqlRow> tracks, plays;
    int64_t maxTrack = 0, maxPlay = 0;
};

std::string UuidText(SeededRandom& random) {
    std::string hex;
    for (const char c : random.LowerHex(32))
        hex += static_cast<char>(c >= 'a' ? c - 'a' + 'A' : c);
    return hex.substr(0, 8) + '-' + hex.substr(8, 4) + '-' + hex.substr(12, 4) + '-' +
           hex.substr(16, 4) + '-' + hex.substr(20);
}

SqlValue TextOrNull(const char* text) {
    return text == nullptr ? SqlValue::Null() : SqlValue::Text(text);
}

class StoreBuilder {
  public:
    StoreBuilder(const ImageOptions& options, int64_t now)
        : random_(options.seed, "radio-history"),
          storeBase_(600000000 + static_cast<int64_t>(random_.Below(100000000))),
          // Plays go back from about two days before the image's time, a few minutes apart.
          clock_(static_cast<double>(now - kCoreDataEpoch - 2 * 86400)) {}

    // Store identifiers of tracks are spaced by a thousand, so an identifier off that grid
    // belongs to no track.
    int64_t StoreId(int64_t trackKey) const { return storeBase_ + trackKey * 1000 + 17; }
    int64_t MissingStoreId() const { return storeBase_ + 500; }

    SqlRow Track(int64_t key, const std::string& title, const std::string& artist,
                 const SqlValue& album) {
        const double duration = static_cast<double>(random_.Between(150, 330)) + 0.5;
        return {key,
                {SqlValue::Null(), SqlValue::Int(kTrackEntity), SqlValue::Int(1),
                 SqlValue::Int(StoreId(key)), SqlValue::Real(duration), album,
                 SqlValue::Text(artist), SqlValue::Text(title),
                 SqlValue::Text("http://a1.phobos.example/us/r30/Music/" +
                                std::to_string(StoreId(key)) + "/cover.100x100-75.jpg")}};
    }

    SqlRow Play(int64_t key, int64_t storeId, const SqlValue& station) {
        clock_ -= static_cast<double>(random_.Between(120, 400));
        // Dates keep a fraction of a second, as the store records them; a whole number would
        // read back as an integer from a TIMESTAMP column.
        const double date = clock_ + static_cast<double>(random_.Between(1, 999)) / 1000.0;
        return {key,
                {SqlValue::Null(), SqlValue::Int(kHistoryEntity), SqlValue::Int(1),
                 SqlValue::Real(date), SqlValue::Real(static_cast<double>(storeId)), station,
                 station.kind == SqlValue::Kind::Null ? SqlValue::Null()
                                                      : SqlValue::Text(random_.LowerHex(16))}};
    }

    SeededRandom& random() { return random_; }

  private:
    SeededRandom random_;
    int64_t storeBase_;
    double clock_;
};

// The store with or without the rows written after the last checkpoint.
std::vector<SqlTable> Tables(const Store& store, const std::string& uuid) {
    const std::string metadata =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
        "\t<key>NSStoreModelVersionIdentifiers</key>\n\t<array>\n\t\t<string></string>\n"
        "\t</array>\n\t<key>NSStoreType</key>\n\t<string>SQLite</string>\n"
        "\t<key>NSStoreUUID</key>\n\t<string>" +
        uuid + "</string>\n</dict>\n</plist>\n";
    std::vector<SqlTable> tables = {
        {"ZTRACK", kRadioTrackSql, store.tracks},
        {"ZTRACKHISTORY", kRadioHistorySql, store.plays},
        {"Z_PRIMARYKEY",
         kPrimaryKeySql,
         {{kTrackEntity,
           {SqlValue::Null(), SqlValue::Text("Track"), SqlValue::Int(0),
            SqlValue::Int(store.maxTrack)}},
          {kHistoryEntity,
           {SqlValue::Null(), SqlValue::Text("TrackHistory"), SqlValue::Int(0),
            SqlValue::Int(store.maxPlay)}}}},
        {"Z_METADATA",
         kMetadataSql,
         {{1, {SqlValue::Null(), SqlValue::Text(uuid), SqlValue::Blob(metadata)}}}},
    };
    return tables;
}

// Every caller adds rows in key order, as the table's b-tree holds them.
void Append(std::vector<SqlRow>& rows, SqlRow row, int64_t& maxKey) {
    maxKey = std::max(maxKey, row.rowid);
    rows.push_back(std::move(row));
}

}  // namespace

bool BuildRadioStore(const ImageOptions& options, int64_t now, RadioStoreFiles& files,
                     std::string& error) {
    StoreBuilder builder(options, now);
    const std::string uuid = UuidText(builder.random());
    Store checkpointed, current;
    for (const FixedTrack& track : kTracks) {
        SqlRow row = builder.Track(track.key, track.title, track.artist, TextOrNull(track.album));
        if (!track.inLog) Append(checkpointed.tracks, row, checkpointed.maxTrack);
        Append(current.tracks, std::move(row), current.maxTrack);
    }
    for (const FixedPlay& play : kPlays) {
        const int64_t storeId =
            play.trackKey == 0 ? builder.MissingStoreId() : builder.StoreId(play.trackKey);
        SqlRow row = builder.Play(play.key, storeId, TextOrNull(play.station));
        if (!play.inLog) Append(checkpointed.plays, row, checkpointed.maxPlay);
        Append(current.plays, std::move(row), current.maxPlay);
    }
    // The scale adds plays of tracks of their own, all checkpointed.
    const int64_t scaled = static_cast<int64_t>(options.scale - 1) * kScaledPlaysPerStep;
    for (int64_t i = 1; i <= scaled; ++i) {
        const int64_t key = kScaledKeyBase + i;
        SqlRow track =
            builder.Track(key, "Track " + std::to_string(key), "Artist " + std::to_string(key % 97),
                          SqlValue::Text("Album " + std::to_string(key % 41)));
        // The fixed rows keep a page of their own, so the log rewrites that page only.
        track.startsPage = i == 1;
        Append(checkpointed.tracks, track, checkpointed.maxTrack);
        Append(current.tracks, std::move(track), current.maxTrack);
        SqlRow play = builder.Play(key, builder.StoreId(key),
                                   SqlValue::Text("Station " + std::to_string(key % 13)));
        play.startsPage = i == 1;
        Append(checkpointed.plays, play, checkpointed.maxPlay);
        Append(current.plays, std::move(play), current.maxPlay);
    }

    std::string currentBytes;
    if (!BuildSqliteDatabase(Tables(checkpointed, uuid), true, files.database, error) ||
        !BuildSqliteDatabase(Tables(current, uuid), true, currentBytes, error))
        return false;
    const auto salt1 = static_cast<uint32_t>(builder.random().Next());
    const auto salt2 = static_cast<uint32_t>(builder.random().Next());
    files.wal = BuildSqliteWal(files.database, currentBytes, salt1, salt2);
    // Every reader rebuilds a zeroed index from the log, as after a reboot.
    files.shm.assign(kShmSize, '\0');
    return true;
}

bool AddRadioHistory(ImageWriter& writer, const ImageOptions& options) {
    if (writer.identity().release->major < 7) return true;
    RadioStoreFiles files;
    std::string error;
    if (!BuildRadioStore(options, writer.identity().now, files, error))
        return writer.Fail("radio history: " + error);
    return writer.File("/var/mobile/Media/Radio/Radio.db", files.database) &&
           writer.File("/var/mobile/Media/Radio/Radio.db-shm", files.shm) &&
           writer.File("/var/mobile/Media/Radio/Radio.db-wal", files.wal);
}

}  // namespace bw::sim
