// The host text convention of the Brackwater functions as a host sees it (the shared library loaded
// by path): text out by the two-call rule, text in and out as UTF-16 that survives characters
// beyond ASCII and beyond the BMP, byte streams left as bytes, and the per-thread last error.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "brackwater/backup.h"
#include "brackwater/device_info.h"
#include "brackwater/inspect.h"
#include "platform/text.h"
#include "support/exported_function.h"
#include "support/sim_device.h"
#include "support/temp_folder.h"

namespace bw::testing {
namespace host_text_exports_test {

// "é" and U+1F600, which UTF-16 writes as a surrogate pair.
constexpr char kAccented[] = "d\xC3\xA9j\xC3\xA0 \xF0\x9F\x98\x80";
constexpr char16_t kPoison = u'\xBEEF';

struct TextExports {
    size_t (*version)(BwChar*);
    size_t (*lastError)(BwChar*);
    int (*convert)(const BwChar*, const BwChar*, const BwChar*, BwOutputSink, void*);
    int (*list)(const BwChar*, int, BwOutputSink, void*);
    int (*resave)(const BwChar*);
    IConnectListener* (*listenerNew)(unsigned char, unsigned char);
    void (*listenerDelete)();
    size_t (*deviceValue)(::CIPhone*, const BwChar*, const BwChar*, BwChar*);
    IDeviceInfo* (*infoNew)(::CIPhone*);
    void (*infoDelete)(IDeviceInfo*);
    size_t (*infoValue)(IDeviceInfo*, const BwChar*, BwChar*);
    size_t (*backupRoot)(BwChar*);
    int (*backups)(::CIPhone*, BwBackupSink, void*);
    int (*removeBackup)(::CIPhone*, const BwChar*);
    int (*fileInfo)(::CIPhone*, const BwChar*, BwDeviceFileInfo*);
};

void FindTextExports(void* library, TextExports& api) {
    FindExport(library, "BrackwaterVersion", api.version);
    FindExport(library, "BrackwaterLastError", api.lastError);
    FindExport(library, "BrackwaterPlistConvert", api.convert);
    FindExport(library, "BrackwaterManifestList", api.list);
    FindExport(library, "BrackwaterManifestResave", api.resave);
    FindExport(library, "ConnectListenerNew", api.listenerNew);
    FindExport(library, "ConnectListenerDelete", api.listenerDelete);
    FindExport(library, "BrackwaterDeviceValue", api.deviceValue);
    FindExport(library, "CDeviceInfoNew", api.infoNew);
    FindExport(library, "CDeviceInfoDelete", api.infoDelete);
    FindExport(library, "BrackwaterDeviceInfoValue", api.infoValue);
    FindExport(library, "BrackwaterBackupRoot", api.backupRoot);
    FindExport(library, "BrackwaterDeviceBackups", api.backups);
    FindExport(library, "BrackwaterRemoveBackup", api.removeBackup);
    FindExport(library, "BrackwaterDeviceFileInfo", api.fileInfo);
}

// Reads a text by the two-call rule and checks the rule on the way: the call without a buffer
// answers the length plus 2; the call with a poisoned buffer a little larger than that answers the
// same, writes the text and its zero, and leaves every character after the zero alone.
std::u16string TwoCall(const std::function<size_t(BwChar*)>& get) {
    const size_t size = get(nullptr);
    EXPECT_GE(size, 2u);
    if (size < 2) return {};
    std::u16string buffer(size + 4, kPoison);
    EXPECT_EQ(get(buffer.data()), size);
    const size_t length = size - 2;
    const std::u16string text = buffer.substr(0, length);
    EXPECT_EQ(text.find(u'\0'), std::u16string::npos) << "a zero inside the text";
    EXPECT_EQ(buffer[length], u'\0');
    EXPECT_EQ(buffer.substr(length + 1), std::u16string(5, kPoison)) << "written past the zero";
    return text;
}

void AppendBytes(void* context, const char* bytes, size_t length) {
    static_cast<std::string*>(context)->append(bytes, length);
}

// One manifest record of a file, as a device backup writes it.
std::string ManifestWithRecord(const std::string& domain, const std::string& path) {
    std::string out = std::string("mbdb") + '\x05' + '\x00';
    auto put = [&](unsigned long long value, int bytes) {
        for (int i = bytes - 1; i >= 0; --i)
            out.push_back(static_cast<char>(value >> (8 * i)));
    };
    auto text = [&](const std::string& value) {
        put(value.size(), 2);
        out += value;
    };
    text(domain);
    text(path);
    put(0xFFFF, 2);  // no link target
    put(0xFFFF, 2);  // no hash
    put(0xFFFF, 2);  // no key
    put(0x81A4, 2);
    put(7, 8);
    put(501, 4);
    put(501, 4);
    for (int i = 0; i < 3; ++i)
        put(1404121260ULL, 4);
    put(12, 8);
    out.push_back(0);
    out.push_back(0);
    return out;
}

class HostTextExports : public SimDeviceTest {
  protected:
    void SetUp() override {
        SimDeviceTest::SetUp();
        library_ = ::dlopen(BRACKWATER_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << ::dlerror();
        FindTextExports(library_, api_);
    }

    void TearDown() override {
        if (hostListener_ != nullptr) {
            sim_.DetachAll();
            EXPECT_TRUE(sim_.Settle());
            hostListener_->StopListening();
            api_.listenerDelete();
        }
    }

    // The library's listener with one device attached, named `name`; the host's pointer to it.
    ::CIPhone* HostDevice(const std::string& name) {
        hostListener_ = api_.listenerNew(0, 0);
        EXPECT_NE(hostListener_, nullptr);
        if (hostListener_ == nullptr) return nullptr;
        hostListener_->SetCallback(CallbackLog::Record, &log_);
        hostListener_->StartListening();
        sim::ImageOptions options;
        options.name = name;
        udid_ = sim_.Attach(MakeImage("phone", options));
        EXPECT_TRUE(sim_.Settle());
        const auto events = log_.Events();
        return events.empty() ? nullptr : events.front().device;
    }

    std::string LastError() { return WideToUtf8(TwoCall(api_.lastError)); }

    void* library_ = nullptr;
    TextExports api_{};
    IConnectListener* hostListener_ = nullptr;
    std::string udid_;
};

TEST_F(HostTextExports, TextOutFollowsTheTwoCallRule) {
    // The version: three decimal numbers joined by dots.
    const std::string version = WideToUtf8(TwoCall(api_.version));
    int dots = 0;
    for (char c : version) {
        if (c == '.') ++dots;
        EXPECT_TRUE(c == '.' || (c >= '0' && c <= '9')) << version;
    }
    EXPECT_EQ(dots, 2) << version;

    // The last error, empty and then a message.
    EXPECT_EQ(api_.lastError(nullptr), 2u);
    EXPECT_EQ(TwoCall(api_.lastError), u"");
    EXPECT_EQ(api_.resave(nullptr), 0);
    EXPECT_EQ(LastError(), "missing argument");

    // The backup root, below a data folder whose name needs more than ASCII.
    const std::string data = folder_ / kAccented;
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    EXPECT_EQ(TwoCall(api_.backupRoot), Utf8ToWide(data + "/Apple Computer/MobileSync/Backup"));

    // A device value and a device information value, by a name beyond ASCII and the BMP.
    ::CIPhone* device = HostDevice(kAccented);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(TwoCall([&](BwChar* buffer) {
                  return api_.deviceValue(device, nullptr, u"DeviceName", buffer);
              }),
              Utf8ToWide(kAccented));
    EXPECT_EQ(TwoCall([&](BwChar* buffer) {
                  return api_.deviceValue(device, nullptr, u"UniqueDeviceID", buffer);
              }),
              Utf8ToWide(udid_));
    IDeviceInfo* info = api_.infoNew(device);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(TwoCall([&](BwChar* buffer) { return api_.infoValue(info, u"DeviceName", buffer); }),
              Utf8ToWide(kAccented));
    api_.infoDelete(info);
}

TEST_F(HostTextExports, BackupFoldersBeyondAsciiGoOutAndComeBackIntact) {
    const std::string data = folder_ / kAccented;
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    ::CIPhone* device = HostDevice("phone");
    ASSERT_NE(device, nullptr);
    const std::string root = data + "/Apple Computer/MobileSync/Backup";
    const std::string archive = root + "/" + udid_ + "-20130101-000000";
    const std::string date = "2013-01-01T00:00:00Z";
    for (const std::string& folder : {root + "/" + udid_, archive}) {
        std::filesystem::create_directories(folder);
        folder_.Write(folder.substr(folder_.path().size() + 1) + "/Info.plist",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                      "<key>Larkspur Version</key><string>1.0 " +
                          std::string(kAccented) + "</string><key>Last Backup Date</key><date>" +
                          date + "</date></dict></plist>\n");
    }

    struct Listed {
        std::vector<std::u16string> folders, dates, versions;
    } listed;
    EXPECT_EQ(
        api_.backups(
            device,
            [](void* context, const BwChar* folder, const BwChar* when, const BwChar* version) {
                auto* out = static_cast<Listed*>(context);
                out->folders.emplace_back(folder);
                out->dates.emplace_back(when);
                out->versions.emplace_back(version);
            },
            &listed),
        2);
    ASSERT_EQ(listed.folders,
              (std::vector<std::u16string>{Utf8ToWide(root + "/" + udid_), Utf8ToWide(archive)}));
    EXPECT_EQ(listed.versions[1], Utf8ToWide("1.0 " + std::string(kAccented)));
    EXPECT_FALSE(listed.dates[1].empty());
    EXPECT_EQ(LastError(), "");

    // The listed folder, handed back as it came, is the one removed.
    EXPECT_EQ(api_.removeBackup(device, listed.folders[0].c_str()), 0);
    EXPECT_NE(LastError().find("current backup"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(root + "/" + udid_ + "/Info.plist"));
    EXPECT_EQ(api_.removeBackup(device, listed.folders[1].c_str()), 1);
    EXPECT_EQ(LastError(), "");
    EXPECT_FALSE(std::filesystem::exists(archive));

    // A folder name with an unpaired surrogate is refused, not turned into another name.
    const std::u16string broken = Utf8ToWide(root + "/" + udid_) + u'\xD83D';
    EXPECT_EQ(api_.removeBackup(device, broken.c_str()), 0);
    EXPECT_EQ(LastError(), "the folder is not valid UTF-16");
    EXPECT_TRUE(std::filesystem::exists(root + "/" + udid_ + "/Info.plist"));
}

TEST_F(HostTextExports, InspectionTakesHostTextAndGivesBytes) {
    // A property list and a manifest in a folder named beyond ASCII, with such text inside.
    const std::string plist =
        folder_.Write(std::string(kAccented) + "/Info.plist",
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                      "<key>Name</key><string>" +
                          std::string(kAccented) + "</string></dict></plist>\n");
    std::string json;
    ASSERT_EQ(api_.convert(Utf8ToWide(plist).c_str(), u"json", nullptr, AppendBytes, &json), 1)
        << LastError();
    EXPECT_EQ(LastError(), "");
    // The document is UTF-8 bytes, not host text.
    EXPECT_NE(json.find(kAccented), std::string::npos) << json;

    const std::string manifestBytes = ManifestWithRecord("MediaDomain", kAccented);
    const std::string mbdb =
        folder_.Write(std::string(kAccented) + "/Manifest.mbdb", manifestBytes);
    std::string lines;
    ASSERT_EQ(api_.list(Utf8ToWide(folder_ / kAccented).c_str(), 0, AppendBytes, &lines), 1)
        << LastError();
    EXPECT_NE(lines.find(kAccented), std::string::npos) << lines;
    ASSERT_EQ(api_.resave(Utf8ToWide(mbdb).c_str()), 1) << LastError();
    EXPECT_EQ(ReadFileBytes(mbdb), manifestBytes);

    // Words it does not know and paths it cannot read fail with a message naming them.
    std::string none;
    EXPECT_EQ(api_.convert(Utf8ToWide(plist).c_str(), u"yaml", nullptr, AppendBytes, &none), 0);
    EXPECT_EQ(LastError(), "unknown output form \"yaml\"");
    EXPECT_EQ(api_.convert(Utf8ToWide(plist).c_str(), u"json", u"other", AppendBytes, &none), 0);
    EXPECT_EQ(LastError(), "unknown codec \"other\"");
    const std::string missing = folder_ / (std::string(kAccented) + "/missing.plist");
    EXPECT_EQ(api_.convert(Utf8ToWide(missing).c_str(), u"json", nullptr, AppendBytes, &none), 0);
    EXPECT_EQ(LastError().rfind(missing + ": ", 0), 0u) << LastError();
    const std::u16string broken = Utf8ToWide(mbdb) + u'\xDC00';
    EXPECT_EQ(api_.resave(broken.c_str()), 0);
    EXPECT_EQ(LastError(), "the path is not valid UTF-16");
    EXPECT_EQ(api_.list(broken.c_str(), 0, AppendBytes, &none), 0);
    EXPECT_EQ(LastError(), "the path is not valid UTF-16");
    EXPECT_EQ(none, "");
    EXPECT_EQ(ReadFileBytes(mbdb), manifestBytes);
}

TEST_F(HostTextExports, TheLastErrorIsPerThreadAndClearedByTheNextCall) {
    // Cleared by a call that succeeds, and by one that fails without a message.
    EXPECT_EQ(api_.resave(u"/no/such/folder/Manifest.mbdb"), 0);
    EXPECT_NE(LastError(), "");
    EXPECT_GT(api_.version(nullptr), 2u);
    EXPECT_EQ(LastError(), "");
    EXPECT_EQ(api_.resave(nullptr), 0);
    EXPECT_EQ(LastError(), "missing argument");
    BwDeviceFileInfo fileInfo{};
    EXPECT_EQ(api_.fileInfo(nullptr, u"/", &fileInfo), 0);
    EXPECT_EQ(LastError(), "");

    // One thread fails and keeps its message while another succeeds and reads none; each step
    // waits for the other's by a promise, not by time.
    std::promise<void> failed, succeeded;
    std::string firstBefore, firstAfter, secondAfter;
    std::thread first([&] {
        api_.resave(nullptr);
        firstBefore = LastError();
        failed.set_value();
        succeeded.get_future().wait();
        firstAfter = LastError();
    });
    std::thread second([&] {
        failed.get_future().wait();
        api_.version(nullptr);
        secondAfter = LastError();
        succeeded.set_value();
    });
    first.join();
    second.join();
    EXPECT_EQ(firstBefore, "missing argument");
    EXPECT_EQ(firstAfter, "missing argument");
    EXPECT_EQ(secondAfter, "");
    // The test's own thread saw neither.
    EXPECT_EQ(LastError(), "");
}

}  // namespace host_text_exports_test
}  // namespace bw::testing
