#include "platform/portable_device.h"

#include <gphoto2/gphoto2.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>

#include "platform/files.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace bw::platform {

namespace {

// libgphoto2's directory driver: any folder of this computer as a camera.
constexpr const char* kDirectoryModel = "Directory Browse";
constexpr std::string_view kDefaultStorageId = "s10001";
constexpr std::string_view kDefaultStorageName = "Internal Storage";
// Storages of a PTP camera appear as top-level folders named after their 32-bit storage id.
constexpr std::string_view kStorageFolderPrefix = "store_";
// Folders nest this deep at most: a link back up the tree is not followed for ever.
constexpr size_t kMaxPathDepth = 32;

// libgphoto2's driver loading and its USB scan (through libusb) keep allocations they never free;
// they are not ours to fix, and every leak check of a program that lists devices would fail on
// them. Only those calls run under this, so a leak of our own still shows.
class ForeignLeaksIgnored {
  public:
    ForeignLeaksIgnored() {
#if defined(__SANITIZE_ADDRESS__)
        __lsan_disable();
#endif
    }
    ~ForeignLeaksIgnored() {
#if defined(__SANITIZE_ADDRESS__)
        __lsan_enable();
#endif
    }
    ForeignLeaksIgnored(const ForeignLeaksIgnored&) = delete;
    ForeignLeaksIgnored& operator=(const ForeignLeaksIgnored&) = delete;
};

struct ContextRelease {
    void operator()(GPContext* context) const { gp_context_unref(context); }
};
struct CameraRelease {
    // Ends the camera's session (when one was started) and closes its port.
    void operator()(Camera* camera) const { gp_camera_free(camera); }
};
struct ListRelease {
    void operator()(CameraList* list) const { gp_list_free(list); }
};
struct AbilitiesRelease {
    void operator()(CameraAbilitiesList* list) const { gp_abilities_list_free(list); }
};
struct PortsRelease {
    void operator()(GPPortInfoList* list) const { gp_port_info_list_free(list); }
};
using ContextPtr = std::unique_ptr<GPContext, ContextRelease>;
using CameraPtr = std::unique_ptr<Camera, CameraRelease>;
using ListPtr = std::unique_ptr<CameraList, ListRelease>;
using AbilitiesPtr = std::unique_ptr<CameraAbilitiesList, AbilitiesRelease>;
using PortsPtr = std::unique_ptr<GPPortInfoList, PortsRelease>;

ListPtr NewList() {
    CameraList* list = nullptr;
    if (gp_list_new(&list) < GP_OK) return nullptr;
    return ListPtr(list);
}

std::vector<std::string> ListNames(const CameraList* list) {
    std::vector<std::string> names;
    const int count = gp_list_count(const_cast<CameraList*>(list));
    for (int i = 0; i < count; ++i) {
        const char* name = nullptr;
        if (gp_list_get_name(const_cast<CameraList*>(list), i, &name) >= GP_OK && name != nullptr)
            names.emplace_back(name);
    }
    return names;
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// A path of the camera's tree that names no parent and no empty part: identifiers come back
// from callers, and the directory driver turns them into paths of this computer.
bool IsPlainCameraPath(std::string_view path) {
    if (path.size() < 2 || path.front() != '/' || path.back() == '/') return false;
    size_t depth = 0;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == ".." || ++depth > kMaxPathDepth) return false;
        start = end + 1;
    }
    return true;
}

std::string JoinCameraPath(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    return path;
}

struct Storage {
    std::string id;
    std::string name;
    std::string path;  // its folder in the camera's tree
};

// "store_00010001" -> "s10001", the identifier the phone's storage has in the object tree.
std::string StorageIdFromFolder(std::string_view folder) {
    if (!folder.starts_with(kStorageFolderPrefix)) return {};
    const std::string hex(folder.substr(kStorageFolderPrefix.size()));
    if (hex.size() != 8 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return {};
    char id[16];
    std::snprintf(id, sizeof id, "s%lx", std::strtoul(hex.c_str(), nullptr, 16));
    return id;
}

// The names of one host folder's entries that are links, or nullopt when it cannot be listed.
std::optional<std::set<std::string>> LinksIn(const std::string& folder) {
    std::vector<FolderEntry> entries;
    if (!ListFolder(folder, entries)) return std::nullopt;
    std::set<std::string> links;
    for (const FolderEntry& entry : entries)
        if (entry.isLink) links.insert(entry.name);
    return links;
}

// Whether a path of a served folder's tree reaches its object through no link: the directory
// driver follows links, and a link planted in the folder would let a walk or a deletion reach
// files outside it.
bool ReachesThroughNoLink(const std::string& hostRoot, std::string_view cameraPath) {
    std::string host = hostRoot;
    size_t start = 1;
    while (start < cameraPath.size()) {
        size_t end = cameraPath.find('/', start);
        if (end == std::string_view::npos) end = cameraPath.size();
        const std::string part(cameraPath.substr(start, end - start));
        const auto links = LinksIn(host);
        if (!links || links->count(part) != 0) return false;
        host = JoinPath(host, part);
        start = end + 1;
    }
    return true;
}

class GphotoDevice final : public PortableDevice {
  public:
    // `hostRoot`: the folder of this computer the device serves, empty for a camera.
    GphotoDevice(ContextPtr context, CameraPtr camera, std::string friendlyName,
                 std::string serialNumber, std::vector<Storage> storages, std::string hostRoot)
        : context_(std::move(context)),
          camera_(std::move(camera)),
          friendlyName_(std::move(friendlyName)),
          serialNumber_(std::move(serialNumber)),
          storages_(std::move(storages)),
          hostRoot_(std::move(hostRoot)) {}

    const std::string& FriendlyName() const override { return friendlyName_; }
    const std::string& SerialNumber() const override { return serialNumber_; }

    bool ListChildren(std::string_view parentId, std::vector<PortableObject>& children) override {
        children.clear();
        if (parentId == kPortableRootObject) {
            for (const Storage& storage : storages_)
                children.push_back(PortableObject{storage.id, storage.name, {}, true});
            return true;
        }
        const std::string folder = FolderOf(parentId);
        if (folder.empty()) return false;
        std::set<std::string> links;
        if (!hostRoot_.empty()) {
            const std::string hostFolder =
                folder == "/" ? hostRoot_ : JoinPath(hostRoot_, folder.substr(1));
            auto found = LinksIn(hostFolder);
            if (!found || (folder != "/" && !ReachesThroughNoLink(hostRoot_, folder))) return false;
            links = std::move(*found);
        }
        ListPtr folders = NewList();
        ListPtr files = NewList();
        if (!folders || !files) return false;
        if (gp_camera_folder_list_folders(camera_.get(), folder.c_str(), folders.get(),
                                          context_.get()) < GP_OK ||
            gp_camera_folder_list_files(camera_.get(), folder.c_str(), files.get(),
                                        context_.get()) < GP_OK) {
            return false;
        }
        for (std::string& name : ListNames(folders.get())) {
            const std::string id = JoinCameraPath(folder, name);
            if (IsPlainCameraPath(id) && links.count(name) == 0)
                children.push_back(PortableObject{id, name, name, true});
        }
        for (std::string& name : ListNames(files.get())) {
            const std::string id = JoinCameraPath(folder, name);
            if (IsPlainCameraPath(id) && links.count(name) == 0)
                children.push_back(PortableObject{id, name, name, false});
        }
        return true;
    }

    bool DeleteObject(std::string_view id) override {
        if (!IsPlainCameraPath(id) || InsideWhichStorage(id) == nullptr) return false;
        if (!hostRoot_.empty() && !ReachesThroughNoLink(hostRoot_, id)) return false;
        const size_t slash = id.find_last_of('/');
        const std::string folder = slash == 0 ? std::string("/") : std::string(id.substr(0, slash));
        const std::string name(id.substr(slash + 1));
        return gp_camera_file_delete(camera_.get(), folder.c_str(), name.c_str(), context_.get()) >=
               GP_OK;
    }

  private:
    const Storage* InsideWhichStorage(std::string_view path) const {
        for (const Storage& storage : storages_) {
            if (storage.path == "/" ||
                (path.starts_with(storage.path) && path.size() > storage.path.size() &&
                 path[storage.path.size()] == '/')) {
                return &storage;
            }
        }
        return nullptr;
    }

    // The camera folder an object identifier stands for; empty for none of this device's.
    std::string FolderOf(std::string_view id) const {
        for (const Storage& storage : storages_)
            if (storage.id == id) return storage.path;
        if (IsPlainCameraPath(id) && InsideWhichStorage(id) != nullptr) return std::string(id);
        return {};
    }

    ContextPtr context_;
    CameraPtr camera_;
    std::string friendlyName_;
    std::string serialNumber_;
    std::vector<Storage> storages_;
    std::string hostRoot_;
};

// A camera of `model` on `port`, its session started; null when either is unknown or the
// camera does not answer.
CameraPtr OpenCamera(CameraAbilitiesList* abilitiesList, GPPortInfoList* ports, GPContext* context,
                     const char* model, const std::string& port) {
    const int modelIndex = gp_abilities_list_lookup_model(abilitiesList, model);
    if (modelIndex < GP_OK) return nullptr;
    CameraAbilities abilities;
    if (gp_abilities_list_get_abilities(abilitiesList, modelIndex, &abilities) < GP_OK)
        return nullptr;
    const int portIndex = gp_port_info_list_lookup_path(ports, port.c_str());
    if (portIndex < GP_OK) return nullptr;
    GPPortInfo portInfo;
    if (gp_port_info_list_get_info(ports, portIndex, &portInfo) < GP_OK) return nullptr;
    Camera* raw = nullptr;
    if (gp_camera_new(&raw) < GP_OK) return nullptr;
    CameraPtr camera(raw);
    if (gp_camera_set_abilities(camera.get(), abilities) < GP_OK ||
        gp_camera_set_port_info(camera.get(), portInfo) < GP_OK ||
        gp_camera_init(camera.get(), context) < GP_OK) {
        return nullptr;
    }
    return camera;
}

// A PTP camera's storages from its top-level folders; a camera without storage folders shows
// its whole tree as one storage.
std::vector<Storage> ReadCameraStorages(Camera* camera, GPContext* context) {
    std::vector<Storage> storages;
    ListPtr folders = NewList();
    if (folders && gp_camera_folder_list_folders(camera, "/", folders.get(), context) >= GP_OK) {
        CameraStorageInformation* info = nullptr;
        int infoCount = 0;
        if (gp_camera_get_storageinfo(camera, &info, &infoCount, context) < GP_OK) infoCount = 0;
        for (const std::string& folder : ListNames(folders.get())) {
            const std::string id = StorageIdFromFolder(folder);
            if (id.empty()) continue;
            Storage storage{id, std::string(kDefaultStorageName), "/" + folder};
            for (int i = 0; i < infoCount; ++i) {
                if ((info[i].fields & GP_STORAGEINFO_BASE) && storage.path == info[i].basedir &&
                    (info[i].fields & GP_STORAGEINFO_DESCRIPTION) && info[i].description[0]) {
                    storage.name = info[i].description;
                }
            }
            storages.push_back(std::move(storage));
        }
        std::free(info);
    }
    if (storages.empty())
        storages.push_back(
            Storage{std::string(kDefaultStorageId), std::string(kDefaultStorageName), "/"});
    return storages;
}

void AddFolderDevices(const std::vector<PortableFolder>& folders,
                      CameraAbilitiesList* abilitiesList, GPPortInfoList* ports,
                      std::vector<std::unique_ptr<PortableDevice>>& devices) {
    for (const PortableFolder& folder : folders) {
        // The driver answers even for a folder that is not there; such a device is no device.
        if (folder.folder.empty() || folder.folder.front() != '/' || !IsFolder(folder.folder))
            continue;
        ContextPtr context(gp_context_new());
        if (!context) continue;
        CameraPtr camera = OpenCamera(abilitiesList, ports, context.get(), kDirectoryModel,
                                      "disk:" + folder.folder);
        if (!camera) continue;
        std::vector<Storage> storages{
            Storage{std::string(kDefaultStorageId), std::string(kDefaultStorageName), "/"}};
        devices.push_back(std::make_unique<GphotoDevice>(std::move(context), std::move(camera),
                                                         folder.friendlyName, folder.serialNumber,
                                                         std::move(storages), folder.folder));
    }
}

// Cameras on the buses. Mass-storage cards ("disk:" ports) are no phones and are left out.
bool AddCameraDevices(CameraAbilitiesList* abilitiesList, GPPortInfoList* ports,
                      PortableDeviceList& list) {
    ContextPtr detectContext(gp_context_new());
    ListPtr detected = NewList();
    if (!detectContext || !detected) return false;
    int status;
    {
        const ForeignLeaksIgnored ignored;
        status =
            gp_abilities_list_detect(abilitiesList, ports, detected.get(), detectContext.get());
    }
    if (status < GP_OK) {
        list.errorCode = status;
        return false;
    }
    const int count = gp_list_count(detected.get());
    for (int i = 0; i < count; ++i) {
        const char* model = nullptr;
        const char* port = nullptr;
        if (gp_list_get_name(detected.get(), i, &model) < GP_OK ||
            gp_list_get_value(detected.get(), i, &port) < GP_OK || model == nullptr ||
            port == nullptr || std::string_view(port).starts_with("disk:")) {
            continue;
        }
        ContextPtr context(gp_context_new());
        if (!context) continue;
        CameraPtr camera = OpenCamera(abilitiesList, ports, context.get(), model, port);
        if (!camera) continue;
        CameraText summary;
        CameraIdentity identity;
        if (gp_camera_get_summary(camera.get(), &summary, context.get()) >= GP_OK)
            identity = ParseCameraSummary(summary.text);
        std::vector<Storage> storages = ReadCameraStorages(camera.get(), context.get());
        list.devices.push_back(std::make_unique<GphotoDevice>(
            std::move(context), std::move(camera), CameraFriendlyName(model, identity),
            identity.serialNumber, std::move(storages), std::string()));
    }
    return true;
}

}  // namespace

PortableDeviceList ListPortableDevices(const std::vector<PortableFolder>& folders,
                                       bool includeCameras) {
    PortableDeviceList list;
    ContextPtr context(gp_context_new());
    CameraAbilitiesList* rawAbilities = nullptr;
    GPPortInfoList* rawPorts = nullptr;
    if (!context || gp_abilities_list_new(&rawAbilities) < GP_OK) {
        list.ok = false;
        list.errorCode = GP_ERROR_NO_MEMORY;
        return list;
    }
    AbilitiesPtr abilitiesList(rawAbilities);
    if (gp_port_info_list_new(&rawPorts) < GP_OK) {
        list.ok = false;
        list.errorCode = GP_ERROR_NO_MEMORY;
        return list;
    }
    PortsPtr ports(rawPorts);
    int abilitiesStatus, portsStatus;
    {
        const ForeignLeaksIgnored ignored;
        abilitiesStatus = gp_abilities_list_load(abilitiesList.get(), context.get());
        portsStatus = gp_port_info_list_load(ports.get());
    }
    if (abilitiesStatus < GP_OK || portsStatus < GP_OK) {
        list.ok = false;
        list.errorCode = abilitiesStatus < GP_OK ? abilitiesStatus : portsStatus;
        return list;
    }
    AddFolderDevices(folders, abilitiesList.get(), ports.get(), list.devices);
    if (includeCameras) list.ok = AddCameraDevices(abilitiesList.get(), ports.get(), list);
    return list;
}

CameraIdentity ParseCameraSummary(std::string_view summary) {
    CameraIdentity identity;
    while (!summary.empty()) {
        const size_t end = summary.find('\n');
        const std::string_view line = Trim(summary.substr(0, end));
        summary.remove_prefix(end == std::string_view::npos ? summary.size() : end + 1);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view key = Trim(line.substr(0, colon));
        const std::string value(Trim(line.substr(colon + 1)));
        // The first of each wins: later sections of a summary repeat words like "Model" for
        // other things (a storage's model, a lens).
        if (key == "Manufacturer" && identity.manufacturer.empty()) {
            identity.manufacturer = value;
        } else if (key == "Model" && identity.model.empty()) {
            identity.model = value;
        } else if (key == "Serial Number" && identity.serialNumber.empty()) {
            identity.serialNumber = value;
        }
    }
    return identity;
}

std::string CameraFriendlyName(std::string_view busModel, const CameraIdentity& identity) {
    std::string name(busModel.empty() ? std::string_view(identity.model) : busModel);
    // "Apple Inc." names its products "Apple ...": its first word is the name people know.
    const std::string_view manufacturer = identity.manufacturer;
    const std::string_view maker =
        manufacturer.substr(0, std::min(manufacturer.find(' '), manufacturer.size()));
    if (!maker.empty() && name.find(maker) == std::string::npos)
        name = identity.manufacturer + (name.empty() ? "" : " ") + name;
    return name;
}

}  // namespace bw::platform
