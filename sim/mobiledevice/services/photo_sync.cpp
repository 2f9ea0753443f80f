#include "services/photo_sync.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>

#include "common/plist_file.h"
#include "common/plist_input_check.h"
#include "device.h"
#include "phone_photos/media_files.h"
#include "phone_photos/photo_store.h"

namespace bw::sim::md {
namespace {

constexpr char kListPath[] = "Photos/Sync/PhotoLibrary.plist";
// The device's photo anchor lives beside device.plist, so it outlives an attach as the phone's
// sync state outlives a cable.
constexpr char kAnchorFile[] = "photo-sync.plist";

struct Behaviour {
    bool refuse = false;
    int stall = 0;
    int leave = 0;
    int handled = 0;  // the last stage handled in the latest sync
};

struct Behaviours {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<const Device*, Behaviour> devices;  // devices are never freed
};

Behaviours& TheBehaviours() {
    static Behaviours* behaviours = new Behaviours;  // never destroyed, as the devices
    return *behaviours;
}

Behaviour BehaviourOf(const Device& device) {
    Behaviours& all = TheBehaviours();
    std::lock_guard<std::mutex> lock(all.mutex);
    return all.devices[&device];
}

void MarkHandled(const Device& device, int stage) {
    Behaviours& all = TheBehaviours();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.devices[&device].handled = stage;
    all.changed.notify_all();
}

// True when the device answers at `stage`; otherwise it stays silent or drops the link, and the
// stage counts as handled.
bool Answers(PhotoSyncLink& link, int stage) {
    const Behaviour behaviour = BehaviourOf(link.device());
    if (behaviour.leave == stage) link.Drop();
    if (behaviour.leave == stage || behaviour.stall == stage) {
        MarkHandled(link.device(), stage);
        return false;
    }
    return true;
}

plist_t ErrorParams(int code) {
    DictBuilder params;
    params.Integer("ErrorCode", static_cast<uint64_t>(code));
    return params.Release();
}

std::string AnchorPath(const Device& device) {
    return device.imageFolder + "/" + kAnchorFile;
}

uint64_t ReadAnchor(const Device& device) {
    const PlistTree tree = ReadPlistFile(AnchorPath(device), 4096);
    plist_t anchor = tree != nullptr ? plist_dict_get_item(tree.get(), "PhotoAnchor") : nullptr;
    uint64_t value = 0;
    if (anchor != nullptr && plist_get_node_type(anchor) == PLIST_UINT)
        plist_get_uint_val(anchor, &value);
    return value;
}

// Replaces the anchor file through a new file renamed over it, so a reader never sees half.
void WriteAnchor(const Device& device, uint64_t anchor) {
    DictBuilder top;
    top.Integer("PhotoAnchor", anchor);
    const PlistTree tree = top.Take();
    const std::string xml = PlistXml(tree.get());
    const std::string path = AnchorPath(device);
    const std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    const int fd =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const bool written = ::write(fd, xml.data(), xml.size()) == static_cast<ssize_t>(xml.size());
    ::close(fd);
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) ::unlink(temporary.c_str());
}

std::string AssetIdOf(plist_t params) {
    return params != nullptr ? StringValue(plist_dict_get_item(params, "AssetID")) : "";
}

}  // namespace

void PhotoSyncSession::OnRequestingSync(PhotoSyncLink& link, plist_t) {
    *this = PhotoSyncSession();
    MarkHandled(link.device(), 0);
    if (!Answers(link, 1)) return;
    if (BehaviourOf(link.device()).refuse) {
        link.Send("SyncFailed", ErrorParams(kSyncRefused));
    } else {
        DictBuilder anchors;
        anchors.Text("Photo", std::to_string(ReadAnchor(link.device())));
        DictBuilder params;
        params.Dict("DataclassAnchors", std::move(anchors));
        link.Send("ReadyForSync", params.Release());
        state_ = State::Requested;
    }
    MarkHandled(link.device(), 1);
}

void PhotoSyncSession::OnMetadataFinished(PhotoSyncLink& link, plist_t) {
    if (state_ != State::Requested) return;
    state_ = State::Idle;
    if (!Answers(link, 2)) return;
    const PhotoStoreContext context = PhotoStoreContextOf(link.device());
    const std::optional<std::string> bytes =
        MediaFiles(context.imageFolder).Read(kListPath, kLargestSyncList);
    const PlistTree tree = bytes ? ParseCheckedPlist(*bytes) : nullptr;
    std::string error;
    std::set<std::string> stored;
    if (tree == nullptr || !ParseSyncList(tree.get(), list_, error) ||
        !StoredAssetKeys(context, stored, error)) {
        link.Send("SyncFailed", ErrorParams(kSyncListUnusable));
        MarkHandled(link.device(), 2);
        return;
    }
    plist_t photos = plist_new_array();
    for (const SyncListAsset& asset : list_.assets) {
        if (stored.count(asset.key) != 0) continue;
        DictBuilder entry;
        entry.Text("AssetID", asset.id).Text("Dataclass", "Photo");
        plist_array_append_item(photos, entry.Release());
        requested_.push_back(asset.id);
        pending_.insert(asset.id);
    }
    DictBuilder manifest;
    manifest.Value("Photo", photos);
    DictBuilder params;
    params.Dict("AssetManifest", std::move(manifest));
    link.Send("AssetManifest", params.Release());
    state_ = State::AwaitingFiles;
    MarkHandled(link.device(), 2);
    if (pending_.empty()) Finish(link);
}

void PhotoSyncSession::OnFileComplete(PhotoSyncLink& link, plist_t params) {
    OnFileReport(link, params, true);
}

void PhotoSyncSession::OnFileError(PhotoSyncLink& link, plist_t params) {
    OnFileReport(link, params, false);
}

void PhotoSyncSession::OnSyncFailed(PhotoSyncLink&, plist_t) {
    *this = PhotoSyncSession();
}

void PhotoSyncSession::OnFileReport(PhotoSyncLink& link, plist_t params, bool completed) {
    // Only identifiers the device asked for count; anything else never becomes a path.
    const std::string id = AssetIdOf(params);
    if (state_ != State::AwaitingFiles || pending_.erase(id) == 0) return;
    if (completed) completed_.push_back(id);
    if (pending_.empty()) Finish(link);
}

void PhotoSyncSession::Finish(PhotoSyncLink& link) {
    state_ = State::Idle;
    if (!Answers(link, 3)) return;
    const PhotoStoreContext context = PhotoStoreContextOf(link.device());
    std::string error;
    if (!ApplySyncList(context, list_, completed_, requested_, error)) {
        std::fprintf(stderr, "simulated device: the photo sync could not be applied: %s\n",
                     error.c_str());
        link.Send("SyncFailed", ErrorParams(kSyncApplyFailed));
        MarkHandled(link.device(), 3);
        return;
    }
    WriteAnchor(link.device(), ReadAnchor(link.device()) + 1);
    MarkHandled(link.device(), 3);
    if (!Answers(link, 4)) return;
    link.Send("SyncFinished", nullptr);
    MarkHandled(link.device(), 4);
}

void SetPhotoSyncRefuse(const Device& device, bool refuse) {
    Behaviours& all = TheBehaviours();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.devices[&device].refuse = refuse;
}

void SetPhotoSyncStall(const Device& device, int stage) {
    Behaviours& all = TheBehaviours();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.devices[&device].stall = stage;
}

void SetPhotoSyncLeave(const Device& device, int stage) {
    Behaviours& all = TheBehaviours();
    std::lock_guard<std::mutex> lock(all.mutex);
    all.devices[&device].leave = stage;
}

bool WaitPhotoSyncStage(const Device& device, int stage, int timeoutMs) {
    Behaviours& all = TheBehaviours();
    std::unique_lock<std::mutex> lock(all.mutex);
    return all.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return all.devices[&device].handled >= stage; });
}

}  // namespace bw::sim::md
