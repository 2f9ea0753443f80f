// The command-line host's info, rename, screenshot and restart commands, run as a program against
// simulator images that each test builds. What they show is held against the image's own
// device.plist and files, read here with libplist and std::filesystem.
#include <plist/plist.h>
#include <sys/stat.h>
#include <vips/vips8>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/image_builder.h"
#include "platform/files.h"
#include "support/cli_run.h"
#include "support/ios_versions.h"
#include "support/json_reader.h"
#include "support/temp_folder.h"
#include "support/test_images.h"

namespace bw {
namespace {

namespace fs = std::filesystem;
using testing::CliRun;
using testing::Json;
using testing::JsonReader;

// ---- device.plist, read with libplist.

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistRoot = std::unique_ptr<void, PlistDeleter>;

PlistRoot ReadPlistFile(const std::string& path) {
    const std::string bytes = testing::ReadFileBytes(path);
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    return PlistRoot(root);
}

// The node of `key` in `domain` (empty: the top level), or null.
plist_t Lookup(const PlistRoot& root, const std::string& domain, const std::string& key) {
    plist_t dictionary = static_cast<plist_t>(root.get());
    if (!domain.empty()) dictionary = plist_dict_get_item(dictionary, domain.c_str());
    if (dictionary == nullptr || plist_get_node_type(dictionary) != PLIST_DICT) return nullptr;
    return plist_dict_get_item(dictionary, key.c_str());
}

std::string StringOf(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return {};
    char* value = nullptr;
    plist_get_string_val(node, &value);
    std::string text = value != nullptr ? value : "";
    std::free(value);
    return text;
}

// A number of the plist (integer, real or boolean as 0/1); nullopt for anything else.
std::optional<double> NumberOf(plist_t node) {
    if (node == nullptr) return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_UINT: {
            uint64_t value = 0;
            plist_get_uint_val(node, &value);
            return static_cast<double>(value);
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return value;
        }
        case PLIST_BOOLEAN: {
            uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return value != 0 ? 1.0 : 0.0;
        }
        default:
            return std::nullopt;
    }
}

uint64_t IntegerOf(plist_t node) {
    uint64_t value = 0;
    if (node != nullptr && plist_get_node_type(node) == PLIST_UINT)
        plist_get_uint_val(node, &value);
    return value;
}

// Where each value the host shows comes from on the phone: its lockdown domain and key.
struct ValueSource {
    const char* shown;
    const char* domain;
    const char* key;
    bool number;
};
constexpr ValueSource kValueSources[] = {
    {"BarreyCharging", "com.apple.mobile.battery", "BatteryIsCharging", true},
    {"CurrentCapacity", "com.apple.mobile.battery", "BatteryCurrentCapacity", true},
    {"TotalDataAvailable", "com.apple.disk_usage", "TotalDataAvailable", true},
    {"TotalDataCapacity", "com.apple.disk_usage", "TotalDataCapacity", true},
    {"TotalDiskCapacity", "com.apple.disk_usage", "TotalDiskCapacity", true},
    {"TotalSystemAvailable", "com.apple.disk_usage", "TotalSystemAvailable", true},
    {"TotalSystemCapacity", "com.apple.disk_usage", "TotalSystemCapacity", true},
    {"MobileApplicationUsage", "com.apple.disk_usage", "MobileApplicationUsage", true},
    {"UniqueChipID", "", "UniqueChipID", true},
    {"DeviceName", "", "DeviceName", false},
    {"DeviceColor", "", "DeviceColor", false},
    {"DeviceClass", "", "DeviceClass", false},
    {"PhoneNumber", "", "PhoneNumber", false},
    {"ProductType", "", "ProductType", false},
    {"ProductVersion", "", "ProductVersion", false},
    {"SerialNumber", "", "SerialNumber", false},
    {"TimeZone", "", "TimeZone", false},
    {"UniqueDeviceID", "", "UniqueDeviceID", false},
    {"TimeZoneOffsetFromUTC", "", "TimeZoneOffsetFromUTC", true},
    {"SupportsWifiSyncing", "com.apple.mobile.wireless_lockdown", "SupportsWifiSyncing", true},
    {"SupportsAirTraffic", "com.apple.mobile.iTunes", "SupportsAirTraffic", true},
};

// ---- The fixture: one image, the host run on it with a private cache and registry.

class InfoCommands : public ::testing::Test {
  protected:
    void MakeImage(const std::string& iosVersion) {
        image = folder / "phone";
        sim::ImageOptions options;
        options.iosVersion = iosVersion;
        options.name = "Test Phone";
        options.seed = 5;
        std::string error;
        ASSERT_TRUE(testing::MakeTestImage(image, options, error)) << error;
    }
    void SetUp() override { MakeImage("7.1.2"); }

    // The program ends with the runtime's threads running, which a sanitizer's leak checker
    // cannot stop; the library's own leak checks run in-process.
    CliRun Run(const std::string& arguments, const std::string& environment = "") {
        return testing::RunCli(folder,
                               "ASAN_OPTIONS=detect_leaks=0 "
                               "XDG_CACHE_HOME=" +
                                   folder / "cache" + " BRACKWATER_REGISTRY=" +
                                   folder / "none.reg" + " " + environment,
                               arguments);
    }
    CliRun Sim(const std::string& arguments, const std::string& environment = "") {
        return Run("--sim=" + image + " " + arguments, environment);
    }
    // The host with `failure` ("FUNCTION,DETAIL,STATUS,COUNT") armed in its simulator.
    CliRun SimFailing(const std::string& arguments, const std::string& failure) {
        return Sim(arguments, "BRACKWATER_SIM_FAILURES='" + failure + "'");
    }

    std::optional<Json> InfoJson() {
        const CliRun run = Sim("info --json");
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 1) << run.out;
        return JsonReader(run.out).ReadDocument();
    }

    PlistRoot Values() const { return ReadPlistFile(image + "/device.plist"); }

    static std::string Quoted(const std::string& word) {
        std::string out = "'";
        for (char c : word)
            out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    }
    static size_t Lines(const std::string& text) {
        return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    }

    testing::TempFolder folder;
    std::string image;
};

class InfoOnEachVersion : public InfoCommands, public ::testing::WithParamInterface<const char*> {
  protected:
    void SetUp() override { MakeImage(GetParam()); }
};

// The user applications of the image: the containers that hold an application bundle.
int ApplicationsOnImage(const std::string& image) {
    int count = 0;
    std::error_code failed;
    for (const fs::directory_entry& container :
         fs::directory_iterator(image + "/fs/var/mobile/Applications", failed)) {
        for (const fs::directory_entry& entry : fs::directory_iterator(container.path(), failed)) {
            if (entry.is_directory() && entry.path().extension() == ".app") {
                ++count;
                break;
            }
        }
    }
    return count;
}

// ---- Media usage as the simulated phone documents its rules, worked out from the image's files.

struct Usage {
    int64_t count = 0;
    int64_t bytes = 0;
    bool operator==(const Usage&) const = default;
};
using UsageByCategory = std::map<std::string, Usage>;

std::string LowerExtension(const fs::path& path) {
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

bool OneOf(const std::string& word, std::initializer_list<const char*> words) {
    return std::any_of(words.begin(), words.end(), [&](const char* w) { return word == w; });
}

// The value of the MPEG-4 media kind item ("stik" atom, then its "data" atom: 4 bytes of type, 4
// of locale, then the value) within the first 64 KB; -1 when there is none.
int MediaKindItem(const fs::path& file) {
    const std::string head = testing::ReadFileBytes(file).substr(0, 65536);
    const size_t stik = head.find("stik");
    if (stik == std::string::npos) return -1;
    const size_t data = head.find("data", stik + 4);
    if (data == std::string::npos || data + 12 >= head.size()) return -1;
    return static_cast<unsigned char>(head[data + 12]);
}

// The shown category of a file below iTunes_Control/Music: a media kind, video or audio.
std::string MusicCategory(const fs::path& file) {
    const std::string extension = LowerExtension(file);
    if (!OneOf(extension, {".m4a", ".m4b", ".m4p", ".m4v", ".mp4", ".mov"})) return "audio";
    const int kind = MediaKindItem(file);
    if (kind == 6 || kind == 9 || kind == 10) return "video";  // music video, movie, TV episode
    if (kind == 1 || kind == 2 || kind == 21) return "audio";  // song, audiobook, podcast
    return OneOf(extension, {".m4a", ".m4p", ".m4b"}) ? "audio" : "video";
}

void Add(UsageByCategory& usage, const std::string& category, const fs::directory_entry& file) {
    usage[category].count += 1;
    usage[category].bytes += static_cast<int64_t>(file.file_size());
}

// Regular files only: links are neither followed nor counted.
template <typename Visit>
void EachRegularFile(const fs::path& folder, Visit visit) {
    std::error_code failed;
    for (fs::recursive_directory_iterator it(folder, failed), end; !failed && it != end;
         it.increment(failed)) {
        if (it->is_regular_file() && !it->is_symlink()) visit(*it);
    }
}

UsageByCategory MediaOnImage(const std::string& image) {
    UsageByCategory usage;
    const fs::path media = image + "/fs/var/mobile/Media";
    EachRegularFile(media, [&](const fs::directory_entry& file) {
        const std::string relative = file.path().lexically_relative(media).string();
        const std::string extension = LowerExtension(file.path());
        if (relative.starts_with("iTunes_Control/Music/") &&
            OneOf(extension, {".mp3", ".aac", ".wav", ".aif", ".aiff", ".m4a", ".m4b", ".m4p",
                              ".m4v", ".mp4", ".mov"})) {
            Add(usage, MusicCategory(file.path()), file);
        } else if (relative.starts_with("DCIM/") &&
                   OneOf(extension, {".jpg", ".jpeg", ".png", ".heic", ".mov"})) {
            Add(usage, "photo", file);
        } else if (relative.starts_with("Books/") &&
                   OneOf(extension, {".epub", ".pdf", ".ibooks"})) {
            Add(usage, "book", file);
        } else if ((relative.starts_with("iTunes_Control/Ringtones/") && extension == ".m4r") ||
                   (relative.starts_with("Recordings/") && extension == ".m4a")) {
            Add(usage, "audio", file);  // ringtones and voice memos count as audio
        } else {
            Add(usage, "userdata", file);
        }
    });
    EachRegularFile(image + "/fs/var/mobile/Library",
                    [&](const fs::directory_entry& file) { Add(usage, "userdata", file); });
    std::error_code failed;
    for (const fs::directory_entry& container :
         fs::directory_iterator(image + "/fs/var/mobile/Applications", failed)) {
        bool application = false;
        for (const fs::directory_entry& entry : fs::directory_iterator(container.path(), failed))
            application |=
                entry.is_directory() && !entry.is_symlink() && entry.path().extension() == ".app";
        if (!application) continue;
        usage["application"].count += 1;
        EachRegularFile(container.path(), [&](const fs::directory_entry& file) {
            usage["application"].bytes += static_cast<int64_t>(file.file_size());
        });
    }
    return usage;
}

TEST_P(InfoOnEachVersion, JsonValuesBatteryStorageAndApplicationsAreThePhones) {
    const std::optional<Json> info = InfoJson();
    ASSERT_TRUE(info.has_value());
    const PlistRoot plist = Values();
    ASSERT_NE(plist, nullptr);

    const Json* values = info->Find("values");
    ASSERT_NE(values, nullptr);
    EXPECT_EQ(values->keys.size(), std::size(kValueSources));
    for (const ValueSource& source : kValueSources) {
        SCOPED_TRACE(source.shown);
        const Json* shown = values->Find(source.shown);
        ASSERT_NE(shown, nullptr);
        const plist_t stored = Lookup(plist, source.domain, source.key);
        if (!source.number) {
            EXPECT_EQ(shown->kind, Json::Kind::String);
            EXPECT_EQ(shown->text, StringOf(stored));
            continue;
        }
        ASSERT_EQ(shown->kind, Json::Kind::Number);
        EXPECT_EQ(std::strtod(shown->text.c_str(), nullptr), NumberOf(stored).value_or(0));
        // Large integers are written whole, never rounded through a floating-point format.
        if (stored != nullptr && plist_get_node_type(stored) == PLIST_UINT) {
            EXPECT_EQ(shown->text, std::to_string(IntegerOf(stored)));
        }
    }

    const Json* battery = info->Find("battery");
    ASSERT_NE(battery, nullptr);
    ASSERT_NE(battery->Find("percent"), nullptr);
    EXPECT_EQ(battery->Find("percent")->text,
              std::to_string(
                  IntegerOf(Lookup(plist, "com.apple.mobile.battery", "BatteryCurrentCapacity"))));
    ASSERT_NE(battery->Find("charging"), nullptr);
    EXPECT_EQ(battery->Find("charging")->boolean,
              NumberOf(Lookup(plist, "com.apple.mobile.battery", "BatteryIsCharging")) == 1.0);

    const uint64_t total = IntegerOf(Lookup(plist, "com.apple.disk_usage", "TotalDataCapacity"));
    const uint64_t free = IntegerOf(Lookup(plist, "com.apple.disk_usage", "TotalDataAvailable"));
    ASSERT_GT(total, free);
    const Json* storage = info->Find("storage");
    ASSERT_NE(storage, nullptr);
    for (const auto& [key, expected] : std::vector<std::pair<std::string, uint64_t>>{
             {"total", total}, {"free", free}, {"used", total - free}}) {
        ASSERT_NE(storage->Find(key), nullptr) << key;
        EXPECT_EQ(storage->Find(key)->text, std::to_string(expected)) << key;
    }

    const Json* applications = info->Find("applications");
    ASSERT_NE(applications, nullptr);
    const int installed = ApplicationsOnImage(image);
    ASSERT_GT(installed, 0);
    EXPECT_EQ(applications->text, std::to_string(installed));
}

TEST_P(InfoOnEachVersion, JsonMediaUsageIsWhatThePhonesFilesAddUpTo) {
    const std::optional<Json> info = InfoJson();
    ASSERT_TRUE(info.has_value());
    const Json* media = info->Find("media");
    ASSERT_NE(media, nullptr);
    UsageByCategory shown;
    for (const Json& row : media->items) {
        const Json* category = row.Find("category");
        const Json* count = row.Find("count");
        const Json* bytes = row.Find("bytes");
        ASSERT_TRUE(category != nullptr && count != nullptr && bytes != nullptr);
        EXPECT_EQ(shown.count(category->text), 0u) << category->text << " listed twice";
        shown[category->text] = {std::stoll(count->text), std::stoll(bytes->text)};
    }
    const UsageByCategory expected = MediaOnImage(image);
    for (const char* category : {"audio", "video", "photo", "application", "book", "userdata"}) {
        SCOPED_TRACE(category);
        ASSERT_TRUE(expected.count(category)) << "the image has no " << category;
        EXPECT_GT(expected.at(category).count, 0);
        ASSERT_TRUE(shown.count(category));
        EXPECT_EQ(shown.at(category), expected.at(category))
            << shown.at(category).count << " files, " << shown.at(category).bytes << " bytes";
    }
    EXPECT_EQ(shown.size(), 6u);
}

TEST_P(InfoOnEachVersion, ScreenshotIsAPngOfTheScreenSize) {
    const std::string file = folder / "shot.png";
    const CliRun run = Sim("screenshot " + file);
    ASSERT_EQ(run.status, 0) << run.err;
    const PlistRoot plist = Values();
    const uint64_t width = IntegerOf(Lookup(plist, "com.apple.iTunes", "ScreenWidth"));
    const uint64_t height = IntegerOf(Lookup(plist, "com.apple.iTunes", "ScreenHeight"));
    ASSERT_GT(width * height, 0u);
    EXPECT_EQ(run.out,
              std::to_string(width) + "x" + std::to_string(height) + " written to " + file + "\n");

    const std::string bytes = testing::ReadFileBytes(file);
    ASSERT_EQ(bytes.rfind("\x89PNG\r\n\x1a\n", 0), 0u);
    ASSERT_EQ(VIPS_INIT("cli_info_test"), 0);
    vips::VImage picture = vips::VImage::new_from_buffer(bytes.data(), bytes.size(), "");
    EXPECT_EQ(static_cast<uint64_t>(picture.width()), width);
    EXPECT_EQ(static_cast<uint64_t>(picture.height()), height);
    EXPECT_GE(picture.bands(), 3);
    // The pixels are the phone's screen: the home-screen picture of the image, through the
    // device's TIFF and the host's PNG unchanged.
    vips::VImage screen = vips::VImage::new_from_file((image + "/screen.png").c_str());
    const auto colour = [](const vips::VImage& rgb) {
        return rgb.extract_band(0, vips::VImage::option()->set("n", 3)).cast(VIPS_FORMAT_INT);
    };
    EXPECT_EQ((colour(picture) - colour(screen)).abs().max(), 0.0);
    // Nothing but the picture is left in the folder: the temporary file was renamed into place.
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder.path())) {
        if (entry.path().extension() == ".png" || entry.path().filename().string()[0] == '.') {
            names.push_back(entry.path().filename());
        }
    }
    EXPECT_EQ(names, std::vector<std::string>{"shot.png"});
}

INSTANTIATE_TEST_SUITE_P(Versions, InfoOnEachVersion, testing::EachIosVersion(),
                         testing::IosVersionName);

TEST_F(InfoCommands, TextShowsTheValuesAStorageBarAndTheMediaTable) {
    const CliRun run = Sim("info");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("Test Phone\n", 0), 0u) << run.out;
    const size_t version = run.out.find("\n  ProductVersion ");
    ASSERT_NE(version, std::string::npos) << run.out;
    const std::string line = run.out.substr(version + 1, run.out.find('\n', version + 1) - version);
    EXPECT_TRUE(line.ends_with(" 7.1.2\n")) << line;
    const PlistRoot plist = Values();
    const uint64_t total = IntegerOf(Lookup(plist, "com.apple.disk_usage", "TotalDataCapacity"));
    const uint64_t free = IntegerOf(Lookup(plist, "com.apple.disk_usage", "TotalDataAvailable"));
    // A 32-mark bar filled in proportion to the space used.
    const size_t marks = static_cast<size_t>(static_cast<double>(total - free) / total * 32 + 0.5);
    EXPECT_NE(
        run.out.find("storage: [" + std::string(marks, '#') + std::string(32 - marks, '.') + "] "),
        std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("media usage:\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("applications: " + std::to_string(ApplicationsOnImage(image)) + "\n"),
              std::string::npos);
}

// Without the AirTraffic library the phone gives no media figures; the rest is still shown.
TEST_F(InfoCommands, NoMediaFiguresStillShowsTheRestAndSucceeds) {
    const std::string runtime = folder / "runtime";
    platform::CreateFolders(runtime);
    for (const fs::directory_entry& entry : fs::directory_iterator(BRACKWATER_SIM_RUNTIME_DIR)) {
        const std::string name = entry.path().filename();
        if (name.find("AirTraffic") == std::string::npos) {
            fs::create_symlink(entry.path(), fs::path(runtime) / name);
        }
    }
    const std::string environment = "BRACKWATER_SIM_RUNTIME=" + runtime;
    const CliRun text = Sim("info", environment);
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("media usage: not available\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Test Phone"), std::string::npos);

    const CliRun json = Sim("info --json", environment);
    ASSERT_EQ(json.status, 0) << json.err;
    const std::optional<Json> info = JsonReader(json.out).ReadDocument();
    ASSERT_TRUE(info.has_value()) << json.out;
    ASSERT_NE(info->Find("media"), nullptr);
    EXPECT_EQ(info->Find("media")->kind, Json::Kind::Array);
    EXPECT_TRUE(info->Find("media")->items.empty());
    ASSERT_NE(info->Find("values"), nullptr);
    ASSERT_NE(info->Find("values")->Find("DeviceName"), nullptr);
    EXPECT_EQ(info->Find("values")->Find("DeviceName")->text, "Test Phone");
}

TEST_F(InfoCommands, AMissingDeviceIsOneLineAndStatusOne) {
    const CliRun run = Run("--sim=" + folder / "nothing" + " info --json");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Lines(run.err), 1u) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
}

TEST_F(InfoCommands, RenameIsKeptByThePhoneAndShownByTheNextRun) {
    const std::string name = "Zoë's \"travel\" phone";
    const CliRun run = Sim("rename " + Quoted(name));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "renamed to " + name + "\n");
    EXPECT_EQ(StringOf(Lookup(Values(), "", "DeviceName")), name);

    const std::optional<Json> info = InfoJson();
    ASSERT_TRUE(info.has_value());
    ASSERT_NE(info->Find("values"), nullptr);
    ASSERT_NE(info->Find("values")->Find("DeviceName"), nullptr);
    EXPECT_EQ(info->Find("values")->Find("DeviceName")->text, name);

    // 255 bytes is the longest name taken.
    const std::string longest(255, 'n');
    ASSERT_EQ(Sim("rename " + longest).status, 0);
    EXPECT_EQ(StringOf(Lookup(Values(), "", "DeviceName")), longest);
}

TEST_F(InfoCommands, RenameRefusesBadNamesBeforeTheDeviceIsTouched) {
    const std::string before = testing::ReadFileBytes(image + "/device.plist");
    for (const std::string& name :
         {std::string(), std::string(256, 'n'), std::string(254, 'n') + "\xC3\xA9",
          std::string("tab\there"), std::string("bell\x07"), std::string("del\x7F"),
          std::string("c1\xC2\x85")}) {
        SCOPED_TRACE(name);
        const CliRun run = Sim("rename " + Quoted(name));
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_TRUE(run.out.empty());
        // A folder that is no image would fail with 1 once a device is looked for.
        EXPECT_EQ(Run("--sim=" + folder / "nothing" + " rename " + Quoted(name)).status, 2);
    }
    // Bytes that are not UTF-8 would reach the phone as another name.
    const CliRun notText = Sim("rename " + Quoted("bad\xFF"));
    EXPECT_EQ(notText.status, 1);
    EXPECT_EQ(Lines(notText.err), 1u);
    EXPECT_NE(notText.err.find("NAME \"bad\\xFF\""), std::string::npos) << notText.err;
    EXPECT_EQ(Sim("rename").status, 2);
    EXPECT_EQ(Sim("rename one two").status, 2);
    EXPECT_EQ(testing::ReadFileBytes(image + "/device.plist"), before);
}

TEST_F(InfoCommands, ScreenshotReplacesAnExistingFileWithAWholePng) {
    const std::string file = folder.Write("shots/screen.png", "an older picture");
    ::chmod(file.c_str(), 0640);
    const CliRun run = Sim("screenshot " + file);
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string bytes = testing::ReadFileBytes(file);
    EXPECT_EQ(bytes.rfind("\x89PNG\r\n\x1a\n", 0), 0u);
    EXPECT_EQ(bytes.substr(bytes.size() - 8, 4), "IEND");
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST_F(InfoCommands, ScreenshotFailuresLeaveTheFileAsItWas) {
    const std::string file = folder.Write("screen.png", "keep me");
    // The screenshot service cannot be started, even when asked again.
    const CliRun refused = SimFailing("screenshot " + file,
                                      "AMDeviceSecureStartService,com.apple.mobile.screenshotr," +
                                          std::to_string(static_cast<int>(0xE8000022u)) + ",5");
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_EQ(Lines(refused.err), 1u) << refused.err;
    EXPECT_NE(refused.err.find("screenshot service"), std::string::npos) << refused.err;
    EXPECT_TRUE(refused.out.empty());
    EXPECT_EQ(testing::ReadFileBytes(file), "keep me");

    // The service starts but the device sends nothing.
    const CliRun silent = SimFailing("screenshot " + file, "AMDServiceConnectionReceive,,-1,100");
    EXPECT_EQ(silent.status, 1) << silent.out;
    EXPECT_EQ(Lines(silent.err), 1u) << silent.err;
    EXPECT_NE(silent.err.find("no picture"), std::string::npos) << silent.err;
    EXPECT_EQ(testing::ReadFileBytes(file), "keep me");

    // A folder, a link or a device node is never replaced.
    platform::CreateFolders(folder / "folder.png");
    const CliRun folderTarget = Sim("screenshot " + folder / "folder.png");
    EXPECT_EQ(folderTarget.status, 1);
    EXPECT_TRUE(platform::IsFolder(folder / "folder.png"));
    fs::create_symlink(file, folder / "link.png");
    EXPECT_EQ(Sim("screenshot " + folder / "link.png").status, 1);
    EXPECT_EQ(testing::ReadFileBytes(file), "keep me");
    EXPECT_EQ(Sim("screenshot /dev/null").status, 1);

    std::vector<std::string> left;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder.path())) {
        if (entry.path().filename().string()[0] == '.') left.push_back(entry.path().filename());
    }
    EXPECT_TRUE(left.empty()) << left.front();
}

TEST_F(InfoCommands, RestartWaitsUntilTheSamePhoneIsBack) {
    const CliRun waited = Sim("restart --wait");
    ASSERT_EQ(waited.status, 0) << waited.err;
    EXPECT_EQ(waited.out, "restarting\nback\n");
    // The phone that came back answers as before.
    const std::optional<Json> info = InfoJson();
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->Find("values")->Find("DeviceName")->text, "Test Phone");

    const CliRun asked = Sim("restart");
    ASSERT_EQ(asked.status, 0) << asked.err;
    EXPECT_EQ(asked.out, "restarting\n");
}

TEST_F(InfoCommands, UsageErrorsAreStatusTwo) {
    for (const char* usage : {"info extra", "info --all", "screenshot", "screenshot a.png b.png",
                              "screenshot --fast a.png", "restart now", "restart --later"}) {
        SCOPED_TRACE(usage);
        const CliRun run = Sim(usage);
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
}

}  // namespace
}  // namespace bw
