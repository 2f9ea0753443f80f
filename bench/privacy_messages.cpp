// The message scan and clean of a deep clean on a backup with 100 thousand messages in 2
// thousand conversations (an iOS 6 phone image at the builder's largest scale), against reading
// the same message rows with one plain SQLite query over the same working copy, in the same run.
// The scan goes through the scan session without a device, as a host reading a backup does.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "backup/configure_tool.h"
#include "backup/device_backup.h"
#include "image/image_builder.h"
#include "platform/text.h"
#include "quick.h"
#include "session/scan_device.h"
#include "sim_setup.h"

namespace {

namespace fs = std::filesystem;

using bw::bench::Fail;

// Each step above 1 adds 2 conversations of 50 messages: 1000 gives about 100 thousand messages.
const int kScale = bw::bench::FullOrQuick(1000, 5);
constexpr char kVersion[] = "6.1.3";

struct Setup {
    std::string root;
    std::string udid;
    std::string backupRoot;
    int round = 0;

    Setup() {
        if (!fs::exists(bw::bench::RuntimeFolder() / "AppleMobileBackup.exe")) {
            Fail("no backup tool stand-in");
        }
        root = bw::bench::MakeTempFolder("privacy");
        bw::bench::UseSimRegistry(root);
        ::setenv("XDG_DATA_HOME", (root + "/data").c_str(), 1);
        const std::string image = root + "/phone";
        bw::sim::ImageOptions options;
        options.iosVersion = kVersion;
        options.scale = kScale;
        options.udid = std::string(40, 'b');
        std::string error;
        if (!bw::sim::CreateImage(image, options, error)) Fail(error);
        udid = options.udid;
        ::setenv("BRACKWATER_SIM_IMAGES", image.c_str(), 1);
        backupRoot = root + "/data/Apple Computer/MobileSync/Backup";
        BackupStatus status{};
        bw::CDeviceBackUp run(bw::Utf8ToWide(udid), kBackupModeBackup, false, u"");
        run.SetStatus(&status);
        run.Start();
        while (std::atomic_ref<uint8_t>(status.finished).load() == 0)
            ::usleep(2000);
        if (status.failed != 0) Fail("the backup failed");
    }
    ~Setup() { fs::remove_all(root); }

    // Fresh working folders over the backup, as a deep clean starts; the working copy of the
    // message store is made by the scanner itself.
    bool FreshConfiguration() {
        return bw::CConfigureTool::Instance().SetUp({udid, kVersion, 0}, root + "/work", backupRoot,
                                                    true);
    }
};

Setup& TheSetup() {
    static Setup setup;
    return setup;
}

// Baseline: every message row with the columns the scanner reads and its conversation, in one
// statement over the working copy.
void BM_PlainQueryOfTheMessages(benchmark::State& state) {
    Setup& s = TheSetup();
    if (!s.FreshConfiguration()) return state.SkipWithError("set-up failed");
    const std::string path = bw::CConfigureTool::Instance().CopySmsDatabase();
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return state.SkipWithError("cannot open the working copy");
    }
    int64_t rows = 0;
    for (auto _ : state) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db,
                           "SELECT m.ROWID,m.text,m.subject,m.date,m.date_read,m.is_finished,"
                           "m.cache_has_attachments,m.is_read,m.is_sent,j.chat_id FROM message m "
                           "JOIN chat_message_join j ON j.message_id = m.ROWID",
                           -1, &statement, nullptr);
        rows = 0;
        size_t bytes = 0;
        while (sqlite3_step(statement) == SQLITE_ROW) {
            ++rows;
            for (int column = 0; column < 10; ++column)
                bytes += static_cast<size_t>(sqlite3_column_bytes(statement, column));
        }
        sqlite3_finalize(statement);
        benchmark::DoNotOptimize(bytes);
    }
    sqlite3_close(db);
    state.counters["messages"] = static_cast<double>(rows);
}

int32_t CountMessages(bw::CScanDevice& session) {
    int32_t messages = 0;
    for (int32_t i = 0; i < session.GetResultCount11(); ++i) {
        messages += static_cast<ISMSChatModel*>(session.GetResult11(i))->GetMessageCount();
    }
    return messages;
}

// The scan session's message scan: working copy, conversations, messages, attachments,
// contact names.
void BM_MessageScan(benchmark::State& state) {
    Setup& s = TheSetup();
    int32_t messages = 0, chats = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!s.FreshConfiguration()) {
            state.SkipWithError("set-up failed");
            break;
        }
        bw::CScanDevice session(nullptr);
        BwScanStatus status{};
        session.SetStatusRecord(&status);
        state.ResumeTiming();
        session.StartScan(kJunkMessages);
        state.PauseTiming();
        chats = session.GetResultCount11();
        messages = CountMessages(session);
        state.ResumeTiming();
    }
    state.counters["conversations"] = chats;
    state.counters["messages"] = messages;
}

// The clean of every conversation after a scan (not timed).
void BM_MessageCleanOfEverything(benchmark::State& state) {
    Setup& s = TheSetup();
    for (auto _ : state) {
        state.PauseTiming();
        if (!s.FreshConfiguration()) {
            state.SkipWithError("set-up failed");
            break;
        }
        bw::CScanDevice session(nullptr);
        BwScanStatus status{};
        session.SetStatusRecord(&status);
        session.StartScan(kJunkMessages);
        if (session.GetResultCount11() == 0) {
            state.SkipWithError("nothing found");
            break;
        }
        state.ResumeTiming();
        session.StartClean();
        state.PauseTiming();
        sqlite3* db = nullptr;
        sqlite3_open_v2(bw::CConfigureTool::Instance().CopySmsDatabase().c_str(), &db,
                        SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, "SELECT count(*) FROM message", -1, &statement, nullptr);
        const bool empty =
            sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_int64(statement, 0) == 0;
        sqlite3_finalize(statement);
        sqlite3_close(db);
        if (!empty) state.SkipWithError("messages left after the clean");
        state.ResumeTiming();
    }
}

}  // namespace

BENCHMARK(BM_PlainQueryOfTheMessages)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MessageScan)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MessageCleanOfEverything)->Unit(benchmark::kMillisecond)->Iterations(2);

BENCHMARK_MAIN();
