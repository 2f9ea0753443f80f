// brackwater info [--json], rename NAME, screenshot FILE.png, restart [--wait]: what the device
// tells about itself, and the small actions on it.
#include <vips/vips8>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "brackwater/device_info.h"
#include "cli.h"
#include "device_session.h"
#include "output_file.h"
#include "simulator_setup.h"
#include "text.h"

namespace cli {

namespace {

struct InfoDeleter {
    void operator()(IDeviceInfo* info) const { CDeviceInfoDelete(info); }
};
using DeviceInfo = std::unique_ptr<IDeviceInfo, InfoDeleter>;

// The values the information object keeps, in its own order; `number` marks the ones it gives as
// decimal text. "BarreyCharging" is spelled as the object spells it.
struct ValueKey {
    const char* key;
    bool number;
};
constexpr ValueKey kValueKeys[] = {
    {"BarreyCharging", true},
    {"CurrentCapacity", true},
    {"TotalDataAvailable", true},
    {"TotalDataCapacity", true},
    {"TotalDiskCapacity", true},
    {"TotalSystemAvailable", true},
    {"TotalSystemCapacity", true},
    {"MobileApplicationUsage", true},
    {"UniqueChipID", true},
    {"DeviceName", false},
    {"DeviceColor", false},
    {"DeviceClass", false},
    {"PhoneNumber", false},
    {"ProductType", false},
    {"ProductVersion", false},
    {"SerialNumber", false},
    {"TimeZone", false},
    {"UniqueDeviceID", false},
    {"TimeZoneOffsetFromUTC", true},
    {"SupportsWifiSyncing", true},
    {"SupportsAirTraffic", true},
};

std::string InfoValue(IDeviceInfo* info, const char* key) {
    const std::u16string wideKey = ToWide(key);
    return TwoCallText(
        [&](BwChar* buffer) { return BrackwaterDeviceInfoValue(info, wideKey.c_str(), buffer); });
}

// Whether the text is a number as JSON writes one, so that it can be printed as it is.
bool IsJsonNumber(const std::string& text) {
    size_t at = text.size() > 0 && text[0] == '-' ? 1 : 0;
    const auto digits = [&] {
        const size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9')
            ++at;
        return at - start;
    };
    const size_t whole = digits();
    if (whole == 0 || (whole > 1 && text[at - whole] == '0')) return false;
    if (at < text.size() && text[at] == '.') {
        ++at;
        if (digits() == 0) return false;
    }
    return at == text.size();
}

uint64_t Unsigned(const std::string& text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return 0;
    return std::strtoull(text.c_str(), nullptr, 10);
}

// Decimal units, as the phone itself counts its storage.
std::string HumanSize(uint64_t bytes) {
    constexpr const char* kUnits[] = {"bytes", "kB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1000 && unit + 1 < std::size(kUnits)) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    }
    return text;
}

// "[####......]": `part` of `whole` in `width` marks.
std::string Bar(uint64_t part, uint64_t whole, size_t width) {
    const size_t filled =
        whole == 0
            ? 0
            : static_cast<size_t>(std::min(1.0, static_cast<double>(part) / whole) * width + 0.5);
    // Appended piece by piece: g++ 12 at -O3 reports a false overlapping copy in
    // "[" + std::string(...).
    std::string bar(1, '[');
    bar.append(std::min(filled, width), '#').append(width - std::min(filled, width), '.');
    bar.push_back(']');
    return bar;
}

struct MediaRow {
    std::string category;
    int64_t count = 0;
    int64_t bytes = 0;
};

struct DeviceReport {
    std::vector<std::pair<const ValueKey*, std::string>> values;
    std::vector<MediaRow> media;
    int applications = 0;

    const std::string& Value(const char* key) const {
        static const std::string none;
        for (const auto& [entry, text] : values) {
            if (std::strcmp(entry->key, key) == 0) return text;
        }
        return none;
    }
    uint64_t Total() const { return Unsigned(Value("TotalDataCapacity")); }
    uint64_t Free() const { return std::min(Total(), Unsigned(Value("TotalDataAvailable"))); }
};

// Reads everything `info` shows. Media usage first: the device counts its storage anew while it
// answers, so the values are read again afterwards.
DeviceReport ReadReport(IDeviceInfo* info) {
    DeviceReport report;
    const int32_t categories = info->LoadMediaUsage();
    for (int32_t i = 0; i < categories; ++i) {
        BwMediaCategory record{};
        info->GetMediaCategory(&record, i);
        const size_t length =
            std::find(std::begin(record.category), std::end(record.category), BwChar{0}) -
            std::begin(record.category);
        report.media.push_back({ToUtf8(std::u16string_view(record.category, length)), record.count,
                                record.physicalSize});
    }
    if (categories > 0) info->RefreshStorage();
    for (const ValueKey& entry : kValueKeys)
        report.values.emplace_back(&entry, InfoValue(info, entry.key));
    report.applications = std::max(0, static_cast<int>(info->LoadApplications()));
    return report;
}

void PrintJson(const DeviceReport& report) {
    std::string out = "{\"values\":{";
    for (const auto& [entry, text] : report.values) {
        if (out.back() != '{') out += ',';
        out += JsonString(entry->key) + ":" +
               (entry->number && IsJsonNumber(text) ? text : JsonString(text));
    }
    const std::string& percent = report.Value("CurrentCapacity");
    out += "},\"battery\":{\"percent\":" + (IsJsonNumber(percent) ? percent : "null") +
           ",\"charging\":" + (report.Value("BarreyCharging") == "1" ? "true" : "false") + "}";
    out += ",\"storage\":{\"total\":" + std::to_string(report.Total()) +
           ",\"free\":" + std::to_string(report.Free()) +
           ",\"used\":" + std::to_string(report.Total() - report.Free()) + "}";
    out += ",\"media\":[";
    for (const MediaRow& row : report.media) {
        if (out.back() != '[') out += ',';
        out += "{\"category\":" + JsonString(row.category) +
               ",\"count\":" + std::to_string(row.count) +
               ",\"bytes\":" + std::to_string(row.bytes) + "}";
    }
    out += "],\"applications\":" + std::to_string(report.applications) + "}";
    std::printf("%s\n", out.c_str());
}

void PrintText(const DeviceReport& report) {
    std::printf("%s\n", Printable(report.Value("DeviceName")).c_str());
    for (const auto& [entry, text] : report.values)
        std::printf("  %-24s %s\n", entry->key, Printable(text).c_str());
    const std::string& percent = report.Value("CurrentCapacity");
    std::printf("battery: %s%%, %s\n", percent.empty() ? "?" : Printable(percent).c_str(),
                report.Value("BarreyCharging") == "1" ? "charging" : "not charging");
    const uint64_t total = report.Total(), free = report.Free();
    std::printf("storage: %s %s used of %s, %s free\n", Bar(total - free, total, 32).c_str(),
                HumanSize(total - free).c_str(), HumanSize(total).c_str(), HumanSize(free).c_str());
    if (report.media.empty()) {
        std::printf("media usage: not available%s\n",
                    MissingFromDeviceRuntime("it", "AirTraffic library").c_str());
    } else {
        uint64_t sum = 0;
        for (const MediaRow& row : report.media)
            sum += static_cast<uint64_t>(std::max<int64_t>(0, row.bytes));
        std::printf("media usage:\n");
        for (const MediaRow& row : report.media) {
            const uint64_t bytes = static_cast<uint64_t>(std::max<int64_t>(0, row.bytes));
            std::printf("  %-12s %8lld items %12s  %s\n", Printable(row.category).c_str(),
                        static_cast<long long>(row.count), HumanSize(bytes).c_str(),
                        Bar(bytes, sum, 24).c_str());
        }
    }
    std::printf("applications: %d\n", report.applications);
}

// A name the device can show: 1 to 255 bytes of UTF-8 text without control characters (C0, DEL
// and C1). Empty when the UTF-8 text is one; otherwise why not.
std::string NameProblem(const std::string& name) {
    if (name.empty()) return "the name is empty";
    if (name.size() > 255) return "the name is longer than 255 bytes";
    for (size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        const bool c1 =
            byte == 0xC2 && i + 1 < name.size() && static_cast<unsigned char>(name[i + 1]) < 0xA0;
        if (byte < 0x20 || byte == 0x7F || c1) return "the name holds a control character";
    }
    return {};
}

// A picture as phones send it: a baseline TIFF (older systems) or a PNG (newer ones). Anything
// else is not handed to the image library's other decoders.
bool IsScreenshotFormat(const unsigned char* bytes, size_t length) {
    static const unsigned char kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (length >= sizeof kPng && std::memcmp(bytes, kPng, sizeof kPng) == 0) return true;
    return length >= 4 &&
           (std::memcmp(bytes, "MM\0*", 4) == 0 || std::memcmp(bytes, "II*\0", 4) == 0);
}

// No phone screen comes near this; a bigger picture is a hostile one.
constexpr int kMaxScreenSide = 16384;

// The picture as PNG bytes, with its size; false when it cannot be decoded.
bool ToPng(const unsigned char* bytes, size_t length, std::string& png, int& width, int& height) {
    if (!IsScreenshotFormat(bytes, length)) return false;
    try {
        vips::VImage image = vips::VImage::new_from_buffer(bytes, length, "");
        width = image.width();
        height = image.height();
        if (width <= 0 || height <= 0 || width > kMaxScreenSide || height > kMaxScreenSide) {
            return false;
        }
        void* encoded = nullptr;
        size_t size = 0;
        image.write_to_buffer(".png", &encoded, &size);
        png.assign(static_cast<const char*>(encoded), size);
        g_free(encoded);
        return !png.empty();
    } catch (const vips::VError&) {
        return false;
    }
}

// What the device callback saw while a device restarts. It lives as long as the process: the
// listener keeps the callback after the command ends and has no call to remove it.
struct RestartWatch {
    std::mutex mutex;
    std::condition_variable changed;
    CIPhone* restarting = nullptr;
    bool left = false;
    std::deque<CIPhone*> arrived;  // devices that arrived after it left
};

RestartWatch& Watch() {
    static RestartWatch* watch = new RestartWatch;
    return *watch;
}

void OnDeviceEvent(CIPhone* device, uint32_t message, void* context) {
    auto& watch = *static_cast<RestartWatch*>(context);
    std::lock_guard<std::mutex> lock(watch.mutex);
    if (watch.restarting == nullptr) return;
    if (message == kDeviceRemoved && device == watch.restarting) {
        watch.left = true;
    } else if (message == kDeviceArrived && watch.left) {
        watch.arrived.push_back(device);
    }
    watch.changed.notify_all();
}

constexpr int kRestartSeconds = 60;

// Waits until the device being restarted has left and a device with `udid` has arrived and is
// listed. The identifier is read here, not on the runtime's thread that runs the callback.
bool WaitUntilBack(DeviceSession& session, const std::string& udid) {
    RestartWatch& watch = Watch();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRestartSeconds);
    std::unique_lock<std::mutex> lock(watch.mutex);
    for (;;) {
        if (!watch.changed.wait_until(lock, deadline, [&] { return !watch.arrived.empty(); })) {
            return false;
        }
        CIPhone* device = watch.arrived.front();
        watch.arrived.pop_front();
        lock.unlock();
        const std::vector<CIPhone*> listed = session.Devices();
        const bool back = DeviceText(device, "UniqueDeviceID") == udid &&
                          std::find(listed.begin(), listed.end(), device) != listed.end();
        lock.lock();
        if (back) return true;
    }
}

// The information object of the device a command works on, or null with the reason in `error`.
DeviceInfo MakeInfo(CIPhone* device, std::string& error) {
    DeviceInfo info(CDeviceInfoNew(device));
    if (info == nullptr || InfoValue(info.get(), "UniqueDeviceID").empty()) {
        error = "cannot read the device's values; is it still connected?";
        return nullptr;
    }
    return info;
}

DeviceInfo OpenInfo(DeviceSession& session, const Arguments& args, std::string& error) {
    CIPhone* device = session.Open(args, error);
    if (device == nullptr) return nullptr;
    return MakeInfo(device, error);
}

}  // namespace

int PrintDeviceInfo(CIPhone* device, bool json) {
    std::string error;
    const DeviceInfo info = MakeInfo(device, error);
    if (info == nullptr) return Fail(error);
    const DeviceReport report = ReadReport(info.get());
    if (report.Value("UniqueDeviceID").empty()) {
        return Fail("the device left while its values were read");
    }
    if (json) {
        PrintJson(report);
    } else {
        PrintText(report);
    }
    return 0;
}

int SaveScreenshot(CIPhone* device, const std::string& file) {
    if (VIPS_INIT("brackwater") != 0) return Fail("cannot start the image library");
    std::string error;
    const DeviceInfo info = MakeInfo(device, error);
    if (info == nullptr) return Fail(error);
    BwByteBuffer* picture = nullptr;
    if (info->TakeScreenshot(&picture) == 0) {
        return Fail("cannot start the device's screenshot service");
    }
    if (picture == nullptr || picture->bytes == nullptr || picture->length == 0) {
        info->FreeScreenshot(&picture);
        return Fail("the device sent no picture; " + Printable(file) + " is unchanged");
    }
    std::string png;
    int width = 0, height = 0;
    const bool decoded = ToPng(picture->bytes, picture->length, png, width, height);
    info->FreeScreenshot(&picture);
    if (!decoded)
        return Fail("the device's picture cannot be read; " + Printable(file) + " is unchanged");
    if (!WriteOutputFile(file, png, error)) return Fail(Printable(file) + ": " + error);
    std::printf("%dx%d written to %s\n", width, height, Printable(file).c_str());
    return 0;
}

int RunInfo(Arguments& args) {
    constexpr const char* kUsage = "brackwater [--sim[=IMAGE]] info [--json]";
    if (const std::string unknown = UnknownOption(args.words); !unknown.empty()) {
        return UsageError("unknown option " + unknown, kUsage);
    }
    if (!args.words.empty()) return UsageError("unexpected argument " + args.words[0], kUsage);
    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(args, error);
    if (device == nullptr) return Fail(error);
    return PrintDeviceInfo(device, args.json);
}

int RunRename(Arguments& args) {
    constexpr const char* kUsage = "brackwater [--sim[=IMAGE]] rename NAME";
    if (!args.words.empty() && args.words[0] == "--") args.words.erase(args.words.begin());
    if (args.words.size() != 1) return UsageError("rename needs one NAME", kUsage);
    const std::string name = args.words[0];
    if (const std::string problem = NotUtf8Message("NAME", name); !problem.empty()) {
        return Fail(problem);
    }
    if (const std::string problem = NameProblem(name); !problem.empty()) {
        return UsageError(problem, kUsage);
    }
    DeviceSession session;
    std::string error;
    const DeviceInfo info = OpenInfo(session, args, error);
    if (info == nullptr) return Fail(error);
    if (info->SetDeviceName(ToWide(name).c_str()) == 0) return Fail("the device refused the name");
    std::printf("renamed to %s\n", name.c_str());
    return 0;
}

int RunScreenshot(Arguments& args) {
    constexpr const char* kUsage = "brackwater [--sim[=IMAGE]] screenshot FILE.png";
    if (const std::string unknown = UnknownOption(args.words); !unknown.empty()) {
        return UsageError("unknown option " + unknown, kUsage);
    }
    if (args.words.size() != 1) return UsageError("screenshot needs one FILE", kUsage);
    const std::string file = args.words[0];
    if (const std::string problem = NotUtf8Message("FILE", file); !problem.empty()) {
        return Fail(problem);
    }
    // Checked again when the file is written; here so that a wrong target costs no device work.
    struct stat existing {};
    if (::lstat(file.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode)) {
        return Fail(Printable(file) + ": is not a regular file; refusing to replace it");
    }
    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(args, error);
    if (device == nullptr) return Fail(error);
    return SaveScreenshot(device, file);
}

int RunRestart(Arguments& args) {
    constexpr const char* kUsage = "brackwater [--sim[=IMAGE]] restart [--wait]";
    const bool wait = TakeFlag(args.words, "--wait");
    if (const std::string unknown = UnknownOption(args.words); !unknown.empty()) {
        return UsageError("unknown option " + unknown, kUsage);
    }
    if (!args.words.empty()) return UsageError("unexpected argument " + args.words[0], kUsage);
    // The listed device is the one whose removal is reported, never its whole-file-system twin.
    Arguments chosen = args;
    chosen.afc2 = false;
    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(chosen, error);
    if (device == nullptr) return Fail(error);
    const std::string udid = DeviceText(device, "UniqueDeviceID");
    if (udid.empty()) return Fail("cannot read the device's identifier; is it still connected?");
    RestartWatch& watch = Watch();
    {
        std::lock_guard<std::mutex> lock(watch.mutex);
        watch.restarting = device;
        watch.left = false;
        watch.arrived.clear();
    }
    // Set before the restart: the device may leave and come back before RestartDevice returns.
    if (wait) session.SetCallback(OnDeviceEvent, &watch);
    RestartDevice(device);
    std::printf("restarting\n");
    std::fflush(stdout);
    if (!wait) return 0;
    const bool back = WaitUntilBack(session, udid);
    {
        std::lock_guard<std::mutex> lock(watch.mutex);
        watch.restarting = nullptr;
        watch.arrived.clear();
    }
    if (!back) {
        return Fail("the device did not come back within " + std::to_string(kRestartSeconds) +
                    " seconds");
    }
    std::printf("back\n");
    return 0;
}

}  // namespace cli
