// The backup information file. The keys follow the order in which the device's own backup service
// writes them, so that a diff against a tool-written Info.plist stays readable.
#include "backup/backup_info.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <utility>

#include "device/app_install_proxy.h"
#include "device/host_utils.h"
#include "device/iphone.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace bw {
namespace {

// Seconds from 1970-01-01 to 2001-01-01, where property-list dates count from.
constexpr int64_t kReferenceDateUnixSeconds = 978307200;

constexpr const char* kBooksFiles[][2] = {
    {"iBooks Data", "/Books/iBooksData.plist"},
    {"iBooks Data 2", "/Books/iBooksData2.plist"},
    {"iBooks Data 3", "/Books/iBooksData3.plist"},
};

constexpr const char* kITunesFiles[] = {
    "IC-Info.sidv",      "PhotosFolderAlbums", "PhotosFolderName",
    "PhotosFolderPrefs", "iTunesPrefs",        "iTunesPrefs.plist",
};

std::string Uppercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// A value the device reports as empty counts as not reported.
void SetIfReported(CDicValueObj& info, const char* key, const std::string& value) {
    if (!value.empty()) info.Set(key, CDicValueObj::MakeString(value));
}

}  // namespace

CCreateInfoPlist::CCreateInfoPlist(CIPhone* device, std::string folder)
    : device_(device), folder_(std::move(folder)) {
    if (device_ != nullptr) uniqueIdentifier_ = device_->ReadDeviceValueText("", "UniqueDeviceID");
}

void CCreateInfoPlist::SetInstalledApplications(std::vector<std::string> identifiers) {
    applications_ = std::move(identifiers);
    applicationsGiven_ = true;
}

std::vector<std::string> CCreateInfoPlist::InstalledApplications() {
    if (applicationsGiven_) return applications_;
    std::vector<std::string> identifiers;
    for (InstalledApplication& application : ListInstalledApplications(*device_)) {
        identifiers.push_back(std::move(application.bundleIdentifier));
    }
    return identifiers;
}

std::string CCreateInfoPlist::ReadDeviceFile(const std::string& devicePath) {
    DeviceFileInfo info;
    const size_t slash = devicePath.rfind('/');
    if (!device_->GetPathInfo(devicePath.substr(0, slash), devicePath.substr(slash + 1), info) ||
        info.fileType != kDeviceFileRegular || info.size == 0 ||
        info.size > kMaxInfoDeviceFileBytes) {
        return {};
    }
    // The file service copies whole files to the host; a temporary copy keeps the device layer
    // the only code that talks to the device.
    const std::string folder = GetTempFolder("Brackwater");
    if (folder.empty()) return {};
    const std::string temp = platform::JoinPath(folder, "info-" + NewGuidText() + ".tmp");
    std::string bytes;
    if (device_->CopyFileFromDevice(devicePath, temp)) {
        platform::ReadWholeFile(temp, bytes, kMaxInfoDeviceFileBytes);
    }
    platform::RemoveFile(temp);
    return bytes;
}

CDicValueObj CCreateInfoPlist::BuildInfo() {
    if (device_ == nullptr) return {};
    CIPhone& phone = *device_;
    std::map<std::string, std::string> identity;
    phone.ReadBackupIdentity(identity);
    const std::string deviceName = phone.ReadDeviceValueText("", "DeviceName");

    CDicValueObj info = CDicValueObj::MakeDictionary();
    SetIfReported(info, "Build Version", identity["BuildVersion"]);
    info.Set("Device Name", CDicValueObj::MakeString(deviceName));
    info.Set("Display Name", CDicValueObj::MakeString(deviceName));
    info.Set("GUID", CDicValueObj::MakeString(NewGuidText()));
    SetIfReported(info, "ICCID", identity["ICCID"]);
    SetIfReported(info, "IMEI", identity["IMEI"]);

    CDicValueObj applications = CDicValueObj::MakeArray();
    for (std::string& identifier : InstalledApplications()) {
        applications.Array()->push_back(CDicValueObj::MakeString(std::move(identifier)));
    }
    info.Set("Installed Applications", std::move(applications));

    const int64_t now = platform::NowUnixSeconds();
    info.Set(
        "Last Backup Date",
        CDicValueObj::MakeDate(PlistCalendarFromReferenceSeconds(now - kReferenceDateUnixSeconds)));
    info.Set("Phone Number",
             CDicValueObj::MakeString(phone.ReadDeviceValueText("", "PhoneNumber")));
    info.Set("Product Type",
             CDicValueObj::MakeString(phone.ReadDeviceValueText("", "ProductType")));
    info.Set("Product Version",
             CDicValueObj::MakeString(phone.ReadDeviceValueText("", "ProductVersion")));
    info.Set("Serial Number",
             CDicValueObj::MakeString(phone.ReadDeviceValueText("", "SerialNumber")));
    SetIfReported(info, "Target Identifier", identity["TargetIdentifier"]);
    info.Set("Unique Identifier", CDicValueObj::MakeString(Uppercase(uniqueIdentifier_)));
    info.Set("Target Type", CDicValueObj::MakeString("Device"));

    for (const auto& [key, path] : kBooksFiles) {
        std::string bytes = ReadDeviceFile(path);
        if (!bytes.empty()) info.Set(key, CDicValueObj::MakeData(std::move(bytes)));
    }
    CDicValueObj itunesFiles = CDicValueObj::MakeDictionary();
    for (const char* name : kITunesFiles) {
        std::string bytes = ReadDeviceFile(std::string("/iTunes_Control/iTunes/") + name);
        if (!bytes.empty()) itunesFiles.Set(name, CDicValueObj::MakeData(std::move(bytes)));
    }
    info.Set("iTunes Files", std::move(itunesFiles));

    // A domain that cannot be read is left out rather than written as an empty dictionary, which
    // would claim the device has no settings.
    CDicValueObj settings;
    if (phone.ReadITunesDomain(settings) && settings.type == kPlistDictionary) {
        info.Set("iTunes Settings", std::move(settings));
    }
    info.Set("iTunes Version", CDicValueObj::MakeString(kITunesVersion));
    info.Set(kLarkspurVersionKey, CDicValueObj::MakeString(kLarkspurVersion));
    return info;
}

unsigned char CCreateInfoPlist::WriteInfoPlist() {
    if (device_ == nullptr || folder_.empty()) return 0;
    CDicValueObj info = BuildInfo();
    std::string xml;
    writeXmlutf8(info, xml);
    FreePListDictionary(info);
    // Replaced atomically instead of deleted first: a failed write keeps the file that was
    // there (usually the backup tool's own) rather than leaving the folder without one.
    return !xml.empty() && platform::WriteFileAtomic(platform::JoinPath(folder_, "Info.plist"), xml)
               ? 1
               : 0;
}

}  // namespace bw
