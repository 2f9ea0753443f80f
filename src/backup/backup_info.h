// CCreateInfoPlist: the "Info.plist" of a backup folder, built from the device's lockdown values,
// a few files read from the device and fixed texts. Its "Larkspur Version" key marks a backup as
// made by this library.
#pragma once

#include <string>
#include <vector>

#include "brackwater/backup.h"
#include "formats/plist_library.h"

namespace bw {

class CIPhone;

inline constexpr char kLarkspurVersionKey[] = "Larkspur Version";
inline constexpr char kLarkspurVersion[] = "1.0.0.0";
inline constexpr char kITunesVersion[] = "11.0.2";

// Device files larger than this are left out of the information file: the real ones are a few
// kilobytes, and the whole dictionary is built in memory.
inline constexpr uint64_t kMaxInfoDeviceFileBytes = 16u << 20;

class CCreateInfoPlist : public ::ICreateInfoPlist {
  public:
    // Reads the device's unique identifier now; a null device makes an object that writes
    // nothing.
    CCreateInfoPlist(CIPhone* device, std::string folder);
    ~CCreateInfoPlist() override = default;

    unsigned char WriteInfoPlist() override;

    // The dictionary WriteInfoPlist writes, in the order of its keys; kPlistNone without a
    // device.
    CDicValueObj BuildInfo();

    // The bundle identifiers the dictionary lists under "Installed Applications". A caller that
    // already holds the list sets it; otherwise the process-wide application list is used
    // (read from the device the first time).
    void SetInstalledApplications(std::vector<std::string> identifiers);

  private:
    std::vector<std::string> InstalledApplications();
    // The content of a device file when it exists, is not empty and can be read; else empty.
    std::string ReadDeviceFile(const std::string& devicePath);

    CIPhone* device_;
    std::string folder_;
    std::string uniqueIdentifier_;
    bool applicationsGiven_ = false;
    std::vector<std::string> applications_;
};

}  // namespace bw
