// The interfaces as hosts call them: through the slots of the virtual table, by number. Each test
// takes live objects from the shared library (loaded by path, the simulator behind it), calls
// every operation through a function pointer read from the slot a host uses for it, and checks an
// effect that only that operation has. A virtual moved in a public header breaks the test.
//
// g++ and clang give a virtual destructor two entries (complete and deleting object). Every
// interface here declares its destructor last, so the operations keep their numbers and the two
// entries follow them.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "brackwater/apps.h"
#include "brackwater/backup.h"
#include "brackwater/photo.h"
#include "brackwater/scan.h"
#include "platform/files.h"
#include "platform/text.h"
#include "support/build_paths.h"
#include "support/runtime_registry.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::SimDeviceTest;

// ---- The slot numbers hosts were built against ----

namespace listener_slot {
constexpr size_t kIsListening = 0, kStartListening = 1, kStopListening = 2, kWaitForDevice = 3,
                 kCopyDeviceList = 4, kSetCallback = 5;
}

namespace session_slot {
constexpr size_t kSetStatusRecord = 0, kSetAppList = 1, kStartScan = 2, kIsExtendedType = 3,
                 kStopScan = 4, kStartClean = 5, kCookieTree = 32;
constexpr size_t Item(int list) {
    return 6 + 2 * static_cast<size_t>(list);
}
constexpr size_t Count(int list) {
    return 7 + 2 * static_cast<size_t>(list);
}
constexpr int kLists = 13;
}  // namespace session_slot

namespace file_slot {
constexpr size_t kGetName = 0, kGetPath = 1, kGetSize = 2, kSelect = 3, kFlag = 4;
}

namespace detail_slot {
constexpr size_t kGetName = 0, kGetPath = 1, kGetSize = 2, kSelect = 3, kFlag = 4,
                 kGetDisplayPath = 5;
}

namespace radio_slot {
constexpr size_t kAlbum = 0, kArtist = 1, kDate = 2, kHistoryKey = 3, kSelect = 4, kStation = 5,
                 kTrackStoreId = 6, kTitle = 7, kTrackKey = 8;
}

namespace app_slot {
constexpr size_t kGetItem = 0, kGetIconData = 1, kGetName = 2, kGetIdentifier = 3, kSelected = 4,
                 kGetItemCount = 5, kGetTotalSize = 6, kGetKindCount = 7, kGetTotalSizeAgain = 8;
}

namespace backup_slot {
constexpr size_t kSetStatus = 0, kStart = 1;
}

namespace manager_slot {
constexpr size_t kLoadAlbums = 0, kGetAlbum = 1, kLoadPhotos = 2, kGetPhoto = 3, kExportPhoto = 4,
                 kAddPhotos = 5, kDeletePhotos = 6, kDeletePhotosByKey = 7, kReloadLibrary = 8,
                 kReserved9 = 9, kReserved10 = 10, kReserved11 = 11;
}

namespace album_slot {
constexpr size_t kGetAlbumKey = 0, kAddPhoto = 1, kRemovePhoto = 2, kGetFirstPhoto = 3,
                 kCopyPhotosTo = 4, kSetPhotos = 5, kGetAlbumKeySame = 6, kSetAlbumKey = 7,
                 kGetKind = 8, kSetKind = 9, kGetVideos = 10, kAssignPhotos = 11, kGetStills = 12,
                 kAssignPhotosSame = 13, kGetAlbumType = 14, kSetAlbumType = 15, kCountStills = 16,
                 kCountPhotos = 17, kCountVideos = 18;
}

namespace photo_slot {
constexpr size_t kGetAssetKey = 0, kGetAlbumKey = 1, kLoadThumbnailSized = 2, kLoadThumbnail = 3,
                 kGetThumbnail = 4, kGetFileSize = 5, kGetCreationTime = 6, kGetWidth = 7,
                 kGetHeight = 8, kGetDevicePath = 9, kExportTo = 10, kReadPhotoFile = 11,
                 kIsSamePhoto = 12;
}

// ---- Calls through the table ----

template <typename Signature>
struct SlotCall;

template <typename Result, typename... Arguments>
struct SlotCall<Result(Arguments...)> {
    static Result Call(void* object, size_t slot, Arguments... arguments) {
        using Function = Result (*)(void*, Arguments...);
        void* const* table = *static_cast<void* const* const*>(object);
        return reinterpret_cast<Function>(table[slot])(object, arguments...);
    }
};

// Calls operation `slot` of `object` as a function of type `Signature` taking `this` first.
template <typename Signature, typename Object, typename... Arguments>
auto Slot(Object* object, size_t slot, Arguments... arguments) {
    return SlotCall<Signature>::Call(static_cast<void*>(object), slot, arguments...);
}

// A text getter of the two-call kind: the size with a null buffer (length plus 2), then the text.
template <typename Object>
std::string SlotText(Object* object, size_t slot) {
    const size_t size = Slot<size_t(BwChar*)>(object, slot, static_cast<BwChar*>(nullptr));
    if (size < 2) {
        ADD_FAILURE() << "slot " << slot << " answered " << size;
        return {};
    }
    std::u16string text(size, u'\xffff');
    EXPECT_EQ(Slot<size_t(BwChar*)>(object, slot, text.data()), size);
    EXPECT_EQ(text[size - 2], u'\0');
    text.resize(size - 2);
    return WideToUtf8(text);
}

template <typename Function>
void Find(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    ASSERT_NE(reinterpret_cast<void*>(function), nullptr) << name;
}

class SlotOrder : public SimDeviceTest {
  protected:
    void SetUp() override {
        SimDeviceTest::SetUp();
        library_ = ::dlopen(BRACKWATER_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << ::dlerror();
        Find(library_, "ConnectListenerNew", listenerNew_);
        Find(library_, "ConnectListenerDelete", listenerDelete_);
        Find(library_, "ScanDeviceNew", scanNew_);
        Find(library_, "ScanDeviceDelete", scanDelete_);
        Find(library_, "BrackwaterDeviceApplications", applications_);
        image_ = MakeImage("phone");
    }

    // The library's listener with the device of the test's image attached.
    ::CIPhone* HostDevice() {
        hostListener_ = listenerNew_(0, 0);
        EXPECT_NE(hostListener_, nullptr);
        if (hostListener_ == nullptr) return nullptr;
        hostListener_->SetCallback(testing::CallbackLog::Record, &log_);
        hostListener_->StartListening();
        udid_ = sim_.Attach(image_);
        EXPECT_TRUE(sim_.Settle());
        const auto events = log_.Events();
        return events.empty() ? nullptr : events.front().device;
    }

    void EndHost() {
        sim_.DetachAll();
        EXPECT_TRUE(sim_.Settle());
        if (hostListener_ != nullptr) hostListener_->StopListening();
        listenerDelete_();
        ExpectNothingOpen();
    }

    std::string Media(std::string_view devicePath) const {
        return sim::ImagePath(image_, devicePath, sim::ImageRoot::Media);
    }

    void Put(std::string_view devicePath, const std::string& bytes) {
        const std::string host = Media(devicePath);
        ASSERT_TRUE(platform::CreateFolders(host.substr(0, host.rfind('/'))));
        ASSERT_TRUE(platform::WriteFileAtomic(host, bytes));
    }

    void* library_ = nullptr;
    IConnectListener* (*listenerNew_)(unsigned char, unsigned char) = nullptr;
    void (*listenerDelete_)() = nullptr;
    IScanDevice* (*scanNew_)(::CIPhone*) = nullptr;
    void (*scanDelete_)(IScanDevice*) = nullptr;
    int (*applications_)(::CIPhone*, IAppInfo**, int) = nullptr;
    IConnectListener* hostListener_ = nullptr;
    std::string image_;
    std::string udid_;
};

TEST_F(SlotOrder, ConnectListener) {
    using namespace listener_slot;
    IConnectListener* listener = listenerNew_(0, 0);
    ASSERT_NE(listener, nullptr);
    const long subscriptionsBefore = sim_.Counters().notificationSubscriptions;
    EXPECT_EQ(Slot<unsigned char()>(listener, kIsListening), 0);

    Slot<void(DeviceCallback, void*)>(listener, kSetCallback, &testing::CallbackLog::Record,
                                      static_cast<void*>(&log_));
    Slot<void()>(listener, kStartListening);
    EXPECT_EQ(Slot<unsigned char()>(listener, kIsListening), 1);
    EXPECT_EQ(sim_.Counters().notificationSubscriptions, subscriptionsBefore + 1);

    sim_.Attach(image_);
    ASSERT_TRUE(sim_.Settle());
    ASSERT_EQ(log_.Count(kDeviceArrived), 1u);  // the callback given through its slot
    ::CIPhone* device = log_.Events().front().device;

    ::CIPhone* found = nullptr;
    Slot<void(int32_t, ::CIPhone**)>(listener, kWaitForDevice, int32_t{1}, &found);
    EXPECT_EQ(found, device);
    DeviceList copy;
    Slot<void(DeviceList&, unsigned char)>(listener, kCopyDeviceList, std::ref(copy),
                                           static_cast<unsigned char>(1));
    EXPECT_EQ(copy, DeviceList{device});

    Slot<void()>(listener, kStopListening);
    EXPECT_EQ(Slot<unsigned char()>(listener, kIsListening), 0);
    EXPECT_EQ(sim_.Counters().notificationSubscriptions, subscriptionsBefore);
    sim_.DetachAll();
    EXPECT_TRUE(sim_.Settle());
    listenerDelete_();
}

TEST_F(SlotOrder, ScanSessionAndFileRecords) {
    using namespace session_slot;
    const std::string payload(1000, 'p');
    Put("/general_storage/slots/abc.bin", payload);
    Put("/general_storage/slots/other.bin", "x");
    ::CIPhone* device = HostDevice();
    ASSERT_NE(device, nullptr);
    IScanDevice* session = scanNew_(device);
    ASSERT_NE(session, nullptr);

    BwScanStatus status;
    std::memset(&status, 0xFF, sizeof status);
    Slot<void(BwScanStatus*)>(session, kSetStatusRecord, &status);
    const BwScanStatus zero{};
    EXPECT_EQ(std::memcmp(&status, &zero, sizeof status), 0);

    Slot<void(int32_t)>(session, kStartScan, int32_t{kJunkGeneralStorage});
    EXPECT_EQ(status.finished, 1);
    EXPECT_EQ(status.busy, 1);
    EXPECT_EQ(Slot<unsigned char()>(session, kIsExtendedType), 0);
    const int32_t count = Slot<int32_t()>(session, Count(kResultFiles));
    ASSERT_GE(count, 1);
    EXPECT_EQ(static_cast<uint32_t>(count), status.selectedCount);
    for (int list = 1; list < kLists; ++list) {
        SCOPED_TRACE(list);
        EXPECT_EQ(Slot<int32_t()>(session, Count(list)), 0);
        EXPECT_EQ(Slot<void*(int32_t)>(session, Item(list), int32_t{0}), nullptr);
    }
    EXPECT_EQ(Slot<void*(int32_t)>(session, Item(kResultFiles), count), nullptr);
    void* file = nullptr;
    std::vector<std::string> paths;
    for (int32_t i = 0; i < count; ++i) {
        void* item = Slot<void*(int32_t)>(session, Item(kResultFiles), i);
        ASSERT_NE(item, nullptr);
        paths.push_back(SlotText(item, file_slot::kGetPath));
        if (paths.back() == "/general_storage/slots/abc.bin") file = item;
    }
    const auto left = [&] {
        size_t existing = 0;
        for (const std::string& path : paths)
            existing += platform::PathExists(Media(path)) ? 1 : 0;
        return existing;
    };
    ASSERT_NE(file, nullptr);
    EXPECT_NE(Slot<void*()>(session, kCookieTree), nullptr);

    {
        using namespace file_slot;
        EXPECT_EQ(SlotText(file, kGetName), "/slots/abc.bin");
        EXPECT_EQ(Slot<size_t(BwChar*)>(file, kGetName, static_cast<BwChar*>(nullptr)), 16u);
        EXPECT_EQ(Slot<uint64_t()>(file, kGetSize), payload.size());
        EXPECT_EQ(Slot<unsigned char(unsigned char)>(file, kSelect, 0), 1);
        EXPECT_EQ(Slot<unsigned char(unsigned char)>(file, kSelect, 1), 0);
        EXPECT_EQ(Slot<unsigned char(unsigned char)>(file, kSelect, 1), 1);
        EXPECT_EQ(Slot<unsigned char()>(file, kFlag), 0);
    }

    // A stop while the first removal is on its way ends the clean after that item; a clean
    // again removes the rest.
    ASSERT_TRUE(sim_.BlockCall("AFCRemovePath", nullptr, 1));
    std::thread cleaner([&] { Slot<void()>(session, kStartClean); });
    const bool held = sim_.WaitBlocked();
    Slot<void()>(session, kStopScan);
    sim_.Release();
    cleaner.join();
    ASSERT_TRUE(held);
    EXPECT_EQ(status.finished, 1);
    EXPECT_EQ(status.busy, 0);
    EXPECT_EQ(left(), paths.size() - 1);
    Slot<void()>(session, kStartClean);
    EXPECT_EQ(left(), 0u);

    Slot<void(int32_t)>(session, kStartScan, int32_t{19});
    EXPECT_EQ(Slot<unsigned char()>(session, kIsExtendedType), 1);
    EXPECT_EQ(Slot<void*()>(session, kCookieTree), nullptr);
    EXPECT_EQ(Slot<int32_t()>(session, Count(kResultFiles)), 0);
    Slot<void(int32_t)>(session, kStartScan, int32_t{8});
    EXPECT_EQ(Slot<unsigned char()>(session, kIsExtendedType), 0);
    scanDelete_(session);
    EndHost();
}

bool RunSql(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

TEST_F(SlotOrder, RadioHistoryRecords) {
    using namespace radio_slot;
    const std::string folder = Media("/Radio");
    ASSERT_TRUE(platform::CreateFolders(folder));
    for (const char* suffix : {"", "-shm", "-wal"})
        platform::RemoveFile(folder + "/Radio.db" + suffix);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((folder + "/Radio.db").c_str(), &db), SQLITE_OK);
    // Every column that a slot answers holds a value no other slot has.
    EXPECT_TRUE(RunSql(
        db,
        "CREATE TABLE ZTRACK (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, "
        "ZSTORE_ID FLOAT, ZALBUM VARCHAR, ZARTIST VARCHAR, ZTITLE VARCHAR);"
        "CREATE TABLE ZTRACKHISTORY (Z_PK INTEGER PRIMARY KEY, Z_ENT INTEGER, Z_OPT INTEGER, "
        "ZTRACK_STORE_ID FLOAT, ZDATE TIMESTAMP, ZSTATION_NAME VARCHAR);"
        "INSERT INTO ZTRACK VALUES (22, 2, 1, 4567.0, 'An Album', 'The Artist', 'Song');"
        "INSERT INTO ZTRACKHISTORY VALUES (11, 3, 1, 4567.0, 410000000.5, 'Station');"));
    sqlite3_close(db);
    ::CIPhone* device = HostDevice();
    ASSERT_NE(device, nullptr);
    IScanDevice* session = scanNew_(device);
    ASSERT_NE(session, nullptr);
    session->StartScan(kJunkRadioHistory);
    ASSERT_EQ(Slot<int32_t()>(session, session_slot::Count(kResultRadioHistory)), 1);
    EXPECT_EQ(Slot<int32_t()>(session, session_slot::Count(kResultFiles)), 0);
    void* row = Slot<void*(int32_t)>(session, session_slot::Item(kResultRadioHistory), int32_t{0});
    ASSERT_NE(row, nullptr);

    EXPECT_EQ(SlotText(row, kAlbum), "An Album");
    EXPECT_EQ(SlotText(row, kArtist), "The Artist");
    EXPECT_EQ(Slot<double()>(row, kDate), 410000000.5);
    EXPECT_EQ(Slot<int32_t()>(row, kHistoryKey), 11);
    EXPECT_EQ(Slot<unsigned char(unsigned char)>(row, kSelect, 0), 1);
    EXPECT_EQ(Slot<unsigned char(unsigned char)>(row, kSelect, 1), 0);
    EXPECT_EQ(SlotText(row, kStation), "Station");
    EXPECT_EQ(Slot<double()>(row, kTrackStoreId), 4567.0);
    EXPECT_EQ(SlotText(row, kTitle), "Song");
    EXPECT_EQ(Slot<int32_t()>(row, kTrackKey), 22);
    scanDelete_(session);
    EndHost();
}

// The applications of one sandbox scan by identifier.
std::set<std::string> ScannedApplications(IScanDevice* session) {
    using namespace session_slot;
    std::set<std::string> identifiers;
    const int32_t count = Slot<int32_t()>(session, Count(kResultApplications));
    for (int32_t i = 0; i < count; ++i) {
        void* record = Slot<void*(int32_t)>(session, Item(kResultApplications), i);
        identifiers.insert(SlotText(record, app_slot::kGetIdentifier));
    }
    return identifiers;
}

TEST_F(SlotOrder, SandboxApplicationRecordsAndTheirFiles) {
    using namespace app_slot;
    ::CIPhone* device = HostDevice();
    ASSERT_NE(device, nullptr);
    IScanDevice* session = scanNew_(device);
    ASSERT_NE(session, nullptr);
    Slot<void(int32_t)>(session, session_slot::kStartScan, int32_t{kJunkAppCaches});
    const std::set<std::string> all = ScannedApplications(session);
    ASSERT_GE(all.size(), 2u);
    void* record =
        Slot<void*(int32_t)>(session, session_slot::Item(kResultApplications), int32_t{0});
    ASSERT_NE(record, nullptr);

    const std::string identifier = SlotText(record, kGetIdentifier);
    const std::string name = SlotText(record, kGetName);
    EXPECT_TRUE(all.count(identifier));
    EXPECT_FALSE(name.empty());
    EXPECT_NE(name, identifier);
    const int32_t items = Slot<int32_t()>(record, kGetItemCount);
    ASSERT_GE(items, 1);
    EXPECT_EQ(Slot<void*(int32_t)>(record, kGetItem, items), nullptr);
    uint64_t total = 0;
    for (int32_t i = 0; i < items; ++i) {
        void* file = Slot<void*(int32_t)>(record, kGetItem, i);
        ASSERT_NE(file, nullptr);
        total += Slot<uint64_t()>(file, detail_slot::kGetSize);
    }
    EXPECT_GT(total, static_cast<uint64_t>(items));
    EXPECT_EQ(Slot<uint64_t()>(record, kGetTotalSize), total);
    EXPECT_EQ(Slot<uint64_t()>(record, kGetTotalSizeAgain), total);
    EXPECT_EQ(Slot<int32_t()>(record, kGetKindCount), 0);  // the scans keep no kind count yet
    const unsigned char selected = Slot<unsigned char(unsigned char)>(record, kSelected, 0);
    EXPECT_EQ(Slot<unsigned char(unsigned char)>(record, kSelected, 1), selected ? 0 : 1);
    EXPECT_EQ(Slot<unsigned char(unsigned char)>(record, kSelected, 1), selected);

    {
        namespace slot = detail_slot;
        void* file = Slot<void*(int32_t)>(record, app_slot::kGetItem, int32_t{0});
        const std::string path = SlotText(file, slot::kGetPath);
        ASSERT_NE(path.find('/'), std::string::npos);
        EXPECT_EQ(SlotText(file, slot::kGetName), path.substr(path.rfind('/') + 1));
        const std::string shown = SlotText(file, slot::kGetDisplayPath);
        EXPECT_TRUE(path.ends_with(shown)) << path << " " << shown;
        EXPECT_EQ(Slot<unsigned char(unsigned char)>(file, slot::kSelect, 0), 1);
        EXPECT_EQ(Slot<unsigned char(unsigned char)>(file, slot::kSelect, 1), 0);
        EXPECT_EQ(Slot<unsigned char(unsigned char)>(file, slot::kSelect, 1), 1);
        EXPECT_EQ(Slot<unsigned char()>(file, slot::kFlag), 0);
    }

    // The application list given through its slot keeps that application out of the next scan.
    IScanDevice* other = scanNew_(device);
    ASSERT_NE(other, nullptr);
    const std::u16string skipped = Utf8ToWide(identifier);
    const BwChar* list[] = {skipped.c_str()};
    Slot<void(const BwChar* const*, int32_t)>(other, session_slot::kSetAppList, list, int32_t{1});
    Slot<void(int32_t)>(other, session_slot::kStartScan, int32_t{kJunkAppCaches});
    std::set<std::string> expected = all;
    expected.erase(identifier);
    EXPECT_EQ(ScannedApplications(other), expected);
    scanDelete_(other);
    scanDelete_(session);
    EndHost();
}

TEST_F(SlotOrder, InstalledApplicationRecords) {
    using namespace app_slot;
    const std::string icon("\x89PNG\r\n\x1a\n\0slots", 14);
    const std::string container =
        sim::ImagePath(image_, "/var/mobile/Applications/77777777-AAAA-4000-8000-000000000001");
    ASSERT_TRUE(platform::CreateFolders(container + "/Slots.app"));
    ASSERT_TRUE(platform::WriteFileAtomic(
        container + "/Slots.app/Info.plist",
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        "<key>CFBundleIdentifier</key><string>test.slots.app</string>"
        "<key>CFBundleDisplayName</key><string>Slot Machine</string></dict></plist>\n"));
    ASSERT_TRUE(platform::WriteFileAtomic(container + "/Slots.app/Icon.png", icon));
    ::CIPhone* device = HostDevice();
    ASSERT_NE(device, nullptr);
    const int count = applications_(device, nullptr, 0);
    ASSERT_GE(count, 1);
    std::vector<IAppInfo*> records(static_cast<size_t>(count), nullptr);
    ASSERT_EQ(applications_(device, records.data(), count), count);
    void* record = nullptr;
    for (IAppInfo* candidate : records) {
        if (SlotText(candidate, kGetIdentifier) == "test.slots.app") record = candidate;
    }
    ASSERT_NE(record, nullptr);

    EXPECT_EQ(SlotText(record, kGetName), "Slot Machine");
    ASSERT_EQ(
        Slot<size_t(unsigned char*)>(record, kGetIconData, static_cast<unsigned char*>(nullptr)),
        icon.size());
    std::string bytes(icon.size(), '\0');
    Slot<size_t(unsigned char*)>(record, kGetIconData,
                                 reinterpret_cast<unsigned char*>(bytes.data()));
    EXPECT_EQ(bytes, icon);
    EXPECT_EQ(Slot<void*(int32_t)>(record, kGetItem, int32_t{0}), nullptr);
    const unsigned char selected = Slot<unsigned char(unsigned char)>(record, kSelected, 0);
    EXPECT_EQ(Slot<unsigned char(unsigned char)>(record, kSelected, 1), selected ? 0 : 1);
    EXPECT_EQ(Slot<int32_t()>(record, kGetItemCount), 0);
    EXPECT_EQ(Slot<uint64_t()>(record, kGetTotalSize), 0u);
    EXPECT_EQ(Slot<int32_t()>(record, kGetKindCount), 0);
    EXPECT_EQ(Slot<uint64_t()>(record, kGetTotalSizeAgain), 0u);
    EndHost();
}

// The backup driver ends running backup tools by name, so this runs with the other tests that
// start one (the name puts it into their group).
class BackupRunSlotOrder : public ::testing::Test {
  protected:
    testing::TempFolder folder_;
};

TEST_F(BackupRunSlotOrder, DeviceBackUp) {
    using namespace backup_slot;
    void* library = ::dlopen(BRACKWATER_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    IDeviceBackUp* (*backupNew)(const BwChar*, int32_t, unsigned char, const BwChar*) = nullptr;
    void (*backupDelete)(IDeviceBackUp**) = nullptr;
    Find(library, "DeviceBackUpNewEx", backupNew);
    Find(library, "DeviceBackUpDelete", backupDelete);
    // No backup tool in the runtime folder: a started run ends at once with its start failure.
    ASSERT_TRUE(platform::CreateFolders(folder_ / "runtime"));
    ASSERT_TRUE(platform::CreateFolders(folder_ / "pipes"));
    ::setenv("BRACKWATER_RUNTIME_DIR", (folder_ / "pipes").c_str(), 1);
    testing::UseRegistry(folder_, testing::RuntimeRegistryText(
                                      folder_ / "runtime", folder_ / "runtime/libMobileDevice.so"));

    IDeviceBackUp* run =
        backupNew(u"0123456789abcdef0123456789abcdef01234567", kBackupModeBackup, 0, u"");
    ASSERT_NE(run, nullptr);
    BackupStatus status{};
    Slot<void(BackupStatus*)>(run, kSetStatus, &status);
    Slot<void()>(run, kStart);
    ASSERT_TRUE(testing::WaitUntil(
        [&] {
            return std::atomic_ref<uint8_t>(status.finished).load(std::memory_order_acquire) == 1;
        },
        30000));
    EXPECT_EQ(status.failed, 1);
    EXPECT_EQ(status.errorCode, 1);
    EXPECT_EQ(std::u16string(status.message), u"AppleMobileBackup.exe can't Startup");
    backupDelete(&run);
    EXPECT_EQ(run, nullptr);
}

TEST_F(SlotOrder, PhotoManagerAlbumsAndPhotos) {
    IPhotoManager* (*managerNew)(::CIPhone*) = nullptr;
    void (*managerDelete)(IPhotoManager*) = nullptr;
    Find(library_, "NewPhotoManager", managerNew);
    Find(library_, "DeletePhotoManager", managerDelete);
    ::CIPhone* device = HostDevice();
    ASSERT_NE(device, nullptr);
    IPhotoManager* manager = managerNew(device);
    ASSERT_NE(manager, nullptr);

    using namespace manager_slot;
    const int32_t albums = Slot<int32_t()>(manager, kLoadAlbums);
    ASSERT_GT(albums, 3);
    EXPECT_EQ(Slot<IPhotoAlbum*(int32_t)>(manager, kGetAlbum, int32_t{-1}), nullptr);
    EXPECT_EQ(Slot<IPhotoAlbum*(int32_t)>(manager, kGetAlbum, albums), nullptr);
    // The camera roll: the album whose type is 0.
    IPhotoAlbum* roll = nullptr;
    for (int32_t i = 0; i < albums && roll == nullptr; ++i) {
        IPhotoAlbum* album = Slot<IPhotoAlbum*(int32_t)>(manager, kGetAlbum, i);
        if (Slot<int32_t()>(album, album_slot::kGetAlbumType) == 0) roll = album;
    }
    ASSERT_NE(roll, nullptr);
    const int32_t listed = Slot<int32_t()>(manager, kLoadPhotos);
    ASSERT_GT(listed, 0);
    EXPECT_EQ(Slot<IPhoto*(int32_t)>(manager, kGetPhoto, listed), nullptr);

    {
        using namespace album_slot;
        const int32_t key = Slot<int32_t()>(roll, kGetAlbumKey);
        EXPECT_GT(key, 0);
        EXPECT_EQ(Slot<int32_t()>(roll, kGetAlbumKeySame), key);
        EXPECT_EQ(Slot<int32_t()>(roll, kGetKind), 1000);
        const int32_t stills = Slot<int32_t()>(roll, kCountStills);
        const int32_t videos = Slot<int32_t()>(roll, kCountVideos);
        const int32_t all = Slot<int32_t()>(roll, kCountPhotos);
        EXPECT_GT(videos, 0);
        EXPECT_EQ(stills + videos, all);
        BwPhotoList list, stillList, videoList;
        EXPECT_EQ(Slot<int32_t(BwPhotoList*)>(roll, kCopyPhotosTo, &list), all);
        EXPECT_EQ(list.size(), static_cast<size_t>(all));
        EXPECT_EQ(Slot<int32_t(BwPhotoList*)>(roll, kGetStills, &stillList), stills);
        EXPECT_EQ(Slot<int32_t(BwPhotoList*)>(roll, kGetVideos, &videoList), videos);
        IPhoto* first = Slot<IPhoto*()>(roll, kGetFirstPhoto);
        EXPECT_EQ(first, list.front());
        // Adding appends; removing takes every entry of that photo.
        Slot<void(IPhoto*)>(roll, kAddPhoto, first);
        EXPECT_EQ(Slot<int32_t()>(roll, kCountPhotos), all + 1);
        Slot<void(IPhoto*)>(roll, kRemovePhoto, first);
        EXPECT_EQ(Slot<int32_t()>(roll, kCountPhotos), all - 1);
        EXPECT_NE(Slot<IPhoto*()>(roll, kGetFirstPhoto), first);
        // Each replacement of the list, then the list as it was.
        EXPECT_EQ(Slot<int32_t(const BwPhotoList*)>(roll, kSetPhotos, &stillList), stills);
        EXPECT_EQ(Slot<int32_t()>(roll, kCountVideos), 0);
        Slot<void(const BwPhotoList*)>(roll, kAssignPhotos, &videoList);
        EXPECT_EQ(Slot<int32_t()>(roll, kCountStills), 0);
        Slot<void(const BwPhotoList*)>(roll, kAssignPhotosSame, &list);
        EXPECT_EQ(Slot<int32_t()>(roll, kCountPhotos), all);
        EXPECT_EQ(Slot<IPhoto*()>(roll, kGetFirstPhoto), first);
        Slot<void(int32_t)>(roll, kSetAlbumKey, key + 100);
        EXPECT_EQ(Slot<int32_t()>(roll, kGetAlbumKey), key + 100);
        Slot<void(int32_t)>(roll, kSetAlbumKey, key);
        Slot<void(int32_t)>(roll, kSetKind, int32_t{2});
        EXPECT_EQ(Slot<int32_t()>(roll, kGetKind), 2);
        Slot<void(int32_t)>(roll, kSetKind, int32_t{1000});
        Slot<void(int32_t)>(roll, kSetAlbumType, int32_t{3});
        EXPECT_EQ(Slot<int32_t()>(roll, kGetAlbumType), 3);
        Slot<void(int32_t)>(roll, kSetAlbumType, int32_t{0});
    }

    {
        using namespace photo_slot;
        IPhoto* photo = Slot<IPhoto*()>(roll, album_slot::kGetFirstPhoto);
        ASSERT_NE(photo, nullptr);
        EXPECT_GT(Slot<int32_t()>(photo, kGetAssetKey), 0);
        EXPECT_EQ(Slot<int32_t()>(photo, kGetAlbumKey),
                  Slot<int32_t()>(roll, album_slot::kGetAlbumKey));
        std::string path(Slot<uint32_t(char*)>(photo, kGetDevicePath, static_cast<char*>(nullptr)),
                         '\0');
        ASSERT_GT(path.size(), 1u);
        EXPECT_EQ(Slot<uint32_t(char*)>(photo, kGetDevicePath, path.data()), path.size());
        path.pop_back();  // the terminating zero
        const std::string bytes = testing::ReadFileBytes(Media(path));
        ASSERT_FALSE(bytes.empty()) << path;
        EXPECT_EQ(Slot<int64_t()>(photo, kGetFileSize), static_cast<int64_t>(bytes.size()));
        EXPECT_GT(Slot<double()>(photo, kGetCreationTime), 0.0);
        EXPECT_GT(Slot<int32_t()>(photo, kGetWidth), 0);
        EXPECT_GT(Slot<int32_t()>(photo, kGetHeight), 0);
        const uint64_t size = Slot<uint64_t(unsigned char*)>(photo, kReadPhotoFile,
                                                             static_cast<unsigned char*>(nullptr));
        ASSERT_EQ(size, bytes.size());
        std::string read(size, '\0');
        Slot<uint64_t(unsigned char*)>(photo, kReadPhotoFile,
                                       reinterpret_cast<unsigned char*>(read.data()));
        EXPECT_EQ(read, bytes);
        const std::string exported = folder_ / "exported";
        ASSERT_TRUE(platform::CreateFolder(exported));
        EXPECT_EQ(Slot<unsigned char(const char*)>(photo, kExportTo, exported.c_str()), 1);
        EXPECT_EQ(testing::ReadFileBytes(exported + path.substr(path.rfind('/'))), bytes);
        EXPECT_EQ(
            Slot<unsigned char(const char*)>(photo, kExportTo, static_cast<const char*>(nullptr)),
            0);
        EXPECT_EQ(Slot<uint32_t(unsigned char*)>(photo, kGetThumbnail,
                                                 static_cast<unsigned char*>(nullptr)),
                  0u);
        EXPECT_EQ(Slot<unsigned char()>(photo, kLoadThumbnail), 1);
        const uint32_t standard = Slot<uint32_t(unsigned char*)>(
            photo, kGetThumbnail, static_cast<unsigned char*>(nullptr));
        EXPECT_GT(standard, 0u);
        std::string jpeg(standard, '\0');
        EXPECT_EQ(Slot<uint32_t(unsigned char*)>(photo, kGetThumbnail,
                                                 reinterpret_cast<unsigned char*>(jpeg.data())),
                  standard);
        EXPECT_EQ(jpeg.substr(0, 3), "\xFF\xD8\xFF");
        EXPECT_EQ(Slot<unsigned char(int32_t, int32_t)>(photo, kLoadThumbnailSized, int32_t{40},
                                                        int32_t{30}),
                  1);
        EXPECT_NE(Slot<uint32_t(unsigned char*)>(photo, kGetThumbnail,
                                                 static_cast<unsigned char*>(nullptr)),
                  0u);
        EXPECT_EQ(Slot<unsigned char(IPhoto*)>(photo, kIsSamePhoto, photo), 1);
        IPhoto* other = Slot<IPhoto*(int32_t)>(manager, kGetPhoto, int32_t{1});
        ASSERT_NE(other, nullptr);
        EXPECT_EQ(Slot<unsigned char(IPhoto*)>(photo, kIsSamePhoto, other), 0);

        const std::string pulled = folder_ / "pulled";
        ASSERT_TRUE(platform::CreateFolder(pulled));
        EXPECT_EQ(Slot<unsigned char(int32_t, const char*)>(manager, kExportPhoto, int32_t{0},
                                                            pulled.c_str()),
                  1);
        EXPECT_EQ(testing::ReadFileBytes(pulled + path.substr(path.rfind('/'))), bytes);
    }

    // An addition of no pictures still runs a sync and hands it 0 paths; a deletion answers 0 and
    // takes the camera-roll photo off the device; the reserved slots answer 0.
    EXPECT_EQ(Slot<int32_t(const char* const*, int32_t)>(
                  manager, kAddPhotos, static_cast<const char* const*>(nullptr), int32_t{0}),
              0);
    IPhoto* firstListed = Slot<IPhoto*(int32_t)>(manager, kGetPhoto, int32_t{0});
    ASSERT_NE(firstListed, nullptr);
    const int32_t deletedKey = Slot<int32_t()>(firstListed, photo_slot::kGetAssetKey);
    EXPECT_EQ(
        Slot<int32_t(IPhoto* const*, int32_t)>(manager, kDeletePhotos, &firstListed, int32_t{1}),
        0);
    const int32_t key = 1;
    EXPECT_EQ(Slot<int32_t(const int32_t*, int32_t)>(manager, kDeletePhotosByKey, &key, int32_t{1}),
              0);
    for (const size_t reserved : {kReserved9, kReserved10, kReserved11})
        EXPECT_EQ(Slot<int32_t(int32_t, int32_t)>(manager, reserved, int32_t{1}, int32_t{2}), 0);
    // A reload reads everything again: the same albums, the photo list made anew, without the
    // first photo (a camera-roll one), which the deletion took off the device.
    EXPECT_EQ(Slot<unsigned char()>(manager, kReloadLibrary), 1);
    EXPECT_NE(Slot<IPhotoAlbum*(int32_t)>(manager, kGetAlbum, albums - 1), nullptr);
    EXPECT_EQ(Slot<IPhotoAlbum*(int32_t)>(manager, kGetAlbum, albums), nullptr);
    EXPECT_NE(Slot<IPhoto*(int32_t)>(manager, kGetPhoto, int32_t{0}), nullptr);
    EXPECT_EQ(Slot<IPhoto*(int32_t)>(manager, kGetPhoto, listed - 1), nullptr);
    for (int32_t i = 0; IPhoto* photo = Slot<IPhoto*(int32_t)>(manager, kGetPhoto, i); ++i)
        EXPECT_NE(Slot<int32_t()>(photo, photo_slot::kGetAssetKey), deletedKey);

    managerDelete(manager);
    managerDelete(nullptr);
    EndHost();
}

}  // namespace
}  // namespace bw
