#include "device/host_utils.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>

#include "formats/plist_library.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "support/temp_folder.h"

extern char** environ;

namespace bw {
namespace {

// True when `text` has the shape of `pattern`: '9' stands for a digit, 'X' for an uppercase and
// 'x' for a lowercase hexadecimal digit; every other character stands for itself.
bool HasShape(std::string_view text, std::string_view pattern) {
    if (text.size() != pattern.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool ok = pattern[i] == '9'   ? std::isdigit(c)
                        : pattern[i] == 'X' ? std::isdigit(c) || (c >= 'A' && c <= 'F')
                        : pattern[i] == 'x' ? std::isdigit(c) || (c >= 'a' && c <= 'f')
                                            : c == static_cast<unsigned char>(pattern[i]);
        if (!ok) return false;
    }
    return true;
}

std::tm LocalAgo(int64_t seconds) {
    return platform::LocalCalendar(platform::NowUnixSeconds() - seconds);
}

TEST(HostUtilities, RelativeTimeNamesTodayYesterdayWeekdayOrDate) {
    EXPECT_EQ(FormatRelativeTime(LocalAgo(3600)), FormatDateTime(LocalAgo(3600)).substr(11));
    EXPECT_TRUE(FormatRelativeTime(LocalAgo(86400 + 3600)).starts_with("Yesterday "));
    const std::string weekday = FormatRelativeTime(LocalAgo(3 * 86400));
    const size_t space = weekday.find(' ');
    EXPECT_TRUE(space != std::string::npos && weekday.substr(0, space).ends_with("day") &&
                HasShape(weekday.substr(space), " 99:99:99"))
        << weekday;
    EXPECT_TRUE(HasShape(FormatRelativeTime(LocalAgo(8 * 86400)), "9999/99/99 99:99:99"));
}

TEST(HostUtilities, DateTextsUseTheirFixedForms) {
    std::tm time{};
    time.tm_year = 2014 - 1900;
    time.tm_mon = 5;
    time.tm_mday = 3;
    time.tm_hour = 9;
    time.tm_min = 4;
    time.tm_sec = 5;
    EXPECT_EQ(FormatStamp(time), "20140603-090405");
    EXPECT_EQ(FormatDateTime(time), "2014-06-03 09:04:05");
    EXPECT_EQ(FormatDateTimeSlashed(time), "2014/06/03 09:04:05");
    time.tm_sec = 60;  // a leap second
    EXPECT_EQ(FormatDateTime(time), "2014-06-03 09:04:60");
}

// The date texts are written without strftime; every calendar time a 64-bit clock gives, from
// year 1 to far beyond 9999, must read as strftime writes it.
TEST(HostUtilities, DateTextsAgreeWithStrftimeOverTheWholeClock) {
    const auto strftimeText = [](const std::tm& time, const char* format) {
        char text[128];
        return std::string(text, std::strftime(text, sizeof text, format, &time));
    };
    uint64_t state = 0x9e3779b97f4a7c15;
    for (int i = 0; i < 20000; ++i) {
        state = state * 6364136223846793005 + 1442695040888963407;
        // Mostly plausible dates, some far outside four-digit years.
        const int64_t span = i % 10 == 0 ? int64_t{1} << 40 : int64_t{1} << 32;
        const int64_t seconds = static_cast<int64_t>(state >> 20) % span - span / 4;
        const std::tm time = platform::LocalCalendar(seconds);
        SCOPED_TRACE(seconds);
        ASSERT_EQ(FormatDateTime(time), strftimeText(time, "%Y-%m-%d %H:%M:%S"));
        ASSERT_EQ(FormatDateTimeSlashed(time), strftimeText(time, "%Y/%m/%d %H:%M:%S"));
    }
}

TEST(HostUtilities, SecondsBetweenSystemTimesTruncateTowardsZero) {
    SystemTime unixEpoch;
    unixEpoch.year = 1970;
    EXPECT_EQ(SecondsSince1904(unixEpoch), 2082844800);
    SystemTime y2001;
    y2001.year = 2001;
    EXPECT_EQ(SecondsBetween(y2001, unixEpoch), 978307200);
    EXPECT_EQ(SecondsBetween(unixEpoch, y2001), -978307200);
    SystemTime leap = unixEpoch;
    leap.year = 2000;
    leap.month = 3;
    leap.day = 1;
    SystemTime feb28 = leap;
    feb28.month = 2;
    feb28.day = 28;
    EXPECT_EQ(SecondsBetween(leap, feb28), 2 * 86400);  // 2000 is a leap year
    SystemTime later = unixEpoch;
    later.milliseconds = 999;
    EXPECT_EQ(SecondsBetween(later, unixEpoch), 0);
}

TEST(HostUtilities, IdentifiersHaveTheirFixedShapes) {
    EXPECT_EQ(FormatAsUuid("123"), "00000000-0000-0000-0000-000000000123");
    EXPECT_EQ(FormatAsUuid("0123456789abcdef0123456789abcdef"),
              "01234567-89ab-cdef-0123-456789abcdef");
    EXPECT_EQ(FormatAsUuid(""), "00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(FormatAsUuid("123456789ABCD"), "00000000-0000-0000-0001-23456789ABCD");
    const std::string guid = NewGuidText();
    EXPECT_TRUE(HasShape(guid, "XXXXXXXX-XXXX-xxxx-XXXX-XXXXXXXXXXXX")) << guid;
    EXPECT_NE(NewGuidText(), guid);
}

TEST(HostUtilities, FileNamesAndHostFileTests) {
    EXPECT_EQ(FileNameOf("C:\\a\\b.txt"), "b.txt");
    EXPECT_EQ(FileNameOf("/a/b.txt"), "b.txt");
    EXPECT_EQ(FileNameOf("plain"), "");
    EXPECT_EQ(DeviceFileNameOf("/DCIM/100APPLE/IMG_0001.JPG"), "IMG_0001.JPG");
    EXPECT_EQ(DeviceFileNameOf("IMG"), "");

    testing::TempFolder folder;
    const std::string file = folder.Write("f.bin", std::string(1234, 'x'));
    EXPECT_TRUE(HostFileExists(file));
    EXPECT_FALSE(HostFileExists(folder / "missing"));
    EXPECT_EQ(HostFileSize(file), 1234);
    EXPECT_EQ(HostFileSize(folder / "missing"), 0);
    EXPECT_TRUE(CopyHostFile(file, folder / "copy"));
    EXPECT_EQ(testing::ReadFileBytes(folder / "copy"), std::string(1234, 'x'));
    EXPECT_FALSE(CopyHostFile(folder / "missing", folder / "copy2"));

    EXPECT_TRUE(IsFolderWritable(folder.path()));
    EXPECT_FALSE(IsFolderWritable(folder / "missing"));
    std::vector<platform::FolderEntry> entries;
    platform::ListFolder(folder.path(), entries);
    EXPECT_EQ(entries.size(), 2u);  // the probe file is gone again
}

TEST(HostUtilities, ListFolderTreePutsEachFolderBeforeItsSubfoldersAndSumsFileSizes) {
    testing::TempFolder folder;
    folder.Write("a/b/c/file1", "12345");
    folder.Write("a/file2", "12");
    folder.Write("d/file3", "");
    std::vector<std::string> folders;
    EXPECT_EQ(ListFolderTree(folder.path(), folders), 7u);
    ASSERT_EQ(folders.size(), 4u);
    auto at = [&](const std::string& name) {
        return std::find(folders.begin(), folders.end(), folder / name) - folders.begin();
    };
    EXPECT_LT(at("a"), at("a/b"));
    EXPECT_LT(at("a/b"), at("a/b/c"));
    EXPECT_LT(at("d"), 4);

    DeleteFolderTree(folder / "a");
    EXPECT_FALSE(platform::PathExists(folder / "a"));
    EXPECT_TRUE(platform::IsFile(folder / "d/file3"));
}

class HostFolders : public ::testing::Test {
  protected:
    void SetUp() override {
        ::setenv("TMPDIR", (folder / "tmp").c_str(), 1);
        platform::CreateFolder(folder / "tmp");
        ::setenv("BRACKWATER_REGISTRY", (folder / "registry.reg").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (folder / "roaming").c_str(), 1);
    }
    testing::TempFolder folder;
};

TEST_F(HostFolders, TemporaryAndBackupFoldersAreMadeWhereTheSettingsPoint) {
    const std::string own = folder / ("tmp/brackwater-" + std::to_string(::geteuid()));
    EXPECT_EQ(GetTempFolder("Work"), own + "/Work");
    EXPECT_TRUE(platform::IsFolder(own + "/Work"));
    EXPECT_EQ(GetPhotoTempFolder("Album"), own + "/PhotoSync/Album");
    EXPECT_TRUE(platform::IsFolder(own + "/PhotoSync/Album"));

    const std::string root = folder / "roaming/Apple Computer/MobileSync/Backup";
    EXPECT_EQ(GetBackupRoot(), root);
    EXPECT_FALSE(platform::PathExists(root));
    EXPECT_EQ(EnsureBackupFolder(""), root);
    EXPECT_TRUE(platform::IsFolder(root));
    EXPECT_EQ(EnsureBackupFolder("abc"), root + "/abc");
}

TEST_F(HostFolders, BackupToolIsFoundBesideTheRegisteredLibraryOnlyWhenItExists) {
    EXPECT_EQ(GetBackupToolPath(), "");  // no registry file at all
    const std::string runtime = folder / "runtime";
    folder.Write("registry.reg",
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared]\n"
                 "\"iTunesMobileDeviceDLL\"=\"" +
                     runtime + "/libMobileDevice.so\"\n");
    EXPECT_EQ(GetBackupToolPath(), "");  // the value is there, the tool is not
    folder.Write("runtime/AppleMobileBackup.exe", "#!/bin/sh\n");
    EXPECT_EQ(GetBackupToolPath(), runtime + "/AppleMobileBackup.exe");
}

TEST_F(HostFolders, BackupInfoValuesComeFromInfoPlistOrItsFileTime) {
    const std::string backup = folder / "backup";
    platform::CreateFolder(backup);
    EXPECT_EQ(ReadBackupVersion(backup), "");
    EXPECT_EQ(ReadBackupDate(backup), "");

    CDicValueObj info = CDicValueObj::MakeDictionary();
    info.Set("Larkspur Version", CDicValueObj::MakeString("2.1"));
    PlistCalendar date;
    date.year = 2014 - 1900;
    date.month = 0;
    date.day = 2;
    date.hour = 3;
    date.minute = 4;
    date.second = 5;
    info.Set("Last Backup Date", CDicValueObj::MakeDate(date));
    writeXmlFile(info, backup + "/Info.plist");
    EXPECT_EQ(ReadBackupVersion(backup), "2.1");
    EXPECT_EQ(ReadBackupDate(backup), "20140102-030405");

    // Without the date (or with another type under its key) the file's time is used, in local
    // time with the date's numbers unpadded.
    info.Set("Last Backup Date", CDicValueObj::MakeString("yesterday"));
    writeXmlFile(info, backup + "/Info.plist");
    struct timespec times[2] = {};
    std::tm local{};
    local.tm_year = 2013 - 1900;
    local.tm_mon = 2;
    local.tm_mday = 4;
    local.tm_hour = 5;
    local.tm_min = 6;
    local.tm_sec = 7;
    times[0].tv_sec = times[1].tv_sec = platform::UnixSecondsFromLocal(local);
    ASSERT_EQ(::utimensat(AT_FDCWD, (backup + "/Info.plist").c_str(), times, 0), 0);
    EXPECT_EQ(ReadBackupDate(backup), "201334-050607");
}

TEST(HostUtilities, KillProcessEndsEveryMatchingProcessAndGivesUpOnNone) {
    testing::TempFolder folder;
    const std::string exe = folder / "BwVictim";
    ASSERT_TRUE(platform::CopyFile("/bin/sleep", exe));
    ASSERT_EQ(::chmod(exe.c_str(), 0755), 0);
    std::vector<pid_t> children;
    for (int i = 0; i < 2; ++i) {
        char arg0[] = "BwVictim";
        char arg1[] = "30";
        char* argv[] = {arg0, arg1, nullptr};
        pid_t child = 0;
        ASSERT_EQ(::posix_spawn(&child, exe.c_str(), nullptr, nullptr, argv, environ), 0);
        children.push_back(child);
    }
    int pid = 0;
    for (int i = 0; i < 100 && platform::FindProcesses("bwvictim").size() < 2; ++i) {
        platform::Sleep(10);
    }
    ASSERT_TRUE(FindProcess("BWVICTIM", pid));
    EXPECT_TRUE(pid == children[0] || pid == children[1]);

    // The children stay zombies until reaped, which the search must not count as running.
    KillProcess("BwVictim");
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFSIGNALED(status));
    }
    EXPECT_FALSE(FindProcess("BwVictim", pid));
    KillProcess("no-such-program-anywhere");
}

TEST(HostUtilities, EncodersExistForTheImageTypesTheLibraryWrites) {
    EXPECT_FALSE(GetEncoderClsid("image/jpeg").empty());
    EXPECT_EQ(GetEncoderClsid("image/x-unknown"), "");
}

}  // namespace
}  // namespace bw
