// "com.apple.atc": the device's side of AirTraffic sync. Messages both ways are dictionaries
// {"Command": name, "Params": {...}, "Session": number}, framed like every plist service; the
// device sends binary lists. When the host's "HostInfo" arrives the device starts a session
// (numbered from 1 on each link) and sends "InstalledAssets", "AssetMetrics" and "SyncAllowed",
// in that order. Each link has a sender thread, so tests can delay the device's messages, queue
// their own, silence the device or drop the link (sim_control.h).
//
// AssetMetrics is worked out from the image's files each time, never stored (sim/README.md has
// the rules and the same list): media files below iTunes_Control/Music by extension and, for
// MPEG-4 files, the media kind item ("stik") iTunes writes into them; photos, books, ringtones
// and voice memos by folder and extension; applications by container; the rest of
// /var/mobile/Media and /var/mobile/Library as user data. Links are neither followed nor counted.
#include "services/air_traffic.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "channel.h"
#include "common/plist_file.h"
#include "device.h"
#include "service.h"
#include "services/photo_sync.h"

namespace bw::sim::md {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kServiceName[] = "com.apple.atc";

// ---- AssetMetrics ----------------------------------------------------------------------------

struct Tally {
    uint64_t count = 0;
    uint64_t bytes = 0;
    void Add(uint64_t size) {
        ++count;
        bytes += size;
    }
};

struct Metrics {
    std::map<std::string, Tally> media;  // media kind -> tally
    Tally photo, application, book, ringtone, voiceMemo, userData;
};

std::string LowerExtension(const fs::path& path) {
    std::string extension = path.extension().string();
    if (!extension.empty()) extension.erase(0, 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

bool OneOf(const std::string& extension, std::initializer_list<const char*> choices) {
    return std::any_of(choices.begin(), choices.end(),
                       [&](const char* choice) { return extension == choice; });
}

// The media kind item of an MPEG-4 file: iTunes writes "stik" with a one-byte "data" value into
// the file's metadata. Only the start of the file is searched, where iTunes puts the metadata of
// the small files a phone syncs first; 0 when there is none.
int MediaKindItem(const fs::path& file) {
    constexpr size_t kSearched = 64 * 1024;
    std::ifstream in(file, std::ios::binary);
    std::string head(kSearched, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    for (size_t at = head.find("stik"); at != std::string::npos; at = head.find("stik", at + 1)) {
        // "stik", then the data box: size, "data", type and flags, locale, the value.
        if (at + 21 <= head.size() && head.compare(at + 8, 4, "data") == 0)
            return static_cast<unsigned char>(head[at + 20]);
    }
    return 0;
}

// The media kind of a file below iTunes_Control/Music, or "" for a file that is no media.
std::string MediaKind(const fs::path& file) {
    const std::string extension = LowerExtension(file);
    if (OneOf(extension, {"mp3", "aac", "wav", "aif", "aiff"})) return "Song";
    if (!OneOf(extension, {"m4a", "m4b", "m4p", "m4v", "mp4", "mov"})) return "";
    switch (MediaKindItem(file)) {
        case 1:
            return "Song";
        case 2:
            return "Audiobook";
        case 6:
            return "MusicVideo";
        case 9:
            return "Movie";
        case 10:
            return "TVEpisode";
        case 21:
            return "Podcast";
        default:
            break;
    }
    if (OneOf(extension, {"m4a", "m4p"})) return "Song";
    if (extension == "m4b") return "Audiobook";
    return "Movie";
}

// Calls visit(path relative to `root`, size) for each regular file below `root`.
template <class Visit>
void WalkFiles(const fs::path& root, Visit visit) {
    std::error_code error;
    fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error);
    for (const fs::recursive_directory_iterator end; !error && it != end; it.increment(error)) {
        const fs::file_status status = it->symlink_status(error);
        if (error || !fs::is_regular_file(status)) continue;
        const uint64_t size = it->file_size(error);
        if (error) continue;
        visit(it->path(), it->path().lexically_relative(root), size);
    }
}

bool Below(const fs::path& relative, std::initializer_list<const char*> folders) {
    auto part = relative.begin();
    for (const char* folder : folders) {
        if (part == relative.end() || *part != folder) return false;
        ++part;
    }
    return part != relative.end();
}

Metrics ComputeMetrics(const Device& device) {
    Metrics metrics;
    WalkFiles(device.HostPath("/var/mobile/Media"), [&](const fs::path& file,
                                                        const fs::path& relative, uint64_t size) {
        const std::string extension = LowerExtension(relative);
        if (Below(relative, {"iTunes_Control", "Music"})) {
            if (const std::string kind = MediaKind(file); !kind.empty()) {
                metrics.media[kind].Add(size);
                return;
            }
        } else if (Below(relative, {"DCIM"}) &&
                   OneOf(extension, {"jpg", "jpeg", "png", "heic", "mov"})) {
            return metrics.photo.Add(size);
        } else if (Below(relative, {"Books"}) && OneOf(extension, {"epub", "pdf", "ibooks"})) {
            return metrics.book.Add(size);
        } else if (Below(relative, {"iTunes_Control", "Ringtones"}) && extension == "m4r") {
            return metrics.ringtone.Add(size);
        } else if (Below(relative, {"Recordings"}) && extension == "m4a") {
            return metrics.voiceMemo.Add(size);
        }
        metrics.userData.Add(size);
    });
    WalkFiles(device.HostPath("/var/mobile/Library"),
              [&](const fs::path&, const fs::path&, uint64_t size) { metrics.userData.Add(size); });

    // An application is a container holding a bundle; all of the container counts.
    std::error_code error;
    const fs::path containers = device.HostPath("/var/mobile/Applications");
    for (fs::directory_iterator it(containers, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code ignored;
        if (!fs::is_directory(it->symlink_status(ignored))) continue;
        bool holdsBundle = false;
        for (fs::directory_iterator inner(it->path(), ignored), innerEnd;
             !ignored && inner != innerEnd; inner.increment(ignored)) {
            holdsBundle |= inner->path().extension() == ".app" &&
                           fs::is_directory(inner->symlink_status(ignored));
        }
        if (!holdsBundle) continue;
        Tally container;
        WalkFiles(it->path(), [&](const fs::path&, const fs::path&, uint64_t size) {
            container.bytes += size;
        });
        metrics.application.Add(container.bytes);
    }
    return metrics;
}

plist_t TallyPlist(const Tally& tally) {
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, "_Count", plist_new_uint(tally.count));
    plist_dict_set_item(entry, "_PhysicalSize", plist_new_uint(tally.bytes));
    return entry;
}

PlistTree MetricsParams(const Device& device) {
    const Metrics metrics = ComputeMetrics(device);
    PlistTree params(plist_new_dict());
    plist_t media = plist_new_dict();
    for (const auto& [kind, tally] : metrics.media)
        plist_dict_set_item(media, kind.c_str(), TallyPlist(tally));
    plist_dict_set_item(params.get(), "Media", media);
    const std::pair<const char*, const Tally*> categories[] = {
        {"Photo", &metrics.photo},         {"Application", &metrics.application},
        {"Book", &metrics.book},           {"Ringtone", &metrics.ringtone},
        {"VoiceMemo", &metrics.voiceMemo}, {"UserData", &metrics.userData},
    };
    for (const auto& [name, tally] : categories)
        plist_dict_set_item(params.get(), name, TallyPlist(*tally));
    return params;
}

// ---- Links ------------------------------------------------------------------------------------

struct Behaviour {
    bool silent = false;
    int delayMs = 0;
};

// What the sender thread and the control functions share of one link.
struct LinkState {
    Device* device = nullptr;
    std::mutex mutex;
    std::condition_variable wake;
    Channel* channel = nullptr;  // null once the service is gone
    // A null message drops the link once the messages before it are out.
    std::deque<std::pair<Clock::time_point, PlistTree>> outgoing;
    bool stopping = false;
    uint64_t session = 0;
    PhotoSyncSession photoSync;  // used by the link's message handlers only
};

struct LinkList {
    std::mutex mutex;
    std::vector<std::weak_ptr<LinkState>> links;
    std::map<const Device*, Behaviour> behaviours;   // devices are never freed
    std::map<const Device*, std::string> hostInfos;  // the last "HostInfo" Params, as XML
};

LinkList& Links() {
    static LinkList* list = new LinkList;  // never destroyed, as the links' channels
    return *list;
}

Behaviour BehaviourOf(const Device& device) {
    LinkList& list = Links();
    std::lock_guard<std::mutex> lock(list.mutex);
    const auto found = list.behaviours.find(&device);
    return found != list.behaviours.end() ? found->second : Behaviour{};
}

std::vector<std::shared_ptr<LinkState>> LinksOf(const Device& device) {
    LinkList& list = Links();
    std::lock_guard<std::mutex> lock(list.mutex);
    std::vector<std::shared_ptr<LinkState>> found;
    for (const std::weak_ptr<LinkState>& weak : list.links)
        if (std::shared_ptr<LinkState> link = weak.lock(); link && link->device == &device)
            found.push_back(std::move(link));
    return found;
}

// Queues a message for the host; `params` is taken over.
void Send(LinkState& link, const char* command, plist_t params) {
    const Clock::time_point due =
        Clock::now() + std::chrono::milliseconds(BehaviourOf(*link.device).delayMs);
    std::lock_guard<std::mutex> lock(link.mutex);
    PlistTree message(plist_new_dict());
    // An empty name makes a message without "Command", which hosts must skip.
    if (*command != '\0') plist_dict_set_item(message.get(), "Command", plist_new_string(command));
    plist_dict_set_item(message.get(), "Params", params != nullptr ? params : plist_new_dict());
    plist_dict_set_item(message.get(), "Session", plist_new_uint(link.session));
    link.outgoing.emplace_back(due, std::move(message));
    link.wake.notify_all();
}

void AnswerHostInfo(LinkState& link, plist_t params) {
    {
        LinkList& list = Links();
        std::lock_guard<std::mutex> lock(list.mutex);
        plist_t info = params != nullptr ? plist_dict_get_item(params, "HostInfo") : nullptr;
        list.hostInfos[link.device] =
            info != nullptr && plist_get_node_type(info) == PLIST_DICT ? PlistXml(info) : "";
    }
    {
        std::lock_guard<std::mutex> lock(link.mutex);
        ++link.session;
    }
    if (BehaviourOf(*link.device).silent) return;
    Send(link, "InstalledAssets", nullptr);
    Send(link, "AssetMetrics", MetricsParams(*link.device).release());
    Send(link, "SyncAllowed", nullptr);
}

// Drops the link after the messages queued before, as a phone whose sync agent quits.
void QueueDrop(LinkState& link) {
    const Clock::time_point due =
        Clock::now() + std::chrono::milliseconds(BehaviourOf(*link.device).delayMs);
    std::lock_guard<std::mutex> lock(link.mutex);
    link.outgoing.emplace_back(due, PlistTree());
    link.wake.notify_all();
}

// The photo sync session's view of its link.
class SyncLink : public PhotoSyncLink {
  public:
    explicit SyncLink(LinkState& link) : link_(link) {}
    Device& device() const override { return *link_.device; }
    void Send(const char* command, plist_t params) override { md::Send(link_, command, params); }
    void Drop() override { QueueDrop(link_); }

  private:
    LinkState& link_;
};

template <void (PhotoSyncSession::*Handler)(PhotoSyncLink&, plist_t)>
void PhotoSyncCommand(LinkState& link, plist_t params) {
    SyncLink sync(link);
    (link.photoSync.*Handler)(sync, params);
}

// What the device does with each host command; commands it does not know are ignored, as the
// phone ignores a "PowerAssertion" or "Ping" it has nothing to answer to.
using HostCommand = void (*)(LinkState& link, plist_t params);
const std::map<std::string, HostCommand, std::less<>> kHostCommands = {
    {"HostInfo", &AnswerHostInfo},
    {"RequestingSync", &PhotoSyncCommand<&PhotoSyncSession::OnRequestingSync>},
    {"FinishedSyncingMetadata", &PhotoSyncCommand<&PhotoSyncSession::OnMetadataFinished>},
    {"FileComplete", &PhotoSyncCommand<&PhotoSyncSession::OnFileComplete>},
    {"FileError", &PhotoSyncCommand<&PhotoSyncSession::OnFileError>},
    {"SyncFailed", &PhotoSyncCommand<&PhotoSyncSession::OnSyncFailed>},
};

class AirTraffic : public Service {
  public:
    explicit AirTraffic(Device& device) : link_(std::make_shared<LinkState>()) {
        link_->device = &device;
    }

    ~AirTraffic() override {
        {
            std::lock_guard<std::mutex> lock(link_->mutex);
            link_->stopping = true;
            link_->channel = nullptr;
            link_->wake.notify_all();
        }
        if (sender_.joinable()) sender_.join();
    }

    void OnOpen(Channel& channel) override {
        {
            std::lock_guard<std::mutex> lock(link_->mutex);
            link_->channel = &channel;
        }
        {
            LinkList& list = Links();
            std::lock_guard<std::mutex> lock(list.mutex);
            std::erase_if(list.links,
                          [](const std::weak_ptr<LinkState>& link) { return link.expired(); });
            list.links.push_back(link_);
        }
        sender_ = std::thread([link = link_] { RunSender(*link); });
    }

    void OnMessage(Channel& channel, plist_t request, bool) override {
        // Anything but a command dictionary means the host lost track of the stream.
        if (plist_get_node_type(request) != PLIST_DICT) return channel.Close();
        const std::string command = StringValue(plist_dict_get_item(request, "Command"));
        if (command.empty()) return channel.Close();
        const auto handler = kHostCommands.find(command);
        if (handler == kHostCommands.end()) return;
        plist_t params = plist_dict_get_item(request, "Params");
        handler->second(*link_, plist_get_node_type(params) == PLIST_DICT ? params : nullptr);
    }

  private:
    // Sends each queued message when it is due, in the order they were queued.
    static void RunSender(LinkState& link) {
        std::unique_lock<std::mutex> lock(link.mutex);
        while (!link.stopping) {
            if (link.outgoing.empty()) {
                link.wake.wait(lock);
                continue;
            }
            if (const Clock::time_point due = link.outgoing.front().first; Clock::now() < due) {
                link.wake.wait_until(lock, due);
                continue;
            }
            PlistTree message = std::move(link.outgoing.front().second);
            link.outgoing.pop_front();
            Channel* channel = link.channel;
            // The channel outlives the service, whose destructor waits for this thread.
            lock.unlock();
            if (channel != nullptr && message != nullptr) channel->Reply(message.get(), true);
            if (channel != nullptr && message == nullptr) channel->Close();
            lock.lock();
        }
    }

    std::shared_ptr<LinkState> link_;
    std::thread sender_;
};

ServiceStart StartAirTraffic(Device& device) {
    return {0, std::make_unique<AirTraffic>(device)};
}

const bool kRegistered = RegisterService(kServiceName, &StartAirTraffic);

}  // namespace

int QueueAirTrafficMessage(const Device& device, const std::string& command, plist_t params) {
    const std::vector<std::shared_ptr<LinkState>> links = LinksOf(device);
    int queued = 0;
    for (const std::shared_ptr<LinkState>& link : links) {
        {
            std::lock_guard<std::mutex> lock(link->mutex);
            if (link->channel == nullptr || !link->channel->IsOpen()) continue;
        }
        Send(*link, command.c_str(), params != nullptr ? plist_copy(params) : nullptr);
        ++queued;
    }
    return queued;
}

std::string LastAirTrafficHostInfo(const Device& device) {
    LinkList& list = Links();
    std::lock_guard<std::mutex> lock(list.mutex);
    const auto found = list.hostInfos.find(&device);
    return found != list.hostInfos.end() ? found->second : std::string();
}

void SetAirTrafficSilent(const Device& device, bool silent) {
    LinkList& list = Links();
    std::lock_guard<std::mutex> lock(list.mutex);
    list.behaviours[&device].silent = silent;
}

void SetAirTrafficDelay(const Device& device, int delayMs) {
    LinkList& list = Links();
    std::lock_guard<std::mutex> lock(list.mutex);
    list.behaviours[&device].delayMs = delayMs;
}

int DropAirTrafficLinks(const Device& device) {
    int dropped = 0;
    for (const std::shared_ptr<LinkState>& link : LinksOf(device)) {
        std::lock_guard<std::mutex> lock(link->mutex);
        if (link->channel == nullptr) continue;
        // A detached device's links count as closed already, and must still end.
        dropped += link->channel->IsOpen() ? 1 : 0;
        link->channel->Close();
    }
    return dropped;
}

}  // namespace bw::sim::md
