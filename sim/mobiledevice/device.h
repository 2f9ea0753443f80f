// Devices made from images, and the registry of every device that ever arrived.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/plist_tree.h"

namespace bw::sim::md {

// The behaviour switches of the image's "Simulator" dictionary, read when it is attached.
struct Switches {
    int interfaceType = 1;  // 1 USB, 2 network
    bool paired = true;
    bool refusesPairing = false;
    bool hasAfc2 = false;
    bool passcodeLocked = false;
    std::optional<uint64_t> fsTotalBytes;
    std::optional<uint64_t> fsFreeBytes;
    std::optional<uint64_t> restartSeconds;  // how long a restart keeps the device away
};

// One arrival of an image. Never freed: hosts keep device references after the device left,
// and compare them with the ones later notifications carry.
class Device {
  public:
    Device(std::string imageFolder, std::string udid, Switches switches, PlistTree values)
        : imageFolder(std::move(imageFolder)),
          udid(std::move(udid)),
          switches(switches),
          values(std::move(values)) {}

    // The host folder of a device path below fs/ ("" for fs/ itself).
    std::string HostPath(std::string_view devicePath) const;

    const std::string imageFolder;
    const std::string udid;
    const Switches switches;

    // Read without the registry lock by services and AFC; written under it.
    std::atomic<bool> attached{true};

    // The rest is guarded by DeviceMutex().
    int connections = 0;
    bool sessionActive = false;
    PlistTree values;                               // device.plist as last read or written
    std::map<std::string, long> hostNotifications;  // names the host posted, with counts
};

// Guards the registry and the guarded fields of every device.
std::mutex& DeviceMutex();

// With DeviceMutex held: the device behind a reference this runtime handed out, or null for any
// other value (the value is never dereferenced).
Device* FindDevice(const void* reference);
// With DeviceMutex held: the attached device with this identifier, or null.
Device* FindAttachedDevice(std::string_view udid);
// With DeviceMutex held: the attached devices in the order they arrived.
std::vector<Device*> AttachedDevices();

// An image read from its folder, ready to arrive.
struct Image {
    std::string folder;
    std::string udid;
    Switches switches;
    PlistTree values;
};

// Reads device.plist; false with a sentence in `error` when the folder is no usable image.
bool LoadImage(const std::string& folder, Image& image, std::string& error);
// The device arrives; false when one with the same identifier is attached.
bool AttachImage(Image image, std::string& error);
bool DetachDevice(std::string_view udid);
int DetachAllDevices();

// Host pair records, kept for the life of the process: a device paired once stays paired when
// it arrives again, as the record on a real host outlives the connection.
bool HasPairRecord(const Device& device);  // with DeviceMutex held
void AddPairRecord(const Device& device);  // with DeviceMutex held

// Attaches the images named by BRACKWATER_SIM_IMAGES, once per process.
void AttachEnvironmentImages();

}  // namespace bw::sim::md
