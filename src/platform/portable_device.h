// Portable devices: cameras and phones as the computer sees them through the picture-transfer
// protocol, with their storage, folders and files as a tree of objects. Phones show their camera
// roll this way, and this is the only way the computer may delete from it.
//
// The backend is libgphoto2: cameras found on the buses (PTP), and folders of this computer served
// as if they were such a device (the simulated phones' camera rolls). The object tree looks the
// same for both:
//   "DEVICE"                              the device itself
//     "s10001"  "Internal Storage"        a storage (identifier "s" + its PTP storage id in hex)
//       folders and files                 identifiers are opaque to the caller
// Nothing here throws, and every backend handle a call opens is closed before it returns or by
// the device's destructor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bw::platform {

inline constexpr std::string_view kPortableRootObject = "DEVICE";

struct PortableObject {
    std::string id;
    // The object's display name: the storage's description; a folder's or file's own name.
    std::string name;
    // The name the object had as a file or folder; empty for storages.
    std::string originalFileName;
    // Storages and folders contain objects; files do not.
    bool container = false;
};

class PortableDevice {
  public:
    virtual ~PortableDevice() = default;
    virtual const std::string& FriendlyName() const = 0;
    virtual const std::string& SerialNumber() const = 0;
    // The objects directly inside `parentId` (kPortableRootObject for the top), folders before
    // files; false (and none) when the device cannot list it.
    virtual bool ListChildren(std::string_view parentId, std::vector<PortableObject>& children) = 0;
    // Deletes one file object; false when it is no file of this device or the device refuses.
    virtual bool DeleteObject(std::string_view id) = 0;
};

// A folder of this computer to be shown as a portable device with these values.
struct PortableFolder {
    std::string friendlyName;
    std::string serialNumber;
    std::string folder;
};

struct PortableDeviceList {
    // False when the system's list of cameras could not be read; `errorCode` is then the
    // backend's (negative) code. Folder devices are listed either way.
    bool ok = true;
    int errorCode = 0;
    std::vector<std::unique_ptr<PortableDevice>> devices;
};

// The devices in order: one per usable folder of `folders` (a folder that does not exist or that
// the backend cannot open is left out), then, with `includeCameras`, every camera on the buses.
PortableDeviceList ListPortableDevices(const std::vector<PortableFolder>& folders,
                                       bool includeCameras);

// A camera's identity from the summary text it gives (lines "Manufacturer: ...", "Model: ...",
// "Serial Number: ..."); fields the text lacks stay empty. Public for its tests.
struct CameraIdentity {
    std::string manufacturer;
    std::string model;
    std::string serialNumber;
};
CameraIdentity ParseCameraSummary(std::string_view summary);

// The friendly name shown for a camera: the bus's model name, with the manufacturer put in front
// when that name does not contain it already.
std::string CameraFriendlyName(std::string_view busModel, const CameraIdentity& identity);

}  // namespace bw::platform
