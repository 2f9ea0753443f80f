#include "device.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <unordered_set>

#include "common/plist_file.h"
#include "counters.h"
#include "image/device_plist.h"
#include "notifications.h"

namespace bw::sim::md {
namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::unique_ptr<Device>> everArrived;
    std::unordered_set<const void*> references;
    std::set<std::string> pairRecords;
};

// Never destroyed: the notification thread and late callers may use it while the process ends.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

plist_t Item(plist_t dict, const char* key) {
    return dict != nullptr ? plist_dict_get_item(dict, key) : nullptr;
}

bool ReadFlag(plist_t simulator, const char* key, bool& out, std::string& error) {
    const plist_t node = Item(simulator, key);
    if (node == nullptr) return true;
    if (plist_get_node_type(node) != PLIST_BOOLEAN) {
        error = std::string("the switch ") + key + " is not a boolean";
        return false;
    }
    uint8_t value = 0;
    plist_get_bool_val(node, &value);
    out = value != 0;
    return true;
}

bool ReadCount(plist_t simulator, const char* key, std::optional<uint64_t>& out,
               std::string& error) {
    const plist_t node = Item(simulator, key);
    if (node == nullptr) return true;
    if (plist_get_node_type(node) != PLIST_UINT) {
        error = std::string("the switch ") + key + " is not an integer";
        return false;
    }
    uint64_t value = 0;
    plist_get_uint_val(node, &value);
    out = value;
    return true;
}

bool ReadSwitches(plist_t values, Switches& switches, std::string& error) {
    const plist_t simulator = Item(values, "Simulator");
    if (simulator == nullptr) return true;  // an image without switches gets the defaults
    if (plist_get_node_type(simulator) != PLIST_DICT) {
        error = "\"Simulator\" is not a dictionary";
        return false;
    }
    if (const plist_t type = Item(simulator, "InterfaceType")) {
        const std::string name = StringValue(type);
        if (name != "USB" && name != "Network") {
            error = "the switch InterfaceType is neither \"USB\" nor \"Network\"";
            return false;
        }
        switches.interfaceType = name == "USB" ? 1 : 2;
    }
    return ReadFlag(simulator, "Paired", switches.paired, error) &&
           ReadFlag(simulator, "RefusesPairing", switches.refusesPairing, error) &&
           ReadFlag(simulator, "HasAFC2", switches.hasAfc2, error) &&
           ReadFlag(simulator, "PasscodeLocked", switches.passcodeLocked, error) &&
           ReadCount(simulator, "FSTotalBytes", switches.fsTotalBytes, error) &&
           ReadCount(simulator, "FSFreeBytes", switches.fsFreeBytes, error) &&
           ReadCount(simulator, "RestartSeconds", switches.restartSeconds, error);
}

// Empty when missing, or when it holds a NUL, which no C string could carry to a host.
std::string ReadUdid(plist_t values) {
    std::string udid = StringValue(Item(values, "UniqueDeviceID"));
    return udid.find('\0') == std::string::npos ? udid : std::string();
}

// Ends what the device's lockdown connection carried: its connections and session.
void EndLockdown(Device& device) {
    Counters& counters = GlobalCounters();
    counters.connectedDevices -= device.connections;
    if (device.sessionActive) --counters.sessions;
    device.connections = 0;
    device.sessionActive = false;
}

}  // namespace

std::string Device::HostPath(std::string_view devicePath) const {
    std::string path = imageFolder + "/fs";
    if (!devicePath.empty() && devicePath.front() != '/') path += '/';
    path += devicePath;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::mutex& DeviceMutex() {
    return TheRegistry().mutex;
}

Device* FindDevice(const void* reference) {
    Registry& registry = TheRegistry();
    if (registry.references.count(reference) == 0) return nullptr;
    return static_cast<Device*>(const_cast<void*>(reference));
}

Device* FindAttachedDevice(std::string_view udid) {
    for (const auto& device : TheRegistry().everArrived)
        if (device->attached && device->udid == udid) return device.get();
    return nullptr;
}

std::vector<Device*> AttachedDevices() {
    std::vector<Device*> attached;
    for (const auto& device : TheRegistry().everArrived)
        if (device->attached) attached.push_back(device.get());
    return attached;
}

bool LoadImage(const std::string& folder, Image& image, std::string& error) {
    image.folder = folder;
    image.values = ReadDevicePlist(folder, error);
    if (image.values == nullptr) return false;
    if (!ReadSwitches(image.values.get(), image.switches, error)) {
        error = folder + ": " + error;
        return false;
    }
    image.udid = ReadUdid(image.values.get());
    if (image.udid.empty()) {
        error = folder + ": device.plist has no \"UniqueDeviceID\" text";
        return false;
    }
    return true;
}

bool AttachImage(Image image, std::string& error) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (FindAttachedDevice(image.udid) != nullptr) {
        error = "a device with the identifier " + image.udid + " is attached already";
        return false;
    }
    registry.everArrived.push_back(std::make_unique<Device>(
        std::move(image.folder), std::move(image.udid), image.switches, std::move(image.values)));
    Device* device = registry.everArrived.back().get();
    registry.references.insert(device);
    ++GlobalCounters().attachedDevices;
    QueueDeviceEvent(device, kDeviceArrived);
    return true;
}

bool DetachDevice(std::string_view udid) {
    std::lock_guard<std::mutex> lock(TheRegistry().mutex);
    Device* device = FindAttachedDevice(udid);
    if (device == nullptr) return false;
    device->attached = false;
    EndLockdown(*device);
    --GlobalCounters().attachedDevices;
    QueueDeviceEvent(device, kDeviceLeft);
    return true;
}

int DetachAllDevices() {
    std::lock_guard<std::mutex> lock(TheRegistry().mutex);
    int detached = 0;
    for (const auto& device : TheRegistry().everArrived) {
        if (!device->attached) continue;
        device->attached = false;
        EndLockdown(*device);
        --GlobalCounters().attachedDevices;
        QueueDeviceEvent(device.get(), kDeviceLeft);
        ++detached;
    }
    return detached;
}

bool HasPairRecord(const Device& device) {
    return device.switches.paired || TheRegistry().pairRecords.count(device.udid) != 0;
}

void AddPairRecord(const Device& device) {
    TheRegistry().pairRecords.insert(device.udid);
}

void AttachEnvironmentImages() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* list = std::getenv("BRACKWATER_SIM_IMAGES");
        if (list == nullptr) return;
        const std::string folders = list;
        size_t start = 0;
        while (start <= folders.size()) {
            size_t end = folders.find(':', start);
            if (end == std::string::npos) end = folders.size();
            const std::string folder = folders.substr(start, end - start);
            Image image;
            std::string error;
            if (!folder.empty() &&
                !(LoadImage(folder, image, error) && AttachImage(std::move(image), error)))
                std::fprintf(stderr, "brackwater simulator: BRACKWATER_SIM_IMAGES: %s\n",
                             error.c_str());
            start = end + 1;
        }
    });
}

}  // namespace bw::sim::md
