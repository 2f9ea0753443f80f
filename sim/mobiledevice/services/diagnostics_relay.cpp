// "com.apple.mobile.diagnostics_relay": requests are dictionaries {"Request": name}, answered
// {"Status": "Success"} or {"Status": "UnknownRequest"} in the request's form. "Restart" and
// "Shutdown" make the device leave, as an unplugged phone does; a restarted device arrives again
// from its image folder, a new device object with the values it had, after the time of its
// "RestartSeconds" switch (or of BwSimSetRestartDelay). "Sleep" only answers; "Goodbye" answers
// and ends the connection.
//
// A phone goes down a moment after it answers, not while the host is still talking to lockdown:
// hosts send the request, stop their session and disconnect, then close the relay connection.
// So the device leaves once the relay connection is closed, or after kLeaveGrace when the host
// keeps it open; the host need not read the answer.
#include "services/diagnostics_relay.h"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "channel.h"
#include "common/plist_file.h"
#include "common/plist_tree.h"
#include "device.h"
#include "service.h"
#include "status.h"

namespace bw::sim::md {
namespace {

using namespace std::chrono_literals;

constexpr char kServiceName[] = "com.apple.mobile.diagnostics_relay";
constexpr std::chrono::milliseconds kLeaveGrace = 1s;
constexpr std::chrono::milliseconds kLookAgain = 20ms;
constexpr std::chrono::milliseconds kDefaultRestartDelay = 1s;
constexpr uint64_t kLongestRestartSeconds = 3600;

// Restarts and shutdowns asked for and finished, per device identifier, across the device objects
// of it.
struct RestartBook {
    struct Progress {
        long asked = 0;
        long finished = 0;
        std::string failure;   // of the last restart that could not bring the device back
        long detachments = 0;  // by the control API: a restart under way then stays away
    };

    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, std::chrono::milliseconds, std::less<>> delays;
    std::map<std::string, Progress, std::less<>> progress;
};

RestartBook& Book() {
    static RestartBook* book = new RestartBook;  // never destroyed: restarts outlive static cleanup
    return *book;
}

// What the leaving thread knows of the relay connection: whether the host still holds it open.
struct RelayLink {
    std::mutex mutex;
    std::condition_variable closed;
    Channel* channel = nullptr;  // null once the service is gone
};

bool HostHoldsRelay(RelayLink& link) {
    return link.channel != nullptr && link.channel->IsOpen();
}

void FinishRestart(const std::string& udid, std::string failure) {
    RestartBook& book = Book();
    std::lock_guard<std::mutex> lock(book.mutex);
    RestartBook::Progress& progress = book.progress[udid];
    ++progress.finished;
    if (!failure.empty()) progress.failure = std::move(failure);
    book.changed.notify_all();
}

struct Departure {
    std::shared_ptr<RelayLink> link;
    Device* device = nullptr;
    std::string udid;
    std::string imageFolder;
    bool comesBack = false;
    std::chrono::milliseconds delay{0};
    long detachments = 0;  // of the device when it was asked to go
};

// Runs on a thread of its own: the device leaves, and a restarted one arrives again.
void Depart(const Departure& departure) {
    {
        // The last release wakes this thread; an invalidation alone is noticed on the next look.
        const auto deadline = std::chrono::steady_clock::now() + kLeaveGrace;
        std::unique_lock<std::mutex> lock(departure.link->mutex);
        while (HostHoldsRelay(*departure.link) && std::chrono::steady_clock::now() < deadline)
            departure.link->closed.wait_for(lock, kLookAgain);
    }
    bool left = false;
    {
        std::lock_guard<std::mutex> lock(DeviceMutex());
        left = FindAttachedDevice(departure.udid) == departure.device;
    }
    left = left && DetachDevice(departure.udid);
    if (!departure.comesBack) {
        FinishRestart(departure.udid, {});
        return;
    }
    if (!left) {
        FinishRestart(departure.udid, "the device " + departure.udid + " left before it restarted");
        return;
    }
    // The phone's boot time, cut short when the control API detaches the device meanwhile (as
    // unplugging a restarting phone keeps it from arriving).
    {
        RestartBook& book = Book();
        std::unique_lock<std::mutex> lock(book.mutex);
        const RestartBook::Progress& progress = book.progress[departure.udid];
        if (book.changed.wait_for(lock, departure.delay,
                                  [&] { return progress.detachments != departure.detachments; })) {
            lock.unlock();
            FinishRestart(departure.udid,
                          "the device " + departure.udid + " was detached while it restarted");
            return;
        }
    }
    Image image;
    std::string error;
    if (!LoadImage(departure.imageFolder, image, error) || !AttachImage(std::move(image), error)) {
        FinishRestart(departure.udid,
                      "the device " + departure.udid + " did not come back: " + error);
        return;
    }
    FinishRestart(departure.udid, {});
}

PlistTree StatusReply(const char* status) {
    PlistTree reply(plist_new_dict());
    plist_dict_set_item(reply.get(), "Status", plist_new_string(status));
    return reply;
}

class DiagnosticsRelay : public Service {
  public:
    explicit DiagnosticsRelay(Device& device)
        : device_(device), link_(std::make_shared<RelayLink>()) {}

    ~DiagnosticsRelay() override {
        std::lock_guard<std::mutex> lock(link_->mutex);
        link_->channel = nullptr;
        link_->closed.notify_all();
    }

    void OnOpen(Channel& channel) override {
        std::lock_guard<std::mutex> lock(link_->mutex);
        link_->channel = &channel;
    }

    void OnMessage(Channel& channel, plist_t request, bool binary) override {
        if (leaving_) return;  // the device is going down and hears nothing more
        const std::string name = plist_get_node_type(request) == PLIST_DICT
                                     ? StringValue(plist_dict_get_item(request, "Request"))
                                     : std::string();
        if (name == "Restart" || name == "Shutdown") {
            channel.Reply(StatusReply("Success").get(), binary);
            Leave(name == "Restart");
        } else if (name == "Sleep") {
            channel.Reply(StatusReply("Success").get(), binary);
        } else if (name == "Goodbye") {
            channel.Reply(StatusReply("Success").get(), binary);
            channel.Close();
        } else {
            channel.Reply(StatusReply("UnknownRequest").get(), binary);
        }
    }

  private:
    void Leave(bool comesBack) {
        leaving_ = true;
        std::chrono::milliseconds delay = kDefaultRestartDelay;
        long detachments = 0;
        if (device_.switches.restartSeconds)
            delay = std::chrono::seconds(
                std::min(*device_.switches.restartSeconds, kLongestRestartSeconds));
        {
            RestartBook& book = Book();
            std::lock_guard<std::mutex> lock(book.mutex);
            if (const auto found = book.delays.find(device_.udid); found != book.delays.end())
                delay = found->second;
            RestartBook::Progress& progress = book.progress[device_.udid];
            ++progress.asked;
            progress.failure.clear();
            detachments = progress.detachments;
        }
        Departure departure{link_,     &device_, device_.udid, device_.imageFolder,
                            comesBack, delay,    detachments};
        std::thread([departure] { Depart(departure); }).detach();
    }

    Device& device_;
    const std::shared_ptr<RelayLink> link_;
    bool leaving_ = false;  // requests reach the service one at a time
};

ServiceStart StartDiagnosticsRelay(Device& device) {
    return {kAmdSuccess, std::make_unique<DiagnosticsRelay>(device)};
}

[[maybe_unused]] const bool kRegistered = RegisterService(kServiceName, &StartDiagnosticsRelay);

}  // namespace

void SetRestartDelay(const std::string& udid, std::optional<std::chrono::milliseconds> delay) {
    RestartBook& book = Book();
    std::lock_guard<std::mutex> lock(book.mutex);
    if (delay) {
        book.delays[udid] = *delay;
    } else {
        book.delays.erase(udid);
    }
}

void CancelRestarts(const std::optional<std::string>& udid) {
    RestartBook& book = Book();
    std::lock_guard<std::mutex> lock(book.mutex);
    for (auto& [identifier, progress] : book.progress)
        if (!udid || identifier == *udid) ++progress.detachments;
    book.changed.notify_all();
}

RestartOutcome WaitForRestarts(const std::string& udid, std::chrono::milliseconds timeout,
                               std::string& error) {
    RestartBook& book = Book();
    std::unique_lock<std::mutex> lock(book.mutex);
    const auto found = book.progress.find(udid);
    if (found == book.progress.end() || found->second.asked == 0) return RestartOutcome::NoneAsked;
    const RestartBook::Progress& progress = found->second;
    if (!book.changed.wait_for(lock, timeout, [&] { return progress.finished == progress.asked; }))
        return RestartOutcome::TimedOut;
    if (progress.failure.empty()) return RestartOutcome::Finished;
    error = progress.failure;
    return RestartOutcome::Failed;
}

}  // namespace bw::sim::md
