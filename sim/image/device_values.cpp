#include "device_values.h"

#include <cstdio>
#include <string>

#include "seeded_random.h"

namespace bw::sim {
namespace {

// Values the library reads as numbers are plist integers even where a phone answers with a
// boolean ("BatteryIsCharging", "SupportsWifiSyncing", "IsAssociated", ...): the library takes
// them with CFNumberGetValue, which yields nothing for a boolean. Flags it never reads stay
// booleans, as the phone gives them.

struct DiskFigures {
    uint64_t total = 0;
    uint64_t system = 0;
    uint64_t systemAvailable = 0;
    uint64_t data = 0;
    uint64_t dataAvailable = 0;
    uint64_t dataReserved = 0;
    uint64_t applications = 0;
    uint64_t photos = 0;
    uint64_t camera = 0;
    uint64_t webAppCache = 0;
};

constexpr uint64_t kBlockSize = 4096;

uint64_t WholeBlocks(uint64_t bytes) {
    return bytes / kBlockSize * kBlockSize;
}

uint64_t Percent(SeededRandom& random, uint64_t bytes, int low, int high) {
    return WholeBlocks(bytes / 100 * static_cast<uint64_t>(random.Between(low, high)));
}

DiskFigures MakeDiskFigures(const ImageOptions& options, const DeviceIdentity& identity) {
    SeededRandom random(options.seed, "disk");
    DiskFigures disk;
    // A "16 GB" phone formats to a little under 16 * 10^9 bytes.
    disk.total = WholeBlocks(identity.nominalGigabytes * 992'000'000);
    switch (identity.release->major) {
        case 5:
            disk.system = 1'291'845'632;
            break;
        case 6:
            disk.system = 1'610'612'736;
            break;
        default:
            disk.system = 1'879'048'192;
            break;
    }
    disk.systemAvailable = Percent(random, disk.system, 8, 20);
    disk.data = disk.total - disk.system;
    disk.dataAvailable = Percent(random, disk.data, 15, 65);
    disk.dataReserved = 200 * 1'048'576;
    const uint64_t used = disk.data - disk.dataAvailable;
    disk.applications = Percent(random, used, 25, 45);
    disk.photos = Percent(random, used, 5, 20);
    disk.camera = Percent(random, disk.photos, 40, 90);
    disk.webAppCache = WholeBlocks(static_cast<uint64_t>(random.Between(1, 40)) * 1'048'576);
    return disk;
}

DictBuilder BatteryDomain(const ImageOptions& options) {
    SeededRandom random(options.seed, "battery");
    const auto capacity = static_cast<uint64_t>(random.Between(20, 100));
    // Only a cable charges: a phone seen over Wi-Fi is taken to be off its charger.
    const bool connected = options.interfaceType == "USB";
    const bool charging = connected && capacity < 100;
    return std::move(DictBuilder()
                         .Integer("BatteryCurrentCapacity", capacity)
                         .Integer("BatteryIsCharging", charging ? 1 : 0)
                         .Flag("ExternalChargeCapable", connected)
                         .Flag("ExternalConnected", connected)
                         .Flag("FullyCharged", connected && capacity == 100)
                         .Flag("GasGaugeCapability", true)
                         .Flag("HasBattery", true));
}

DictBuilder DiskUsageDomain(const DiskFigures& disk) {
    const uint64_t amountAvailable =
        disk.dataAvailable > disk.dataReserved ? disk.dataAvailable - disk.dataReserved : 0;
    return std::move(DictBuilder()
                         .Integer("AmountCameraAvailable", amountAvailable)
                         .Integer("AmountCameraUsageChanged", 0)
                         .Integer("AmountDataAvailable", amountAvailable)
                         .Integer("AmountDataReserved", disk.dataReserved)
                         // The phone answers this request key with a fixed word.
                         .Text("CalculateDiskUsage", "OkilyDokily")
                         .Integer("CameraUsage", disk.camera)
                         .Integer("MobileApplicationUsage", disk.applications)
                         .Integer("PhotoUsage", disk.photos)
                         .Integer("TotalDataAvailable", disk.dataAvailable)
                         .Integer("TotalDataCapacity", disk.data)
                         .Integer("TotalDiskCapacity", disk.total)
                         .Integer("TotalSystemAvailable", disk.systemAvailable)
                         .Integer("TotalSystemCapacity", disk.system)
                         .Integer("WebAppCacheUsage", disk.webAppCache));
}

DictBuilder BackupDomain(const ImageOptions& options) {
    DictBuilder domain;
    domain.Flag("CloudBackupEnabled", false);
    // Absent unless the user chose encrypted backups, as on a phone that was never set to it.
    if (options.backupEncrypted) domain.Integer("WillEncrypt", 1);
    return domain;
}

DictBuilder ITunesDomain(const DeviceIdentity& identity) {
    const IosRelease& release = *identity.release;
    return std::move(DictBuilder()
                         .Integer("DBVersion", static_cast<uint64_t>(release.itunesDbVersion))
                         .Text("FairPlayGUID", identity.udid)
                         .Integer("FamilyID", identity.uniqueChipId % 1'000'000'000)
                         .Integer("GeniusConfigMaxVersion", 20)
                         .Integer("GeniusConfigMinVersion", 1)
                         .Integer("GeniusMetadataMaxVersion", 1)
                         .Integer("GeniusMetadataMinVersion", 1)
                         .Integer("GeniusSimilaritiesMaxVersion", 1)
                         .Integer("GeniusSimilaritiesMinVersion", 1)
                         .Text("MinITunesVersion", release.minITunesVersion)
                         .Text("MinMacOSVersion", release.minMacOSVersion)
                         .Flag("PhotoVideosSupported", true)
                         .Flag("PodcastsSupported", true)
                         .Flag("RentalsSupported", true)
                         .Integer("ScreenHeight", static_cast<uint64_t>(release.screenHeight))
                         .Integer("ScreenScaleFactor", 2)
                         .Integer("ScreenWidth", static_cast<uint64_t>(release.screenWidth))
                         .Flag("SupportsAntiPhishing", true)
                         .Flag("SupportsApplicationInstall", true)
                         .Flag("SupportsConfigurationBlobs", true)
                         .Flag("SupportsDownloadedPodcasts", true)
                         .Flag("SupportsGenius", true)
                         .Flag("SupportsGeniusMixes", true)
                         .Flag("SupportsProvisioningProfiles", true)
                         .Texts("SyncDataClasses",
                                {"Contacts", "Calendars", "Bookmarks", "Mail Accounts", "Notes"})
                         .Flag("VoiceMemosSupported", true)
                         .Flag("iTunesStoreCapable", true));
}

// The Bonjour name of Wi-Fi sync: the Wi-Fi address, "@" and the link-local IPv6 address made
// from it (EUI-64: the universal/local bit flipped, ff:fe in the middle).
std::string BonjourServiceName(const std::string& wifiAddress) {
    unsigned b[6] = {};
    std::sscanf(wifiAddress.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]);
    char text[128];
    std::snprintf(text, sizeof text, "%s@fe80::%x:%xff:fe%02x:%x._apple-mobdev2._tcp.local.",
                  wifiAddress.c_str(), ((b[0] ^ 0x02) << 8) | b[1], b[2], b[3], (b[4] << 8) | b[5]);
    return text;
}

DictBuilder WirelessLockdownDomain(const ImageOptions& options, const DeviceIdentity& identity) {
    return std::move(DictBuilder()
                         .Text("BonjourFullServiceName", BonjourServiceName(identity.wifiAddress))
                         .Flag("EnableWifiConnections", options.interfaceType == "Network")
                         .Flag("SupportsWifi", true)
                         .Integer("SupportsWifiSyncing", 1));
}

DictBuilder InternationalDomain(const DeviceIdentity& identity) {
    return std::move(DictBuilder()
                         .Text("Keyboard", identity.region->locale)
                         .Text("Language", identity.region->language)
                         .Text("Locale", identity.region->locale));
}

DictBuilder SimulatorSwitches(const ImageOptions& options, const DiskFigures& disk) {
    return std::move(DictBuilder()
                         .Text(switches::kInterfaceType, options.interfaceType)
                         .Flag(switches::kPaired, options.paired)
                         .Flag(switches::kRefusesPairing, options.refusesPairing)
                         .Flag(switches::kHasAfc2, options.hasAfc2)
                         .Flag(switches::kPasscodeLocked, options.passcodeLocked)
                         // The media area lives on the data partition.
                         .Integer(switches::kFsTotalBytes, disk.data)
                         .Integer(switches::kFsFreeBytes, disk.dataAvailable)
                         .Text(kBuilderKey, BuilderVersion()));
}

void DefaultDomain(DictBuilder& values, const ImageOptions& options,
                   const DeviceIdentity& identity) {
    const IosRelease& release = *identity.release;
    const Region& region = *identity.region;
    const DeviceColor& color = release.colors[identity.colorIndex];
    values.Text("ActivationState", "Activated")
        .Flag("ActivationStateAcknowledged", true)
        .Text("BasebandStatus", "BBInfoAvailable")
        .Text("BasebandVersion", release.baseband)
        .Text("BluetoothAddress", identity.bluetoothAddress)
        .Integer("BoardId", static_cast<uint64_t>(release.boardId))
        .Text("BuildVersion", release.build)
        .Text("CPUArchitecture", release.cpu)
        .Integer("ChipID", static_cast<uint64_t>(release.chipId))
        .Text("DeviceClass", "iPhone")
        .Text("DeviceColor", color.device)
        .Text("DeviceEnclosureColor", color.enclosure)
        .Text("DeviceName", identity.deviceName)
        .Text("FirmwareVersion", release.iboot)
        .Text("HardwareModel", release.hardwareModel)
        .Text("HardwarePlatform", release.platform)
        .Flag("HostAttached", options.interfaceType == "USB");
    if (options.hasSim) values.Text("IntegratedCircuitCardIdentity", identity.iccid);
    values.Text("InternationalMobileEquipmentIdentity", identity.imei);
    if (options.hasSim) {
        values.Text("MobileSubscriberCountryCode", region.countryCode)
            .Text("MobileSubscriberNetworkCode", region.networkCode);
    }
    values.Text("ModelNumber", release.modelNumbers[identity.capacityIndex])
        .Flag("PasswordProtected", options.passcodeLocked);
    if (options.hasSim) values.Text("PhoneNumber", identity.phoneNumber);
    values.Text("ProductName", "iPhone OS")
        .Text("ProductType", release.productType)
        .Text("ProductVersion", release.version)
        .Flag("ProductionSOC", true)
        .Text("ProtocolVersion", "2")
        .Text("RegionInfo", "LL/A")
        .Text("SIMStatus",
              options.hasSim ? "kCTSIMSupportSIMStatusReady" : "kCTSIMSupportSIMStatusNotInserted")
        .Text("SerialNumber", identity.serialNumber)
        .Integers("SupportedDeviceFamilies", {1})
        .Flag("TelephonyCapability", true)
        .Text("TimeZone", region.timeZone)
        // A real, as the phone sends it; the library's number read truncates it.
        .Real("TimeZoneOffsetFromUTC", static_cast<double>(region.offsetFromUtc))
        .Flag("TrustedHostAttached", options.paired)
        .Integer("UniqueChipID", identity.uniqueChipId)
        .Text("UniqueDeviceID", identity.udid)
        .Flag("Uses24HourClock", region.uses24HourClock)
        .Text("WiFiAddress", identity.wifiAddress);
}

}  // namespace

PlistTree MakeDeviceValues(const ImageOptions& options, const DeviceIdentity& identity) {
    const DiskFigures disk = MakeDiskFigures(options, identity);
    DictBuilder values;
    DefaultDomain(values, options, identity);
    values.Dict("com.apple.disk_usage", DiskUsageDomain(disk))
        .Dict("com.apple.fmip",
              std::move(DictBuilder().Integer("IsAssociated", options.findMyPhone)))
        .Dict("com.apple.iTunes", ITunesDomain(identity))
        .Dict("com.apple.international", InternationalDomain(identity))
        .Dict("com.apple.mobile.backup", BackupDomain(options))
        .Dict("com.apple.mobile.battery", BatteryDomain(options))
        .Dict("com.apple.mobile.iTunes", std::move(DictBuilder().Integer("SupportsAirTraffic", 1)))
        .Dict("com.apple.mobile.wireless_lockdown", WirelessLockdownDomain(options, identity))
        .Dict(kSimulatorKey, SimulatorSwitches(options, disk));
    return values.Take();
}

}  // namespace bw::sim
