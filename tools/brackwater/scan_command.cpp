// brackwater scan TYPE... [--json] and brackwater clean TYPE... [--keep GLOB]: the device's junk,
// one scan session, one junk type after the other. A thread draws the progress from the status
// record while the library works on this one; Ctrl-C asks the session to stop.
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "brackwater/apps.h"
#include "brackwater/scan.h"
#include "cli.h"
#include "device_session.h"
#include "scan_progress.h"
#include "text.h"
#include "type_words.h"

namespace cli {

namespace {

constexpr NamedType kJunkTypes[] = {
    {kJunkAppCaches, "app-caches"},   {kJunkAppCookies, "app-cookies"},
    {kJunkAppTemp, "app-temp"},       {kJunkCrashLogs, "crash-logs"},
    {kJunkDownloads, "downloads"},    {kJunkPhotoThumbnails, "photo-thumbnails"},
    {kJunkGeneralStorage, "storage"}, {kJunkRadioHistory, "radio"},
};

const char* TypeName(int number) {
    return TypeNameIn(kJunkTypes, number);
}

bool ParseTypes(const std::vector<std::string>& words, std::vector<int>& types,
                std::string& problem) {
    return ParseTypeWords(words, kJunkTypes, "junk", "", types, problem);
}

// One found item, whatever record carries it.
struct Item {
    std::string name;
    std::string path;  // the device path, or for radio rows "artist - title"
    uint64_t size = 0;
    bool selected = false;
    void* record = nullptr;
    int kind = 0;     // 0 file, 1 application file, 2 radio row
    std::string app;  // the application's name, for application files
};

// Every item of the last scan, in the library's order.
std::vector<Item> Collect(IScanDevice* session, int type) {
    std::vector<Item> items;
    if (type == kJunkRadioHistory) {
        for (int32_t i = 0; i < session->GetResultCount1(); ++i) {
            auto* row = static_cast<IRadioHistoryModel*>(session->GetResult1(i));
            if (row == nullptr) continue;
            const std::string title = Text(row, &IRadioHistoryModel::GetTitle);
            items.push_back({title,
                             Text(row, &IRadioHistoryModel::GetArtist) + " - " + title + " (" +
                                 Text(row, &IRadioHistoryModel::GetStationName) + ")",
                             0, row->Select(0) != 0, row, 2});
        }
    } else if (type <= kJunkAppTemp) {
        for (int32_t i = 0; i < session->GetResultCount2(); ++i) {
            auto* app = static_cast<IAppInfo*>(session->GetResult2(i));
            if (app == nullptr) continue;
            const std::string appName = Text(app, &IAppInfo::GetName);
            for (int32_t j = 0; j < app->GetItemCount(); ++j) {
                IAppDetailFile* file = app->GetItem(j);
                if (file == nullptr) continue;
                items.push_back({Text(file, &IAppDetailFile::GetName),
                                 Text(file, &IAppDetailFile::GetPath), file->GetSize(),
                                 file->Select(0) != 0, file, 1, appName});
            }
        }
    } else {
        for (int32_t i = 0; i < session->GetResultCount0(); ++i) {
            auto* file = static_cast<IScanFileInfo*>(session->GetResult0(i));
            if (file == nullptr) continue;
            items.push_back({Text(file, &IScanFileInfo::GetName),
                             Text(file, &IScanFileInfo::GetPath), file->GetSize(),
                             file->Select(0) != 0, file, 0});
        }
    }
    return items;
}

void Toggle(Item& item) {
    switch (item.kind) {
        case 0:
            item.selected = static_cast<IScanFileInfo*>(item.record)->Select(1) != 0;
            break;
        case 1:
            item.selected = static_cast<IAppDetailFile*>(item.record)->Select(1) != 0;
            break;
        default:
            item.selected = static_cast<IRadioHistoryModel*>(item.record)->Select(1) != 0;
            break;
    }
}

bool Matches(const std::vector<std::string>& globs, const Item& item) {
    for (const std::string& glob : globs) {
        if (::fnmatch(glob.c_str(), item.name.c_str(), 0) == 0 ||
            ::fnmatch(glob.c_str(), item.path.c_str(), 0) == 0)
            return true;
    }
    return false;
}

void PrintTable(int type, const std::vector<Item>& items, const BwScanStatus& status,
                bool listItems) {
    std::printf("%s: %zu found, %s\n", TypeName(type), items.size(),
                ProgressWatch::Size(status.selectedSize).c_str());
    for (const Item& item : items) {
        if (!listItems) break;
        if (item.kind == 2) {
            std::printf("  %s\n", Printable(item.path).c_str());
        } else {
            std::printf("  %10llu  %s%s%s\n", static_cast<unsigned long long>(item.size),
                        Printable(item.app).c_str(), item.app.empty() ? "" : ": ",
                        Printable(item.path).c_str());
        }
    }
}

void PrintJson(int type, const std::vector<Item>& items, const BwScanStatus& status) {
    std::printf("{\"type\":%d,\"name\":\"%s\",\"count\":%zu,\"size\":%llu,\"items\":[", type,
                TypeName(type), items.size(), static_cast<unsigned long long>(status.selectedSize));
    for (size_t i = 0; i < items.size(); ++i) {
        std::printf("%s{\"name\":%s,\"path\":%s,\"size\":%llu%s}", i == 0 ? "" : ",",
                    JsonString(items[i].name).c_str(), JsonString(items[i].path).c_str(),
                    static_cast<unsigned long long>(items[i].size),
                    items[i].app.empty() ? "" : (",\"app\":" + JsonString(items[i].app)).c_str());
    }
    std::printf("]}\n");
}

int RunJunk(Arguments& args, bool clean) {
    const char* usage = clean ? "brackwater [--sim[=IMAGE]] clean TYPE... [--keep GLOB]..."
                              : "brackwater [--sim[=IMAGE]] scan TYPE... [--json] [--summary]";
    std::vector<std::string> keep;
    for (;;) {
        std::string glob;
        bool missing = false;
        if (!TakeOption(args.words, "--keep", glob, missing)) break;
        if (missing || glob.empty()) return UsageError("--keep needs a GLOB", usage);
        if (!clean) return UsageError("--keep belongs to clean", usage);
        keep.push_back(glob);
    }
    const bool summary = !clean && TakeFlag(args.words, "--summary");
    if (const std::string unknown = UnknownOption(args.words); !unknown.empty()) {
        return UsageError("unknown option " + unknown, usage);
    }
    std::vector<int> types;
    std::string problem;
    if (!ParseTypes(args.words, types, problem)) return UsageError(problem, usage);

    DeviceSession devices;
    std::string error;
    CIPhone* device = devices.Open(args, error);
    if (device == nullptr) return Fail(error);
    IScanDevice* session = ScanDeviceNew(device);
    if (session == nullptr) return Fail("cannot open a scan session on the device");
    BwScanStatus status{};
    session->SetStatusRecord(&status);

    g_interrupted = false;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    struct sigaction previous {};
    ::sigaction(SIGINT, &action, &previous);

    int result = 0;
    for (int type : types) {
        // A fresh record for each type, so its counts are this scan's alone.
        session->SetStatusRecord(&status);
        {
            ProgressWatch watch(session, status);
            session->StartScan(type);
        }
        if (g_interrupted) break;
        std::vector<Item> items = Collect(session, type);
        if (!clean) {
            if (args.json) {
                PrintJson(type, items, status);
            } else {
                PrintTable(type, items, status, !summary);
            }
            continue;
        }
        for (Item& item : items) {
            if (item.selected && Matches(keep, item)) Toggle(item);
        }
        {
            ProgressWatch watch(session, status);
            session->StartClean();
        }
        if (g_interrupted) break;
        size_t removed = 0;
        for (const Item& item : items) {
            if (!item.selected) continue;
            ++removed;
            std::printf("removed %s%s%s\n", Printable(item.app).c_str(),
                        item.app.empty() ? "" : ": ", Printable(item.path).c_str());
        }
        std::printf("%s: %zu removed, %zu kept\n", TypeName(type), removed, items.size() - removed);
    }
    ScanDeviceDelete(session);
    ::sigaction(SIGINT, &previous, nullptr);
    if (g_interrupted) {
        std::fprintf(stderr, "brackwater: stopped\n");
        result = 130;
    }
    return result;
}

}  // namespace

int RunScan(Arguments& args) {
    return RunJunk(args, false);
}
int RunClean(Arguments& args) {
    return RunJunk(args, true);
}

}  // namespace cli
