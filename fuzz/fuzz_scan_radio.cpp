// The radio history reader on any bytes as the device's radio database: the rows it lists, the
// texts converted, and nothing left open afterwards.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "formats/sqlite_table.h"
#include "fuzz_seeds.h"
#include "platform/files.h"
#include "scan/radio_junk.h"

namespace {

std::string gFolder;

std::string Database() {
    return gFolder + "/Radio.db";
}

// A small radio database made with SQLite: the tables and columns the reader queries.
std::string MakeRadioDatabase(const char* rows) {
    const std::string path = gFolder + "/seed.db";
    bw::platform::RemoveFile(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "CREATE TABLE ZTRACK (Z_PK INTEGER PRIMARY KEY, ZSTORE_ID FLOAT, ZALBUM VARCHAR,"
                 " ZARTIST VARCHAR, ZTITLE VARCHAR);"
                 "CREATE TABLE ZTRACKHISTORY (Z_PK INTEGER PRIMARY KEY, ZTRACK_STORE_ID FLOAT,"
                 " ZDATE TIMESTAMP, ZSTATION_NAME VARCHAR);",
                 nullptr, nullptr, nullptr);
    sqlite3_exec(db, rows, nullptr, nullptr, nullptr);
    sqlite3_close(db);
    std::string bytes;
    bw::platform::ReadWholeFile(path, bytes);
    bw::platform::RemoveFile(path);
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = "/tmp/bw-fuzz-radio-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    gFolder = pattern;
    bw::fuzz::MaybeWriteSeeds({
        MakeRadioDatabase(""),
        MakeRadioDatabase("INSERT INTO ZTRACK VALUES (1, 7.0, 'A', 'B', 'C');"
                          "INSERT INTO ZTRACKHISTORY VALUES (2, 7.0, 1.5, 'S');"
                          "INSERT INTO ZTRACKHISTORY VALUES (3, 8.0, 2.5, 'T');"),
        MakeRadioDatabase("INSERT INTO ZTRACK VALUES (1, 7, x'00ff', NULL, 3);"
                          "INSERT INTO ZTRACKHISTORY VALUES (2, 7, 'when', 4.5);"),
        std::string("SQLite format 3\0", 16),
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = Database();
    if (!bw::platform::WriteFileAtomic(
            path, std::string_view(reinterpret_cast<const char*>(data), size))) {
        return 0;
    }
    {
        bw::CRadioTempJunk scanner;
        BwScanStatus status{};
        scanner.SetStatusRecord(&status);
        scanner.ReadHistory(path);
        const bw::ResultList& rows = scanner.Results(kResultRadioHistory);
        for (size_t i = 0; i < rows.size(); ++i) {
            auto* row = rows.At<bw::CRadioHistoryModel>(i);
            char16_t buffer[512];
            if (row->GetTitle(nullptr) <= sizeof buffer / sizeof buffer[0]) row->GetTitle(buffer);
        }
        if (status.selectedCount != rows.size()) std::abort();
    }
    if (bw::IsDatabaseOpen()) std::abort();
    bw::platform::RemoveFile(path);
    bw::platform::RemoveFile(path + "-journal");
    bw::platform::RemoveFile(path + "-wal");
    bw::platform::RemoveFile(path + "-shm");
    return 0;
}
