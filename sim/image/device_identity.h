// The values that make one simulated device itself: names, serials, identifiers, region,
// capacity and the time the image is set at. Everything that goes into an image and depends on
// the seed is derived once here, so every file of the image agrees with device.plist.
#pragma once

#include <cstdint>
#include <string>

#include "image/image_builder.h"
#include "ios_release.h"

namespace bw::sim {

// A region: time zone, locale and the carrier of the SIM card.
struct Region {
    const char* timeZone;
    int64_t offsetFromUtc;  // seconds, standard time
    const char* locale;
    const char* language;
    bool uses24HourClock;
    const char* countryCode;  // "MobileSubscriberCountryCode"
    const char* networkCode;  // "MobileSubscriberNetworkCode"
    const char* iccidIssuer;  // "89", country calling code, issuer
    const char* phonePrefix;  // the number without its last digits
    int phoneDigits;          // how many random digits follow
};

struct DeviceIdentity {
    const IosRelease* release = nullptr;
    const Region* region = nullptr;
    std::string deviceName;
    std::string udid;
    std::string serialNumber;
    uint64_t uniqueChipId = 0;
    std::string imei;
    std::string iccid;        // empty without a SIM card
    std::string phoneNumber;  // empty without a SIM card
    std::string wifiAddress;
    std::string bluetoothAddress;
    int colorIndex = 0;
    int capacityIndex = 0;  // into the release's model numbers: 16, 32 or 64 GB
    uint64_t nominalGigabytes = 0;
    // The image's "now" (Unix seconds): files are dated before it.
    int64_t now = 0;
};

// The identity for valid options (ValidateOptions accepted them).
DeviceIdentity MakeDeviceIdentity(const ImageOptions& options, const IosRelease& release);

// The Luhn check digit that completes `digits` (IMEI and ICCID carry one).
char LuhnCheckDigit(const std::string& digits);

// A fixed time of a path of the image, between a week and a day before `now`: files keep
// the same date from build to build, and different files differ.
int64_t PathTime(const DeviceIdentity& identity, std::string_view devicePath);

}  // namespace bw::sim
