#include "device/device_info.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>

#include "device/app_install_proxy.h"
#include "device/device_identifier.h"
#include "device/device_utilities.h"
#include "device/iphone_operation.h"
#include "device/runtime.h"
#include "device/runtime_values.h"
#include "device/sync_host.h"
#include "platform/process.h"
#include "platform/text.h"

namespace bw {
namespace {

// The process-wide media usage state. Only one load runs at a time (loadMutex); the message
// thread writes the categories before it sets `received`, and the loading thread reads them only
// after it has joined that thread.
struct MediaUsage {
    std::mutex loadMutex;
    std::vector<BwMediaCategory> categories;
    std::atomic<bool> received{false};
    std::atomic<bool> storageRefresh{false};
    std::atomic<CIPhone*> syncDevice{nullptr};
};

MediaUsage& Usage() {
    static MediaUsage* usage = new MediaUsage;
    return *usage;
}

constexpr const char* kVideoKinds[] = {"musicvideo", "tvepisode", "itunesuvideo", "movie"};

BwMediaCategory MakeCategory(std::string_view name, const CDicValueObj& figures) {
    BwMediaCategory category{};
    const std::u16string wide = Utf8ToWide(name);
    // Texts are cut to fit with their terminating zero.
    const size_t units = std::min(wide.size(), std::size(category.category) - 1);
    std::copy_n(wide.begin(), units, category.category);
    category.count = static_cast<int32_t>(
        static_cast<uint32_t>(figures.GetInteger("_Count").value_or(0) & 0xFFFFFFFF));
    category.physicalSize = figures.GetInteger("_PhysicalSize").value_or(0);
    return category;
}

bool SameCategory(const BwMediaCategory& category, std::string_view name) {
    const std::u16string wide = Utf8ToWide(name);
    size_t i = 0;
    for (; i < std::size(category.category) && category.category[i] != 0; ++i) {
        if (i >= wide.size()) return false;
        const auto lower = [](char16_t c) {
            return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
        };
        if (lower(category.category[i]) != lower(wide[i])) return false;
    }
    return i == wide.size();
}

// Adds to the category of that name, or appends it. Counts add in their low 32 bits and sizes in
// 64 bits, wrapping rather than overflowing on hostile figures.
void AddToCategory(std::vector<BwMediaCategory>& categories, std::string_view name,
                   const CDicValueObj& figures) {
    const BwMediaCategory added = MakeCategory(name, figures);
    for (BwMediaCategory& category : categories) {
        if (!SameCategory(category, name)) continue;
        category.count = static_cast<int32_t>(static_cast<uint32_t>(category.count) +
                                              static_cast<uint32_t>(added.count));
        category.physicalSize = static_cast<int64_t>(static_cast<uint64_t>(category.physicalSize) +
                                                     static_cast<uint64_t>(added.physicalSize));
        return;
    }
    categories.push_back(added);
}

bool MetricsHandler(const CDicValueObj& message) {
    MediaUsage& usage = Usage();
    if (CIPhone* device = usage.syncDevice.load()) EndSyncHost(*device);
    usage.storageRefresh.store(true);
    if (message.Dictionary() == nullptr) return true;
    usage.categories = MediaCategoriesFromMetrics(message);
    usage.received.store(true);
    return true;
}

// Decimal text of a value read as a number. Phones answer some of these keys ("BatteryIsCharging",
// "SupportsWifiSyncing") as booleans, which count as 1 and 0 so that a charging phone reads "1".
std::string NumberText(rt::AMDeviceRef device, std::string_view domain, std::string_view key) {
    const CFOwned<rt::CFTypeRef> value = CopyDeviceValue(device, domain, key);
    const std::string text = DeviceValueText(value.get());
    if (text == "true") return "1";
    const bool number = !text.empty() && text.find_first_not_of("-0123456789") == std::string::npos;
    return number ? text : "0";
}

// Unsigned decimal text as the device writes it: digits only, and a value that fits in 64 bits.
std::optional<uint64_t> ParseUnsignedDecimal(std::string_view text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::string ToUtf8(const BwChar* text) {
    if (text == nullptr) return {};
    return WideToUtf8(std::u16string_view(text));
}

}  // namespace

std::vector<BwMediaCategory> MediaCategoriesFromMetrics(const CDicValueObj& message) {
    std::vector<BwMediaCategory> categories;
    const CDicValueObj* params = message.Find("Params");
    if (params == nullptr || params->Dictionary() == nullptr) return categories;
    const auto section = [&](std::string_view key) -> const CDicValueObj* {
        const CDicValueObj* value = params->Find(key);
        return value != nullptr && value->Dictionary() != nullptr ? value : nullptr;
    };
    if (const CDicValueObj* media = section("Media")) {
        for (const auto& [kind, figures] : *media->Dictionary()) {
            if (figures.Dictionary() == nullptr) continue;
            const std::string lower = AsciiLower(kind);
            const bool video = std::find(std::begin(kVideoKinds), std::end(kVideoKinds), lower) !=
                               std::end(kVideoKinds);
            AddToCategory(categories, video ? "video" : "audio", figures);
        }
    }
    if (const CDicValueObj* photo = section("Photo"))
        categories.push_back(MakeCategory("photo", *photo));
    if (const CDicValueObj* apps = section("Application")) {
        categories.push_back(MakeCategory("application", *apps));
    }
    if (const CDicValueObj* book = section("Book"))
        categories.push_back(MakeCategory("book", *book));
    if (const CDicValueObj* ringtone = section("Ringtone")) {
        AddToCategory(categories, "audio", *ringtone);
    }
    if (const CDicValueObj* memo = section("VoiceMemo")) AddToCategory(categories, "audio", *memo);
    if (const CDicValueObj* user = section("UserData")) {
        categories.push_back(MakeCategory("userdata", *user));
    }
    return categories;
}

void SetMediaUsageTimeLimit(std::chrono::milliseconds limit) {
    SetSyncHostTimeLimit(limit);
}

std::optional<std::string> CIPhone::CachedValue(std::string_view key) {
    std::lock_guard<std::recursive_mutex> lock(operationMutex_);
    const auto found = valueCache.find(std::string(key));
    if (found == valueCache.end()) return std::nullopt;
    return found->second;
}

void CIPhone::ReadDeviceInformation() {
    DeviceOperation operation(*this);
    if (!operation || !BeginShortQuery()) return;
    const CFString identifier(Runtime().AMDeviceCopyDeviceIdentifier(device));
    // The identifier names backup folders: a changed one is taken only in a shape real devices
    // have.
    if (std::string fresh = CFStringToWString(identifier.get()); IsDeviceIdentifier(fresh)) {
        udid = std::move(fresh);
    }
    firmwareVersion = CopyDeviceString(device, "FirmwareVersion");
    platform::Sleep(10);
    productVersion = CopyDeviceString(device, "ProductVersion");
    platform::Sleep(10);
    serialNumber = CopyDeviceString(device, "SerialNumber");
    platform::Sleep(10);
    // Asking for this value makes the device bring its usage figures up to date.
    CopyDeviceDomainString(device, "com.apple.disk_usage", "CalculateDiskUsage");

    struct NumberKey {
        const char* stored;
        const char* domain;
        const char* key;
    };
    static constexpr NumberKey kNumbers[] = {
        {"BarreyCharging", "com.apple.mobile.battery", "BatteryIsCharging"},
        {"CurrentCapacity", "com.apple.mobile.battery", "BatteryCurrentCapacity"},
        {"TotalDataAvailable", "com.apple.disk_usage", "TotalDataAvailable"},
        {"TotalDataCapacity", "com.apple.disk_usage", "TotalDataCapacity"},
        {"TotalDiskCapacity", "com.apple.disk_usage", "TotalDiskCapacity"},
        {"TotalSystemAvailable", "com.apple.disk_usage", "TotalSystemAvailable"},
        {"TotalSystemCapacity", "com.apple.disk_usage", "TotalSystemCapacity"},
        {"MobileApplicationUsage", "com.apple.disk_usage", "MobileApplicationUsage"},
        {"UniqueChipID", "", "UniqueChipID"},
    };
    for (const NumberKey& entry : kNumbers) {
        valueCache[entry.stored] = NumberText(device, entry.domain, entry.key);
    }
    for (const char* key :
         {"DeviceName", "DeviceColor", "DeviceClass", "PhoneNumber", "ProductType",
          "ProductVersion", "SerialNumber", "TimeZone", "UniqueDeviceID"}) {
        valueCache[key] = CopyDeviceString(device, key);
    }
    valueCache["TimeZoneOffsetFromUTC"] = NumberText(device, "", "TimeZoneOffsetFromUTC");
    valueCache["SupportsWifiSyncing"] =
        NumberText(device, "com.apple.mobile.wireless_lockdown", "SupportsWifiSyncing");
    valueCache["SupportsAirTraffic"] =
        NumberText(device, "com.apple.mobile.iTunes", "SupportsAirTraffic");
    EndShortQuery();
}

bool CIPhone::ReadDiskInfo(DiskInfo& disk) {
    bool read = false;
    {
        DeviceOperation operation(*this);
        rt::AFCKeyValueRef values = nullptr;
        if (operation && afcConnection != nullptr &&
            Runtime().AFCDeviceInfoOpen(afcConnection, &values) == 0) {
            std::map<std::string, std::string> pairs;
            ReadAfcKeyValues(values, pairs);
            if (Runtime().AFCKeyValueClose != nullptr && values != nullptr) {
                Runtime().AFCKeyValueClose(values);
            }
            const auto number = [&](const char* key, uint64_t& field) {
                const auto found = pairs.find(key);
                if (found == pairs.end()) return;
                if (const std::optional<uint64_t> value = ParseUnsignedDecimal(found->second)) {
                    field = *value;
                }
            };
            if (const auto model = pairs.find("Model"); model != pairs.end()) {
                disk.model = model->second;
            }
            number("FSFreeBytes", disk.freeBytes);
            number("FSTotalBytes", disk.totalBytes);
            number("FSBlockSize", disk.blockSize);
            read = true;
        }
    }
    ReadDeviceInformation();
    return read;
}

CDeviceInfo::CDeviceInfo(CIPhone* device) : phone(device) {
    if (phone == nullptr) return;
    DiskInfo disk;
    phone->ReadDiskInfo(disk);
}

void CDeviceInfo::GetDeviceValue(const BwChar* key, BwChar* buffer) {
    if (phone == nullptr || key == nullptr || buffer == nullptr) return;
    const std::optional<std::string> value = phone->CachedValue(ToUtf8(key));
    if (!value) return;
    const std::u16string wide = Utf8ToWide(*value);
    std::copy(wide.begin(), wide.end(), buffer);
    buffer[wide.size()] = 0;
}

unsigned char CDeviceInfo::SetDeviceName(const BwChar* name) {
    if (phone == nullptr || name == nullptr) return 0;
    return phone->SetDeviceValue("DeviceName", ToUtf8(name)) ? 1 : 0;
}

void CDeviceInfo::RefreshStorage() {
    if (phone == nullptr || !Usage().storageRefresh.load()) return;
    DiskInfo disk;
    phone->ReadDiskInfo(disk);
}

int32_t CDeviceInfo::LoadMediaUsage() {
    if (phone == nullptr) return 0;
    MediaUsage& usage = Usage();
    std::lock_guard<std::mutex> lock(usage.loadMutex);
    JoinSyncHostThread();
    usage.received.store(false);
    usage.categories.clear();
    usage.syncDevice.store(phone);
    if (phone->StartSyncHost(MetricsHandler)) {
        usage.storageRefresh.store(false);
        // The message thread ends when the figures arrived or its time limit passed; either way
        // nothing of the load is left running once it has been joined.
        JoinSyncHostThread();
    }
    usage.syncDevice.store(nullptr);
    if (!usage.received.load()) usage.categories.clear();
    return static_cast<int32_t>(usage.categories.size());
}

void CDeviceInfo::GetMediaCategory(BwMediaCategory* category, int32_t index) {
    if (category == nullptr) return;
    *category = BwMediaCategory{};
    if (phone == nullptr) return;
    MediaUsage& usage = Usage();
    std::lock_guard<std::mutex> lock(usage.loadMutex);
    if (index < 0 || static_cast<size_t>(index) >= usage.categories.size()) return;
    *category = usage.categories[static_cast<size_t>(index)];
}

int32_t CDeviceInfo::LoadApplications() {
    if (phone == nullptr) return 0;
    applications.clear();
    for (InstalledApplication& app : ListInstalledApplications(*phone)) {
        applications.push_back(std::make_unique<CAppInfoModel>(
            std::move(app.iconData), std::move(app.name), std::move(app.bundleIdentifier)));
    }
    return static_cast<int32_t>(applications.size());
}

::IAppInfo* CDeviceInfo::GetApplication(int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= applications.size()) return nullptr;
    return applications[static_cast<size_t>(index)].get();
}

unsigned char CDeviceInfo::TakeScreenshot(BwByteBuffer** screenshot) {
    if (phone == nullptr || screenshot == nullptr) return 0;
    std::string image;
    if (!phone->TakeScreenshot(image)) return 0;
    // No buffer for an empty picture: the host tells "no picture" by the null pointer.
    if (!image.empty()) {
        auto* buffer = new BwByteBuffer{new unsigned char[image.size()], image.size()};
        std::memcpy(buffer->bytes, image.data(), image.size());
        *screenshot = buffer;
    }
    return 1;
}

void CDeviceInfo::FreeScreenshot(BwByteBuffer** screenshot) {
    if (screenshot == nullptr || *screenshot == nullptr) return;
    delete[](*screenshot)->bytes;
    delete *screenshot;
    *screenshot = nullptr;
}

}  // namespace bw
