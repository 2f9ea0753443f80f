// Backup preparation in a backup root below the test's folder: archive names, the limit of kept
// backups, other devices' backups, delete-current.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "backup/backup_prepare.h"
#include "device/device_identifier.h"
#include "formats/plist_library.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "support/build_paths.h"
#include "support/sim_device.h"

namespace bw {
namespace {

using testing::SimDeviceTest;

constexpr char kWorkUdid[] = "1111111111222222222233333333334444444444";
constexpr char kOtherUdid[] = "9999999999888888888877777777776666666666";

PlistCalendar Utc(int year, int month, int day, int hour, int minute, int second) {
    PlistCalendar date;
    date.year = year - 1900;
    date.month = month - 1;
    date.day = day;
    date.hour = hour;
    date.minute = minute;
    date.second = second;
    // Round trip to fill weekday and day of year the way readers do.
    return PlistCalendarFromReferenceSeconds(PlistReferenceSecondsFromCalendar(date));
}

class PrepareWork : public SimDeviceTest {
  protected:
    void SetUp() override {
        SimDeviceTest::SetUp();
        // Apple's backup root lives below the roaming application-data folder, which the
        // registry's shell folders name.
        UseRegistry(folder_,
                    testing::RuntimeRegistryText(
                        BRACKWATER_SIM_RUNTIME_DIR,
                        std::string(BRACKWATER_SIM_RUNTIME_DIR) + "/libMobileDevice.so") +
                        "\n[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\"
                        "Explorer\\Shell Folders]\n\"AppData\"=\"" +
                        platform::EscapeRegistryString(folder_ / "AppData") + "\"\n");
        root_ = folder_ / "AppData/Apple Computer/MobileSync/Backup";
    }

    // A device with this identifier; `offset` replaces its "TimeZoneOffsetFromUTC" (a real, as
    // phones send it).
    CIPhone* ArriveWithOffset(double offset) {
        Listen();
        sim::ImageOptions options;
        options.udid = kWorkUdid;
        const std::string image = MakeImage("phone", options);
        const std::string path = platform::JoinPath(image, "device.plist");
        CDicValueObj values;
        readPlistFromFile(path, values);
        values.Set("TimeZoneOffsetFromUTC", CDicValueObj::MakeReal(offset));
        writeXmlFile(values, path);
        CIPhone* phone = Arrive(image);
        EXPECT_NE(phone, nullptr);
        return phone;
    }

    // A backup folder in the root with a marker file; `info` decides its Info.plist.
    enum class Info { None, Library, LibraryWithoutDate, Foreign };
    std::string MakeBackup(const std::string& name, Info info, PlistCalendar date = {}) {
        const std::string folder = platform::JoinPath(root_, name);
        EXPECT_TRUE(platform::CreateFolders(folder));
        EXPECT_TRUE(platform::WriteFileAtomic(platform::JoinPath(folder, "Manifest.mbdb"), name));
        if (info == Info::None) return folder;
        CDicValueObj plist = CDicValueObj::MakeDictionary();
        plist.Set("Device Name", CDicValueObj::MakeString("phone"));
        if (info != Info::LibraryWithoutDate) {
            plist.Set("Last Backup Date", CDicValueObj::MakeDate(date));
        }
        if (info != Info::Foreign) {
            plist.Set("Larkspur Version", CDicValueObj::MakeString("1.0.0.0"));
        }
        writeXmlFile(plist, platform::JoinPath(folder, "Info.plist"));
        return folder;
    }

    std::set<std::string> RootNames() const {
        std::set<std::string> names;
        std::vector<platform::FolderEntry> entries;
        platform::ListFolder(root_, entries);
        for (const auto& entry : entries)
            names.insert(entry.name);
        return names;
    }

    std::string Marker(const std::string& name) const {
        return testing::ReadFileBytes(
            platform::JoinPath(platform::JoinPath(root_, name), "Manifest.mbdb"));
    }

    void RunPrepare(CIPhone* phone, bool deleteCurrent, int32_t maxKept) {
        CBackupPrepareWork* work = BackupPrepareWorkInstance();
        ASSERT_NE(work, nullptr);
        work->Init(ToHost(phone), deleteCurrent ? 1 : 0, maxKept);
        work->Prepare();
    }

    std::string root_;
    const std::string current_ = kWorkUdid;
};

TEST_F(PrepareWork, InitReadsTheDeviceValues) {
    CIPhone* phone = ArriveWithOffset(-18000.0);
    ASSERT_NE(phone, nullptr);
    CBackupPrepareWork work;
    work.Init(ToHost(phone), 0, 3);
    EXPECT_EQ(work.UniqueIdentifier(), kWorkUdid);
    EXPECT_EQ(work.SerialNumber(), phone->serialNumber);
    EXPECT_FALSE(work.SerialNumber().empty());
    EXPECT_EQ(work.TimeZoneOffset(), -18000);
    EXPECT_TRUE(work.BackupRoot().empty());

    // A pointer that is no device of this process counts as no device.
    int stray = 0;
    work.Init(reinterpret_cast<::CIPhone*>(&stray), 0, 3);
    EXPECT_TRUE(work.UniqueIdentifier().empty());
    EndListening();
}

TEST_F(PrepareWork, ArchiveIsNamedFromTheLastBackupDateInTheDevicesZone) {
    CIPhone* phone = ArriveWithOffset(-18000.0);
    ASSERT_NE(phone, nullptr);
    MakeBackup(current_, Info::Library, Utc(2024, 3, 10, 2, 30, 5));
    RunPrepare(phone, false, 5);
    // 02:30:05 UTC is 21:30:05 of the day before five hours west of Greenwich.
    const std::string archive = current_ + "-20240309-213005";
    EXPECT_EQ(RootNames(), std::set<std::string>{archive});
    EXPECT_EQ(Marker(archive), current_);
    EXPECT_EQ(BackupPrepareWorkInstance()->CurrentFolder(), platform::JoinPath(root_, current_));
    EndListening();
}

TEST_F(PrepareWork, ForeignInfoPlistDateAlsoNamesTheArchive) {
    CIPhone* phone = ArriveWithOffset(3600.0);
    ASSERT_NE(phone, nullptr);
    MakeBackup(current_, Info::Foreign, Utc(2013, 12, 31, 23, 0, 0));
    RunPrepare(phone, false, 5);
    EXPECT_EQ(RootNames(), std::set<std::string>{current_ + "-20140101-000000"});
    EndListening();
}

TEST_F(PrepareWork, ArchiveWithoutDateIsNamedFromTheFolderTime) {
    CIPhone* phone = ArriveWithOffset(0.0);
    ASSERT_NE(phone, nullptr);
    const std::string folder = MakeBackup(current_, Info::None);
    std::tm local{};
    local.tm_year = 2023 - 1900;
    local.tm_mon = 0;
    local.tm_mday = 5;
    local.tm_hour = 7;
    local.tm_min = 8;
    local.tm_sec = 9;
    local.tm_isdst = -1;
    const int64_t seconds = platform::UnixSecondsFromLocal(local);
    std::filesystem::last_write_time(folder,
                                     std::filesystem::file_time_type::clock::from_sys(
                                         std::chrono::sys_seconds(std::chrono::seconds(seconds))));
    RunPrepare(phone, false, 5);
    // Month and day carry no leading zeros in this form.
    EXPECT_EQ(RootNames(), std::set<std::string>{current_ + "-202315-070809"});
    EndListening();
}

TEST_F(PrepareWork, LimitOneDeletesTheKeptBackupBeforeArchiving) {
    CIPhone* phone = ArriveWithOffset(0.0);
    ASSERT_NE(phone, nullptr);
    const std::string kept = current_ + "-20200101-000000";
    MakeBackup(kept, Info::Library, Utc(2020, 1, 1, 0, 0, 0));
    MakeBackup(current_, Info::Library, Utc(2021, 6, 1, 12, 0, 0));
    // Never counted or deleted: another device's older backup, and this device's folders that
    // this library did not write.
    const std::string other = kOtherUdid;
    MakeBackup(other, Info::Library, Utc(2000, 1, 1, 0, 0, 0));
    MakeBackup(other + "-20000101-000000", Info::Library, Utc(1999, 1, 1, 0, 0, 0));
    const std::string foreign = current_ + "-19990101-000000";
    MakeBackup(foreign, Info::Foreign, Utc(1999, 1, 1, 0, 0, 0));
    const std::string plain = current_ + "-plain";
    MakeBackup(plain, Info::None);

    RunPrepare(phone, false, 1);
    const std::set<std::string> expected = {other, other + "-20000101-000000", foreign, plain,
                                            current_ + "-20210601-120000"};
    EXPECT_EQ(RootNames(), expected);
    EXPECT_EQ(Marker(current_ + "-20210601-120000"), current_);
    EXPECT_EQ(Marker(other), other);
    EndListening();
}

TEST_F(PrepareWork, LimitZeroDeletesOneBackupOnEveryPrepare) {
    CIPhone* phone = ArriveWithOffset(0.0);
    ASSERT_NE(phone, nullptr);
    const std::string older = current_ + "-20190101-000000";
    const std::string newer = current_ + "-20200101-000000";
    MakeBackup(newer, Info::Library, Utc(2020, 1, 1, 0, 0, 0));
    MakeBackup(older, Info::Library, Utc(2019, 1, 1, 0, 0, 0));
    MakeBackup(kOtherUdid, Info::Library, Utc(2000, 1, 1, 0, 0, 0));

    RunPrepare(phone, false, 0);
    EXPECT_EQ(RootNames(), (std::set<std::string>{newer, kOtherUdid}));
    RunPrepare(phone, false, 0);
    EXPECT_EQ(RootNames(), (std::set<std::string>{kOtherUdid}));
    RunPrepare(phone, false, 0);
    EXPECT_EQ(RootNames(), (std::set<std::string>{kOtherUdid}));
    EndListening();
}

TEST_F(PrepareWork, BackupsWithoutDateAreCountedButNeverDeleted) {
    CIPhone* phone = ArriveWithOffset(0.0);
    ASSERT_NE(phone, nullptr);
    const std::string undated = current_ + "-undated";
    const std::string dated = current_ + "-20220101-000000";
    MakeBackup(undated, Info::LibraryWithoutDate);
    MakeBackup(dated, Info::Library, Utc(2022, 1, 1, 0, 0, 0));
    CBackupPrepareWork* work = BackupPrepareWorkInstance();
    work->Init(ToHost(phone), 0, 2);
    work->Prepare();
    EXPECT_EQ(work->KeptBackups().size(), 2u);
    // The limit of two was reached, and the only one that takes part is the dated one.
    EXPECT_EQ(RootNames(), std::set<std::string>{undated});
    EndListening();
}

TEST_F(PrepareWork, BelowTheLimitNothingIsDeleted) {
    CIPhone* phone = ArriveWithOffset(0.0);
    ASSERT_NE(phone, nullptr);
    const std::string kept = current_ + "-20200101-000000";
    MakeBackup(kept, Info::Library, Utc(2020, 1, 1, 0, 0, 0));
    MakeBackup(current_, Info::Library, Utc(2021, 1, 1, 0, 0, 0));
    RunPrepare(phone, false, 3);
    EXPECT_EQ(RootNames(), (std::set<std::string>{kept, current_ + "-20210101-000000"}));
    EndListening();
}

TEST_F(PrepareWork, ArchiveNameInUseGetsANumber) {
    CIPhone* phone = ArriveWithOffset(0.0);
    ASSERT_NE(phone, nullptr);
    const std::string taken = current_ + "-20210101-000000";
    MakeBackup(taken, Info::None);
    MakeBackup(current_, Info::Library, Utc(2021, 1, 1, 0, 0, 0));
    RunPrepare(phone, false, 5);
    EXPECT_EQ(RootNames(), (std::set<std::string>{taken, taken + "-2"}));
    EXPECT_EQ(Marker(taken), taken);
    EXPECT_EQ(Marker(taken + "-2"), current_);
    EndListening();
}

TEST_F(PrepareWork, DeleteCurrentRemovesOnlyTheCurrentBackup) {
    CIPhone* phone = ArriveWithOffset(0.0);
    ASSERT_NE(phone, nullptr);
    const std::string kept = current_ + "-20200101-000000";
    MakeBackup(kept, Info::Library, Utc(2020, 1, 1, 0, 0, 0));
    MakeBackup(current_, Info::Library, Utc(2021, 1, 1, 0, 0, 0));
    MakeBackup(current_ + "/Snapshot/deep", Info::None);
    // Even at a limit of 0 nothing but the current folder goes.
    RunPrepare(phone, true, 0);
    EXPECT_EQ(RootNames(), std::set<std::string>{kept});
    // Without a current folder, delete-current does nothing at all.
    RunPrepare(phone, true, 0);
    EXPECT_EQ(RootNames(), std::set<std::string>{kept});
    EndListening();
}

TEST_F(PrepareWork, WithoutDeviceNothingIsTouched) {
    CBackupPrepareWork* work = BackupPrepareWorkInstance();
    ASSERT_NE(work, nullptr);
    EXPECT_EQ(work, BackupPrepareWorkInstance());
    work->Init(nullptr, 0, 0);
    work->Prepare();
    EXPECT_FALSE(platform::PathExists(root_));
    work->Init(nullptr, 1, 0);
    work->Prepare();
    EXPECT_FALSE(platform::PathExists(root_));
}

TEST_F(PrepareWork, MissingRootIsCreatedAndCountsNothing) {
    CIPhone* phone = ArriveWithOffset(0.0);
    ASSERT_NE(phone, nullptr);
    CBackupPrepareWork* work = BackupPrepareWorkInstance();
    work->Init(ToHost(phone), 0, 0);
    work->Prepare();
    EXPECT_TRUE(platform::IsFolder(root_));
    EXPECT_TRUE(RootNames().empty());
    EXPECT_EQ(work->CountKeptBackups(), 0);
    EndListening();
}

// A phone chooses its own identifier, and the identifier names folders in the backup root: one
// that is no device identifier ("..", a path, a single letter found inside other devices'
// folder names) is refused when the phone arrives, and nothing in or beside the root changes.
TEST_F(PrepareWork, DevicesWithIdentifiersOfOtherShapesAreRefused) {
    MakeBackup(kOtherUdid, Info::Library, Utc(2026, 1, 2, 3, 4, 5));
    const std::string outside = folder_ / "AppData/Apple Computer/MobileSync/x";
    ASSERT_TRUE(platform::CreateFolders(outside));
    ASSERT_TRUE(platform::WriteFileAtomic(platform::JoinPath(outside, "keep"), "canary"));
    Listen();
    int n = 0;
    for (const char* hostile :
         {"../x", ".", "..", "9", "e", "../../../../x",
          "1111111111222222222233333333334444444444/..", "11111111-222222223333333\x1b[2J"}) {
        SCOPED_TRACE(hostile);
        const std::string image = MakeImage("hostile" + std::to_string(n++));
        const std::string path = platform::JoinPath(image, "device.plist");
        CDicValueObj values;
        readPlistFromFile(path, values);
        values.Set("UniqueDeviceID", CDicValueObj::MakeString(hostile));
        writeXmlFile(values, path);
        EXPECT_EQ(Arrive(image), nullptr);
    }
    EXPECT_EQ(RootNames(), std::set<std::string>{kOtherUdid});
    EXPECT_EQ(Marker(kOtherUdid), kOtherUdid);
    EXPECT_EQ(testing::ReadFileBytes(platform::JoinPath(outside, "keep")), "canary");
    EndListening();
}

TEST(DeviceIdentifier, OnlyTheShapesOfRealDevices) {
    for (const char* good :
         {"0123456789abcdef0123456789abcdef01234567", "ABCDEF0123456789ABCDEF0123456789ABCDEF01",
          "00008030-001A2D3E4F56789A"}) {
        EXPECT_TRUE(IsDeviceIdentifier(good)) << good;
    }
    for (const char* bad : {"", "e", ".", "..", "../0123456789abcdef0123456789abcdef0123",
                            "0123456789abcdef0123456789abcdef0123456", "00008030_001A2D3E4F56789A",
                            "00008030-001A2D3E4F56789", "0123456789abcdef0123456789abcdef0123456g",
                            "00008030-001A2D3E4F5678/A"}) {
        EXPECT_FALSE(IsDeviceIdentifier(bad)) << bad;
    }
}

TEST(TimeZoneOffset, ParsesTheLeadingDecimalNumber) {
    EXPECT_EQ(ParseTimeZoneOffset("3600"), 3600);
    EXPECT_EQ(ParseTimeZoneOffset("-18000"), -18000);
    EXPECT_EQ(ParseTimeZoneOffset("-18000.000000"), -18000);
    EXPECT_EQ(ParseTimeZoneOffset(" 19800"), 19800);
    EXPECT_EQ(ParseTimeZoneOffset("+7200"), 7200);
    EXPECT_EQ(ParseTimeZoneOffset(""), 0);
    EXPECT_EQ(ParseTimeZoneOffset("east"), 0);
    EXPECT_EQ(ParseTimeZoneOffset("99999999999999999999999"), 0);
}

}  // namespace
}  // namespace bw
