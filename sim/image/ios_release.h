// What differs between the iOS versions an image can be made for: the device that typically ran
// each one and the values that device reports.
#pragma once

#include <cstdint>
#include <string_view>

namespace bw::sim {

struct DeviceColor {
    const char* device;     // "DeviceColor"
    const char* enclosure;  // "DeviceEnclosureColor"
};

struct IosRelease {
    const char* version;  // "ProductVersion"
    int major;
    const char* build;            // "BuildVersion"
    const char* productType;      // "ProductType"
    const char* marketingName;    // for EXIF "Model" of the photos
    const char* hardwareModel;    // "HardwareModel"
    const char* platform;         // "HardwarePlatform"
    const char* cpu;              // "CPUArchitecture"
    int64_t chipId;               // "ChipID"
    int64_t boardId;              // "BoardId"
    const char* iboot;            // "FirmwareVersion"
    const char* baseband;         // "BasebandVersion"
    const char* imeiTypeCode;     // first eight IMEI digits
    const char* serialModel;      // last four characters of "SerialNumber"
    const char* modelNumbers[3];  // "ModelNumber", one per capacity
    DeviceColor colors[3];
    int screenWidth;
    int screenHeight;
    const char* minITunesVersion;
    const char* minMacOSVersion;
    int64_t itunesDbVersion;
    // Images of this version are dated in the weeks after this time (Unix seconds): a little
    // after the release, so that every date the device shows is plausible for it.
    int64_t epoch;
};

// The release for a version text, or null for a version we do not make images of.
const IosRelease* FindIosRelease(std::string_view version);

// All of them, oldest first.
const IosRelease* IosReleasesBegin();
const IosRelease* IosReleasesEnd();

}  // namespace bw::sim
