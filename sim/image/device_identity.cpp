#include "device_identity.h"

#include <cctype>
#include <cstdio>

#include "seeded_random.h"

namespace bw::sim {
namespace {

// Phone numbers come from the ranges set aside for fiction where a country has one.
constexpr Region kRegions[] = {
    {"America/Los_Angeles", -28800, "en_US", "en", false, "310", "410", "8901410",
     "+1 (415) 555-01", 2},
    {"America/New_York", -18000, "en_US", "en", false, "310", "260", "8901260", "+1 (212) 555-01",
     2},
    {"Europe/London", 0, "en_GB", "en", true, "234", "15", "894415", "+44 7700 900", 3},
    {"Europe/Berlin", 3600, "de_DE", "de", true, "262", "01", "894901", "+49 30 23125", 3},
    {"Europe/Paris", 3600, "fr_FR", "fr", true, "208", "01", "893301", "+33 6 39 98 ", 4},
    {"Australia/Sydney", 36000, "en_AU", "en", false, "505", "01", "896101", "+61 491 570 ", 3},
};

// Owners' first names, some outside ASCII so that device names exercise the text conversions.
constexpr const char* kOwners[] = {
    "Anna", "Ben",   "Chloé", "David", "Emma",  "Felix", "Grace", "Hiro",
    "Ines", "Jonas", "Kofi",  "Léa",   "Mateo", "Nora",  "Priya", "Zoë",
};

// Apple's organisation identifiers for the first half of the network addresses.
constexpr const char* kAppleOuis[] = {"f0:d1:a9", "04:0c:ce", "a8:86:dd", "8c:2d:aa", "d8:bb:2c"};

// Factory codes of the serial number, and the half-year letters of the year each phone was made.
constexpr const char* kFactories[] = {"C39", "C8Q", "DNP", "F17", "F2L", "DQG"};
constexpr const char kSerialWeeks[] = "123456789CDFGHJKLMNPQRTVWXY";
constexpr const char kSerialUnits[] = "0123456789ABCDEFGHJKLMNPQRSTUVWXYZ";

std::string YearLetters(int major) {
    switch (major) {
        case 5:
            return "GH";  // 2011 and early 2012
        case 6:
            return "JK";
        default:
            return "LM";
    }
}

std::string MacAddress(const char* oui, int lastByteOffset, uint64_t lowBytes) {
    const uint64_t value = (lowBytes + static_cast<uint64_t>(lastByteOffset)) & 0xffffff;
    char text[32];
    std::snprintf(text, sizeof text, "%s:%02x:%02x:%02x", oui, static_cast<unsigned>(value >> 16),
                  static_cast<unsigned>((value >> 8) & 0xff), static_cast<unsigned>(value & 0xff));
    return text;
}

}  // namespace

char LuhnCheckDigit(const std::string& digits) {
    int sum = 0;
    bool twice = true;  // the digit left of the check digit is doubled
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        int value = *it - '0';
        if (twice) {
            value *= 2;
            if (value > 9) value -= 9;
        }
        sum += value;
        twice = !twice;
    }
    return static_cast<char>('0' + (10 - sum % 10) % 10);
}

DeviceIdentity MakeDeviceIdentity(const ImageOptions& options, const IosRelease& release) {
    SeededRandom random(options.seed, "identity");
    DeviceIdentity identity;
    identity.release = &release;
    identity.region = &random.Pick(kRegions);

    const std::string owner = random.Pick(kOwners);
    identity.deviceName = options.name.empty() ? owner + "'s iPhone" : options.name;

    identity.udid = random.LowerHex(40);
    if (!options.udid.empty()) {
        identity.udid = options.udid;
        for (char& c : identity.udid)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }

    const std::string years = YearLetters(release.major);
    identity.serialNumber = std::string(random.Pick(kFactories)) +
                            years[random.Below(years.size())] +
                            random.FromAlphabet(kSerialWeeks, 1) +
                            random.FromAlphabet(kSerialUnits, 3) + release.serialModel;

    // ECIDs of these phones use about 50 bits.
    identity.uniqueChipId =
        (uint64_t{1} << 40) + random.Below((uint64_t{1} << 51) - (uint64_t{1} << 40));

    const std::string imeiBody = release.imeiTypeCode + random.Digits(6);
    identity.imei = imeiBody + LuhnCheckDigit(imeiBody);

    const std::string iccidBody =
        identity.region->iccidIssuer +
        random.Digits(19 - std::string(identity.region->iccidIssuer).size());
    const std::string phone = identity.region->phonePrefix +
                              random.Digits(static_cast<size_t>(identity.region->phoneDigits));
    if (options.hasSim) {
        identity.iccid = iccidBody + LuhnCheckDigit(iccidBody);
        identity.phoneNumber = phone;
    }

    // The Bluetooth address follows the Wi-Fi address, as on the phones themselves.
    const char* oui = random.Pick(kAppleOuis);
    const uint64_t low = random.Below(0x1000000);
    identity.wifiAddress = MacAddress(oui, 0, low);
    identity.bluetoothAddress = MacAddress(oui, 1, low);

    identity.colorIndex = static_cast<int>(random.Below(3));
    identity.capacityIndex = static_cast<int>(random.Below(3));
    identity.nominalGigabytes = uint64_t{16} << identity.capacityIndex;
    identity.now = release.epoch + random.Between(0, 30 * 86400);
    return identity;
}

int64_t PathTime(const DeviceIdentity& identity, std::string_view devicePath) {
    constexpr int64_t kDay = 86400;
    const uint64_t spread = StableHash(devicePath, StableHash(identity.udid)) % (6 * kDay);
    return identity.now - kDay - static_cast<int64_t>(spread);
}

}  // namespace bw::sim
