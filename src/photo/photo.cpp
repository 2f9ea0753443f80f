#include "photo/photo.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

#include "device/iphone.h"
#include "device/iphone_file.h"
#include "device/iphone_operation.h"
#include "photo/photo_thumbnail.h"
#include "platform/files.h"

namespace bw {

namespace {

// Seconds from 1970 to 2001, the library's own epoch.
constexpr int64_t kLibraryEpochOffset = 978307200;
// Dates beyond this many seconds are nonsense from a hostile database; they count as 0 in names.
constexpr double kLargestNamedTime = 1e15;

// One plain file name: the database could otherwise name a file of another folder.
bool IsPlainName(std::string_view name) {
    return !name.empty() && name.find_first_of(std::string_view("/\\\0", 3)) == name.npos &&
           name.find("..") == name.npos;
}

// A directory whose parts never climb; a leading "/" is allowed, as the device path rule has it.
bool IsSafeDirectory(std::string_view directory) {
    if (directory.find('\0') != directory.npos) return false;
    size_t start = 0;
    while (start <= directory.size()) {
        size_t end = directory.find_first_of("/\\", start);
        if (end == directory.npos) end = directory.size();
        if (directory.substr(start, end - start) == "..") return false;
        start = end + 1;
    }
    return true;
}

int64_t WholeSeconds(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > kLargestNamedTime) return 0;
    return static_cast<int64_t>(seconds);
}

int64_t RoundedSeconds(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > kLargestNamedTime) return 0;
    return std::llround(seconds);
}

std::string ParentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == path.npos ? std::string() : path.substr(0, slash);
}

}  // namespace

CPhoto::CPhoto(int32_t key, PhotoContext context) : assetKey(key), context_(std::move(context)) {}

std::string CPhoto::DevicePath() const {
    if (!IsPlainName(fileName) || !IsSafeDirectory(directory)) return {};
    std::string path = directory.starts_with('/') ? std::string() : std::string("/");
    path += directory;
    if (!path.ends_with('/')) path += '/';
    return path + fileName;
}

bool CPhoto::UsesThumbnailCache() const {
    return context_.productVersion.starts_with('5') || context_.productVersion.starts_with('6');
}

std::string CPhoto::CacheDirectoryName(const std::string& directory) {
    for (const char* folder : {"100APPLE", "101APPLE", "100SYNCD", "100CLOUD"}) {
        const size_t at = directory.find(folder);
        if (at != directory.npos) return directory.substr(at);
    }
    return directory;
}

std::string CPhoto::ThumbnailPath(bool sized) const {
    if (!IsSafeDirectory(directory)) return {};
    if (!UsesThumbnailCache()) {
        // The phone's own thumbnail store keeps one folder per photo.
        if (directory.empty() || !IsPlainName(fileName)) return {};
        std::string folder = std::string("/PhotoData/Thumbnails/V2/") + directory;
        if (!folder.ends_with('/')) folder += '/';
        return folder + fileName;
    }
    if (videoFlag == 1) {
        if (!IsPlainName(title + ".THM")) return {};
        std::string folder = directory;
        const size_t dcim = folder.find("DCIM/");
        if (dcim != folder.npos) folder.erase(dcim, 5);
        std::string path = std::string("PhotoData/") + folder + "/" + title + ".THM";
        return sized ? path + "_a" : path;
    }
    if (!IsPlainName(fileName)) return {};
    const std::string name = CacheDirectoryName(directory) + "___" + fileName + "." +
                             std::to_string(WholeSeconds(creationTime) + kLibraryEpochOffset);
    std::string path = std::string("DCIM/.THMB/") +
                       std::to_string(RoundedSeconds(creationTime) % 100) + "/" + name;
    return sized ? path + "_a" : path;
}

unsigned char CPhoto::LoadThumbnailSized(int32_t boxW, int32_t boxH) {
    boxWidth = boxW;
    boxHeight = boxH;
    return LoadThumbnailFromDevice(true) ? 1 : 0;
}

unsigned char CPhoto::LoadThumbnail() {
    boxWidth = kThumbnailBox;
    boxHeight = kThumbnailBox;
    return LoadThumbnailFromDevice(false) ? 1 : 0;
}

bool CPhoto::LoadThumbnailFromDevice(bool sized) {
    thumbnail.clear();
    if (context_.device == nullptr) return false;
    CIPhone& phone = *context_.device;
    std::string jpeg;
    if (!UsesThumbnailCache()) {
        const std::string folder = ThumbnailPath(false);
        if (!folder.empty() && LoadCachedIos7Thumbnail(folder)) return true;
        // The thumbnail store of iOS 7 belongs to the phone's photo library, which names and
        // counts its files itself: a thumbnail made here stays with the photo only.
        if (!MakeThumbnail(DevicePath(), jpeg)) return false;
        thumbnail = std::move(jpeg);
        return true;
    }
    const std::string cachePath = ThumbnailPath(sized);
    if (cachePath.empty()) return false;
    std::string cached;
    if (ReadWholeDeviceFile(phone, cachePath, kMaxPhotoFileBytes, cached) && !cached.empty()) {
        thumbnail = std::move(cached);
        return true;
    }
    // A video's picture is its ".THM" file; a still is drawn from the photo itself.
    const std::string source = videoFlag == 1 ? ThumbnailPath(false) : DevicePath();
    if (!MakeThumbnail(source, jpeg)) return false;
    StoreInCache(cachePath, std::move(jpeg));
    return !thumbnail.empty();
}

bool CPhoto::LoadCachedIos7Thumbnail(const std::string& folder) {
    CIPhone& phone = *context_.device;
    std::string bytes;
    if (ReadWholeDeviceFile(phone, folder + "/5005.JPG", kMaxPhotoFileBytes, bytes) &&
        !bytes.empty()) {
        thumbnail = std::move(bytes);
        return true;
    }
    std::vector<std::string> names;
    if (!phone.ListDirectory(folder, names)) return false;
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (!name.ends_with(".JPG") || !IsPlainName(name)) continue;
        if (ReadWholeDeviceFile(phone, folder + "/" + name, kMaxPhotoFileBytes, bytes) &&
            !bytes.empty()) {
            thumbnail = std::move(bytes);
            return true;
        }
        return false;
    }
    return false;
}

bool CPhoto::MakeThumbnail(const std::string& sourcePath, std::string& jpeg) const {
    if (sourcePath.empty()) return false;
    std::string picture;
    if (!ReadWholeDeviceFile(*context_.device, sourcePath, kMaxPhotoFileBytes, picture)) {
        return false;
    }
    return MakeDisplayThumbnail(picture, boxWidth, boxHeight, jpeg);
}

void CPhoto::StoreInCache(const std::string& cachePath, std::string jpeg) {
    CIPhone& phone = *context_.device;
    thumbnail = jpeg;
    if (context_.localFolder.empty()) return;
    // The cache folder and its parent may both be missing on a phone that never showed one.
    const std::string folder = ParentOf(cachePath);
    const std::string parent = ParentOf(folder);
    if (!parent.empty() && !phone.IsDirectory(parent)) phone.MakeDirectory(parent);
    if (!phone.IsDirectory(folder)) phone.MakeDirectory(folder);
    const std::string local = platform::JoinPath(
        context_.localFolder, std::string("thmb_") + std::to_string(assetKey) + ".jpg");
    // Only the upload reads this file: no flush to the disk.
    if (!platform::WriteFileAtomic(local, jpeg, platform::Flush::kWorkingCopy)) return;
    if (phone.FileExists(cachePath)) phone.RemovePath(cachePath);
    std::string stored;
    if (phone.CopyFileToDevice(local, cachePath) &&
        ReadWholeDeviceFile(phone, cachePath, kMaxPhotoFileBytes, stored) && !stored.empty()) {
        thumbnail = std::move(stored);
    }
    platform::RemoveFile(local);
}

uint32_t CPhoto::GetThumbnail(unsigned char* buffer) {
    if (buffer != nullptr && !thumbnail.empty()) {
        std::memcpy(buffer, thumbnail.data(), thumbnail.size());
    }
    return static_cast<uint32_t>(thumbnail.size());
}

uint32_t CPhoto::GetDevicePath(char* buffer) {
    if (devicePath_.empty()) devicePath_ = DevicePath();
    if (devicePath_.empty()) return 0;
    if (buffer != nullptr) std::memcpy(buffer, devicePath_.c_str(), devicePath_.size() + 1);
    return static_cast<uint32_t>(devicePath_.size() + 1);
}

unsigned char CPhoto::ExportTo(const char* folder) {
    if (folder == nullptr) return 0;
    if (devicePath_.empty()) devicePath_ = DevicePath();
    if (devicePath_.empty() || context_.device == nullptr) return 1;
    std::string local = folder;
    if (local.ends_with('/') || local.ends_with('\\')) local.pop_back();
    local += '/';
    local += fileName;
    context_.device->CopyFileFromDevice(devicePath_, local);
    return 1;
}

uint64_t CPhoto::ReadPhotoFile(unsigned char* buffer) {
    if (devicePath_.empty()) devicePath_ = DevicePath();
    if (devicePath_.empty() || context_.device == nullptr) return 0;
    CIPhone& phone = *context_.device;
    DeviceOperation operation(phone);
    if (!operation || phone.afcConnection == nullptr) return 0;
    CiPhoneFile file(phone.afcConnection, phone.MakeDevicePath(devicePath_),
                     static_cast<int32_t>(rt::kAfcModeRead));
    if (file.status != 0) {
        file.Close();
        return 0;
    }
    const uint64_t size = file.Size();
    if (buffer == nullptr) {
        reportedSize_ = size;
        sizeReported_ = true;
    } else {
        const uint64_t limit = sizeReported_ ? std::min(size, reportedSize_) : size;
        uint64_t filled = 0;
        while (filled < limit) {
            const int64_t count = file.Read(buffer + filled, static_cast<size_t>(limit - filled));
            if (count <= 0) break;
            filled += static_cast<uint64_t>(count);
        }
    }
    file.Close();
    return size;
}

unsigned char CPhoto::IsSamePhoto(IPhoto* other) {
    return other != nullptr && other->GetAssetKey() == assetKey ? 1 : 0;
}

}  // namespace bw
