#include "photo/portable_delete.h"

#include <set>

#include "device/portable_folders.h"
#include "platform/text.h"

namespace bw {

namespace {

// The storage is shown by its name; every other object by the name it has as a file.
constexpr std::string_view kStorageObject = "s10001";

bool Qualifies(const platform::PortableDevice& device, std::string_view serialNumber) {
    return device.FriendlyName().find("Apple") != std::string::npos &&
           device.SerialNumber() == serialNumber;
}

// A name from the device on one console line: control characters would end the line early or
// drive the terminal.
void PrintName(std::FILE* console, const std::string& name) {
    std::string line = name;
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    std::fprintf(console, "%s\n", line.c_str());
}

void WalkAndDelete(platform::PortableDevice& device, std::string_view parentId,
                   const std::set<std::string, std::less<>>& names, std::FILE* console) {
    std::vector<platform::PortableObject> children;
    if (!device.ListChildren(parentId, children)) return;
    for (const platform::PortableObject& child : children) {
        const std::string& name = child.id == kStorageObject ? child.name : child.originalFileName;
        PrintName(console, name);
        if (child.container) {
            WalkAndDelete(device, child.id, names, console);
        } else if (names.count(name) != 0) {
            // A refused deletion skips that object; the walk goes on.
            device.DeleteObject(child.id);
        }
    }
}

}  // namespace

std::string PortableDeletionEntry(IPhoto* photo) {
    if (photo == nullptr) return {};
    const uint32_t size = photo->GetDevicePath(nullptr);
    if (size == 0) return {};
    std::string path(size, '\0');
    if (photo->GetDevicePath(path.data()) != size) return {};
    path.resize(path.find('\0'));
    std::u16string wide = Utf8ToWide(path);
    if (wide.size() >= kDeletionPathCharacters) {
        size_t keep = kDeletionPathCharacters - 1;
        // A character outside the basic plane is kept whole or not at all.
        if (wide[keep - 1] >= 0xD800 && wide[keep - 1] <= 0xDBFF) --keep;
        wide.resize(keep);
    }
    const size_t slash = wide.find_last_of(u'/');
    return WideToUtf8(slash == std::u16string::npos ? wide : wide.substr(slash + 1));
}

void DeleteFromPortableDevice(std::string_view serialNumber,
                              const std::vector<std::string>& deletionList,
                              platform::PortableDeviceList devices, std::FILE* console) {
    if (!devices.ok) {
        std::fprintf(console, "! Failed to get the device list from the system, hr = 0x%lx\n",
                     static_cast<unsigned long>(static_cast<uint32_t>(devices.errorCode)));
        return;
    }
    // A device that reports no serial number is never taken for the one asked for.
    if (serialNumber.empty()) return;
    const std::set<std::string, std::less<>> names(deletionList.begin(), deletionList.end());
    for (const auto& device : devices.devices) {
        if (!Qualifies(*device, serialNumber)) continue;
        WalkAndDelete(*device, platform::kPortableRootObject, names, console);
        break;
    }
    std::fflush(console);
}

void DeleteFromPortableDevice(std::string_view serialNumber,
                              const std::vector<std::string>& deletionList) {
    DeleteFromPortableDevice(serialNumber, deletionList,
                             platform::ListPortableDevices(SimulatedPortableFolders(), true),
                             stdout);
}

}  // namespace bw
