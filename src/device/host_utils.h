// Host utilities shared across the library: host files and folders, Apple's backup folders and
// backup tool, processes, identifiers, the two values the library keeps in a backup's Info.plist,
// and the date and time texts shown to people. None of them keeps state.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// Host files and folders.
bool HostFileExists(const std::string& path);
bool CopyHostFile(const std::string& source, const std::string& target);
int64_t HostFileSize(const std::string& path);
std::string FileNameOf(std::string_view path);
std::string DeviceFileNameOf(std::string_view devicePath);
bool IsFolderWritable(const std::string& folder);
// Appends every folder below `folder` to `folders` (each before the folders below it) and returns
// the total size of the files below it.
uint64_t ListFolderTree(const std::string& folder, std::vector<std::string>& folders);
void DeleteFolderTree(const std::string& folder);

// Temporary and backup folders. The temporary ones are below the user's own temporary folder,
// each level made with mode 0700 and used only when it is a real folder of this user that nobody
// else may enter; empty when that cannot be had. The backup ones are empty without a home.
std::string GetTempFolder(std::string_view subfolder);
std::string GetPhotoTempFolder(std::string_view subfolder);
std::string GetBackupRoot();
std::string EnsureBackupFolder(std::string_view name);
std::string GetBackupToolPath();

// Processes by executable name (letter case ignored).
bool FindProcess(std::string_view exeName, int& processId);
void KillProcess(std::string_view exeName);

// Identifiers.
std::string NewGuidText();
std::string FormatAsUuid(std::string_view hex);

// The library's values in a backup folder's "Info.plist".
std::string ReadBackupVersion(const std::string& backupFolder);
std::string ReadBackupDate(const std::string& backupFolder);

// Dates and times. A calendar time is a local broken-down time.
std::string FormatStamp(const std::tm& time);
std::string FormatDateTime(const std::tm& time);
std::string FormatDateTimeSlashed(const std::tm& time);
std::string FormatRelativeTime(const std::tm& time);

// A point in time split into fields, as the Windows system time record holds it.
struct SystemTime {
    uint16_t year = 1601, month = 1, dayOfWeek = 0, day = 1, hour = 0, minute = 0, second = 0,
             milliseconds = 0;
};
int64_t SecondsBetween(const SystemTime& later, const SystemTime& earlier);
int64_t SecondsSince1904(const SystemTime& time);

// The image encoder the image layer uses for a MIME type ("image/jpeg"), or empty when there is
// none.
std::string GetEncoderClsid(std::string_view mimeType);

}  // namespace bw
