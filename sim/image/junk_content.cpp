// Junk of the media area and the crash-report area, as the junk scanners see it. Paths below are
// device paths; <stamp> is a local "YYYY-MM-DD-HHMMSS" time, <host> the device name with
// every character other than a letter or digit made '-', <ext> ".ips" on iOS 7 and ".plist"
// before; ids are digits drawn from the seed.
//
// Crash logs, /var/mobile/Library/Logs/CrashReporter (the crash-report service's "/"):
//   MobileSafari_<stamp>_<host><ext>, Maps_<stamp>_<host><ext>, Météo_<stamp>_<host><ext>,
//   LowMemory-<stamp><ext>, SpringBoard_<stamp>_<host><ext> (empty),
//   Panics/panic-full-<stamp><ext>, DiagnosticLogs/Security/SecurityLog-<stamp>.log,
//   DiagnosticLogs/powerlog_<stamp>.log, Baseband/ (empty folder).
//   Not items: LatestCrash<ext>, a link to the MobileSafari log (not a regular file), and
//   /var/mobile/Library/Logs/AppleSupport/general.log (outside the area).
// Downloads, /var/mobile/Media/Downloads:
//   <id>.tmp; <id1>/<asset1>.ipa, <id1>/iTunesMetadata.plist; <id2>/<asset2>.m4a,
//   <id2>/downloads.28.sqlitedb (a sub-folder's file is junk whatever its name),
//   <id2>/Artwork/cover.jpg; <id3>/ (empty folder).
//   Not items: downloads.28.sqlitedb (a real database), downloads.28.sqlitedb-shm and
//   downloads.28.sqlitedb-wal at the root.
// Photo thumbnails, /var/mobile/Media/DCIM/.THMB:
//   100APPLE/IMG_0001.THM to IMG_0004.THM (small JPEGs of the camera-roll photos),
//   101APPLE/IMG_0101.THM, 101APPLE/Small/IMG_0101.THM; 102APPLE/ (empty folder).
//   Not items: ThumbIndex.plist directly in .THMB, and the photos of DCIM/100APPLE.
// General storage, /var/mobile/Media/general_storage (item names in brackets):
//   store-cache.plist [/store-cache.plist], a/b.dat [/a/b.dat], a/zero.dat (empty) [/a/zero.dat],
//   a/deep/c.bin [/a/deep/c.bin], general_storage/d.dat [/general_storage/d.dat]; empty/ (empty
//   folder).
// Radio (iOS 7 and later), /var/mobile/Media/Radio/Radio.db, Radio.db-shm (zeros), Radio.db-wal:
//   ZTRACK keys 1 to 7, ZTRACKHISTORY keys 1 to 8; the history query joins plays 1, 2, 3, 5, 6,
//   7, 8 to tracks 1, 2, 3, 1, 4, 5, 6. Not listed: play 4 (its track is gone) and track 7
//   (never played). Play 6 has a NULL station, track 6 a NULL album; tracks 2 and 3 and the
//   station of play 2 are not ASCII. Plays 7 and 8 and track 6 are only in the log, so a copy
//   without Radio.db-wal lists five plays. The scale adds plays and tracks with keys from 101.
//
// The scale adds, for each step above 1, 12 crash logs (Retired/<n>/), one download folder of
// 12 files, 16 thumbnails (103APPLE and up) and 10 storage files (bulk/<xx>/), 50 files in all,
// and 10 radio plays with their tracks.
#include "junk_content.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "junk_radio.h"
#include "junk_sqlite.h"
#include "photos.h"
#include "seeded_random.h"

namespace bw::sim {
namespace {

constexpr char kCrashRoot[] = "/var/mobile/Library/Logs/CrashReporter";
constexpr char kDownloads[] = "/var/mobile/Media/Downloads";
constexpr char kThumbnails[] = "/var/mobile/Media/DCIM/.THMB";
constexpr char kStorage[] = "/var/mobile/Media/general_storage";
constexpr size_t kShmSize = 32768;

constexpr int kCrashLogsPerStep = 12;
constexpr int kDownloadFilesPerStep = 12;
constexpr int kThumbnailsPerStep = 16;
constexpr int kStorageFilesPerStep = 10;
// Folders of scaled junk stay below a thousand entries, as iOS keeps DCIM folders.
constexpr int kStepsPerFolder = 50;

// Filler text cut to each file's size: cheap enough for a hundred thousand files.
class Filler {
  public:
    explicit Filler(SeededRandom& random) {
        static constexpr const char* kWords[] = {
            "thread", "0x0000",         "frame",     "libsystem_kernel.dylib",
            "UIKit",  "CoreFoundation", "exception", "memory",
            "pages",  "state",          "com.apple", "reason",
            "queue",  "binary"};
        while (text_.size() < kSize) {
            text_ += random.Pick(kWords);
            text_ += random.Chance(12) ? '\n' : ' ';
        }
    }

    std::string Take(SeededRandom& random, size_t length) const {
        length = std::min(length, kSize);
        return text_.substr(random.Below(kSize - length + 1), length);
    }

  private:
    static constexpr size_t kSize = 4096;
    std::string text_;
};

class JunkWriter {
  public:
    JunkWriter(ImageWriter& writer, const ImageOptions& options)
        : writer_(writer),
          identity_(writer.identity()),
          seed_(options.seed),
          random_(options.seed, "junk-filler"),
          filler_(random_),
          scaleSteps_(options.scale - 1),
          ext_(identity_.release->major >= 7 ? ".ips" : ".plist") {
        for (const char c : identity_.deviceName) {
            const bool alnum =
                (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
            host_ += alnum ? c : '-';
        }
        if (host_.empty()) host_ = "iPhone";
    }

    bool CrashLogs();
    bool Downloads();
    bool Thumbnails(const ImageOptions& options);
    bool Storage();

  private:
    // Local time of the device, as crash-log names carry it.
    std::string Stamp(int64_t unixTime) const {
        const auto local = static_cast<time_t>(unixTime + identity_.region->offsetFromUtc);
        std::tm parts{};
        gmtime_r(&local, &parts);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%d-%H%M%S", &parts);
        return text;
    }

    std::string CrashReport(const std::string& process, int64_t time) {
        const IosRelease& release = *identity_.release;
        std::string text =
            "{\"app_name\":\"" + process + "\",\"timestamp\":\"" + Stamp(time) +
            "\",\"bug_type\":\"109\",\"os_version\":\"iPhone OS " + release.version + " (" +
            release.build + ")\"}\n" + "Incident Identifier: " + random_.LowerHex(8) +
            "\nHardware Model:      " + release.productType + "\nProcess:             " + process +
            " [" + std::to_string(random_.Between(40, 9000)) + "]\n\n";
        return text + filler_.Take(random_, static_cast<size_t>(random_.Between(200, 1800)));
    }

    std::string Leftover(size_t low, size_t high) {
        return filler_.Take(random_, static_cast<size_t>(random_.Between(
                                         static_cast<int64_t>(low), static_cast<int64_t>(high))));
    }

    std::string Id(size_t digits) {
        return std::to_string(random_.Between(1, 9)) + random_.Digits(digits - 1);
    }

    bool DownloadsDatabase(const std::string& firstId, const std::string& secondId);

    // Each kind of junk draws from its own stream, so changing one leaves the others' bytes.
    void Stream(std::string_view name) { random_ = SeededRandom(seed_, name); }

    ImageWriter& writer_;
    const DeviceIdentity& identity_;
    uint64_t seed_;
    SeededRandom random_;
    Filler filler_;
    int scaleSteps_;
    std::string ext_;
    std::string host_;
};

bool JunkWriter::CrashLogs() {
    Stream("junk-crash-logs");
    const std::string root = kCrashRoot;
    int64_t time = identity_.now - 20 * 86400;
    const auto later = [&] { return time += random_.Between(600, 2 * 86400); };
    const std::string safari = root + "/MobileSafari_" + Stamp(later()) + "_" + host_ + ext_;
    if (!writer_.File(safari, CrashReport("MobileSafari", time))) return false;
    struct {
        const char* process;
        bool named;  // the device's name follows the date
    } const kRootLogs[] = {{"Maps", true}, {"M\xc3\xa9t\xc3\xa9o", true}, {"LowMemory", false}};
    for (const auto& log : kRootLogs) {
        const std::string stamp = Stamp(later());
        const std::string name = log.named ? std::string(log.process) + "_" + stamp + "_" + host_
                                           : std::string(log.process) + "-" + stamp;
        if (!writer_.File(root + "/" + name + ext_, CrashReport(log.process, time))) return false;
    }
    const std::string logsFolder = root + "/DiagnosticLogs";
    if (!writer_.File(root + "/SpringBoard_" + Stamp(later()) + "_" + host_ + ext_, "") ||
        !writer_.File(root + "/Panics/panic-full-" + Stamp(later()) + ext_,
                      CrashReport("kernel", time)) ||
        !writer_.File(logsFolder + "/Security/SecurityLog-" + Stamp(later()) + ".log",
                      Leftover(100, 900)) ||
        !writer_.File(logsFolder + "/powerlog_" + Stamp(later()) + ".log", Leftover(100, 900)) ||
        !writer_.Folder(root + "/Baseband"))
        return false;
    // The system points a link at the newest report; it is no report of its own.
    if (!writer_.Link(root + "/LatestCrash" + ext_, safari.substr(root.size() + 1))) return false;
    if (!writer_.File("/var/mobile/Library/Logs/AppleSupport/general.log", Leftover(100, 600)))
        return false;

    static constexpr const char* kProcesses[] = {"MobileSafari", "MobileMail", "Music",
                                                 "MobileSMS",    "Camera",     "Maps"};
    int64_t scaled = identity_.now - 200 * 86400;
    for (int step = 1; step <= scaleSteps_; ++step) {
        const std::string folder =
            root + "/Retired/" + std::to_string((step - 1) / kStepsPerFolder + 1) + "/";
        for (int i = 0; i < kCrashLogsPerStep; ++i) {
            // A second apart at least, so no two reports share a name.
            scaled += random_.Between(1, 900);
            const char* process = random_.Pick(kProcesses);
            const std::string path = folder + process + "_" + Stamp(scaled) + "_" + host_ + ext_;
            if (!writer_.File(path, CrashReport(process, scaled))) return false;
        }
    }
    return true;
}

bool JunkWriter::DownloadsDatabase(const std::string& firstId, const std::string& secondId) {
    SqlTable downloads{"download",
                       "CREATE TABLE download (pid INTEGER PRIMARY KEY, download_id INTEGER, kind "
                       "TEXT, title TEXT, url TEXT, path TEXT, state TEXT)",
                       {}};
    const std::string ids[] = {firstId, secondId};
    const char* kinds[] = {"software", "song"};
    for (int i = 0; i < 2; ++i) {
        downloads.rows.push_back(
            {i + 1,
             {SqlValue::Null(), SqlValue::Int(std::stoll(ids[i])), SqlValue::Text(kinds[i]),
              SqlValue::Text(i == 0 ? "Puzzle Garden" : "Glass Harbour"),
              SqlValue::Text("https://a1.phobos.example/download/" + ids[i]),
              SqlValue::Text("/var/mobile/Media/Downloads/" + ids[i]), SqlValue::Text("failed")}});
    }
    const SqlTable properties{
        "download_property",
        "CREATE TABLE download_property (pid INTEGER PRIMARY KEY, download_pid INTEGER, name "
        "TEXT, value BLOB)",
        {{1, {SqlValue::Null(), SqlValue::Int(1), SqlValue::Text("bytes"), SqlValue::Int(48213)}},
         {2, {SqlValue::Null(), SqlValue::Int(2), SqlValue::Text("bytes"), SqlValue::Int(7312)}}}};
    std::string database, error;
    if (!BuildSqliteDatabase({downloads, properties}, true, database, error))
        return writer_.Fail("downloads database: " + error);
    const auto salt1 = static_cast<uint32_t>(random_.Next());
    const auto salt2 = static_cast<uint32_t>(random_.Next());
    const std::string root = std::string(kDownloads) + "/downloads.28.sqlitedb";
    return writer_.File(root, database) &&
           writer_.File(root + "-shm", std::string(kShmSize, '\0')) &&
           writer_.File(root + "-wal", BuildSqliteWal(database, database, salt1, salt2));
}

bool JunkWriter::Downloads() {
    Stream("junk-downloads");
    const std::string root = kDownloads;
    const std::string first = Id(10), second = Id(10), third = Id(10);
    if (!DownloadsDatabase(first, second)) return false;
    if (!writer_.File(root + "/" + Id(19) + ".tmp", Leftover(300, 2000)) ||
        !writer_.File(root + "/" + first + "/" + Id(12) + ".ipa", Leftover(1000, 4000)) ||
        !writer_.File(root + "/" + first + "/iTunesMetadata.plist", Leftover(200, 800)) ||
        !writer_.File(root + "/" + second + "/" + Id(12) + ".m4a", Leftover(1000, 4000)) ||
        !writer_.File(root + "/" + second + "/downloads.28.sqlitedb", Leftover(100, 400)) ||
        !writer_.File(root + "/" + second + "/Artwork/cover.jpg", Leftover(300, 900)) ||
        !writer_.Folder(root + "/" + third))
        return false;

    for (int step = 1; step <= scaleSteps_; ++step) {
        const std::string folder = root + "/" + std::to_string(4000000000LL + step) + "/";
        if (!writer_.File(folder + "iTunesMetadata.plist", Leftover(200, 800)) ||
            !writer_.File(folder + "Artwork/cover.jpg", Leftover(300, 900)))
            return false;
        for (int i = 2; i < kDownloadFilesPerStep; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "part-%02d.m4a", i - 1);
            if (!writer_.File(folder + name, Leftover(100, 2000))) return false;
        }
    }
    return true;
}

bool JunkWriter::Thumbnails(const ImageOptions& options) {
    Stream("junk-thumbnails");
    const std::string root = kThumbnails;
    // Thumbnails of the camera-roll photos: the same drawings, made small.
    std::vector<std::string> jpegs;
    for (int index = 1; index <= 4; ++index) {
        PhotoSpec spec;
        spec.width = 120;
        spec.height = 90;
        spec.seed = options.seed;
        spec.index = index;
        spec.model = identity_.release->marketingName;
        spec.software = identity_.release->version;
        spec.takenLocal = ExifDateTime(identity_.now, identity_.region->offsetFromUtc);
        std::string jpeg, error;
        if (!EncodePhoto(spec, jpeg, error)) return writer_.Fail(error);
        char name[48];
        std::snprintf(name, sizeof name, "/100APPLE/IMG_%04d.THM", index);
        if (!writer_.File(root + name, jpeg)) return false;
        jpegs.push_back(std::move(jpeg));
    }
    if (!writer_.File(root + "/101APPLE/IMG_0101.THM", jpegs[0]) ||
        !writer_.File(root + "/101APPLE/Small/IMG_0101.THM", jpegs[1]) ||
        !writer_.Folder(root + "/102APPLE") ||
        !writer_.File(root + "/ThumbIndex.plist", Leftover(100, 600)))
        return false;

    for (int step = 1; step <= scaleSteps_; ++step) {
        const int folder = 103 + (step - 1) / kStepsPerFolder;
        const int first = ((step - 1) % kStepsPerFolder) * kThumbnailsPerStep + 1;
        for (int i = 0; i < kThumbnailsPerStep; ++i) {
            char name[48];
            std::snprintf(name, sizeof name, "/%03dAPPLE/IMG_%04d.THM", folder, first + i);
            if (!writer_.File(root + name, jpegs[static_cast<size_t>(i) % jpegs.size()]))
                return false;
        }
    }
    return true;
}

bool JunkWriter::Storage() {
    Stream("junk-storage");
    const std::string root = kStorage;
    if (!writer_.File(root + "/store-cache.plist", Leftover(100, 900)) ||
        !writer_.File(root + "/a/b.dat", Leftover(100, 900)) ||
        !writer_.File(root + "/a/zero.dat", "") ||
        !writer_.File(root + "/a/deep/c.bin", Leftover(100, 900)) ||
        // Only the first "/general_storage" leaves an item's name.
        !writer_.File(root + "/general_storage/d.dat", Leftover(100, 900)) ||
        !writer_.Folder(root + "/empty"))
        return false;

    for (int step = 1; step <= scaleSteps_; ++step) {
        char folder[32];
        std::snprintf(folder, sizeof folder, "/bulk/%02x/", (step - 1) / kStepsPerFolder);
        for (int i = 0; i < kStorageFilesPerStep; ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "item-%05d-%02d.dat", step, i);
            if (!writer_.File(root + folder + name, Leftover(50, 1200))) return false;
        }
    }
    return true;
}

}  // namespace

bool AddJunk(ImageWriter& writer, const ImageOptions& options) {
    JunkWriter junk(writer, options);
    return junk.CrashLogs() && junk.Downloads() && junk.Thumbnails(options) && junk.Storage() &&
           AddRadioHistory(writer, options);
}

}  // namespace bw::sim
