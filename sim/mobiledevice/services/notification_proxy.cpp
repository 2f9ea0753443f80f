// "com.apple.mobile.notification_proxy": the host observes and posts notifications on the
// device. Observed ones that are posted on the device (BwSimPostDeviceNotification, or by the
// host itself) are relayed: to the AMDListenForNotifications callback on the notification thread
// when there is one, else as a "RelayNotification" message the host reads with
// AMDServiceConnectionReceive.
#include "services/notification_proxy.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "MobileDevice.h"
#include "channel.h"
#include "common/plist_file.h"
#include "common/plist_tree.h"
#include "connection.h"
#include "device.h"
#include "failures.h"
#include "notifications.h"
#include "status.h"
#include "text.h"

namespace bw::sim::md {
namespace {

constexpr char kServiceName[] = "com.apple.mobile.notification_proxy";

// What relays need of a proxy, shared with the relay tasks queued for it.
struct ProxyState {
    Device* device = nullptr;
    std::mutex mutex;
    Channel* channel = nullptr;  // null once the service is gone
    std::set<std::string, std::less<>> observed;
    am_notification_proxy_callback listener = nullptr;
    void* listenerContext = nullptr;
};

struct ProxyList {
    std::mutex mutex;
    std::vector<std::weak_ptr<ProxyState>> proxies;
};

ProxyList& Proxies() {
    static ProxyList* list = new ProxyList;  // never destroyed, as the proxies' channels
    return *list;
}

class NotificationProxy : public Service {
  public:
    explicit NotificationProxy(Device& device) : state_(std::make_shared<ProxyState>()) {
        state_->device = &device;
    }

    ~NotificationProxy() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->channel = nullptr;
    }

    void OnOpen(Channel& channel) override {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->channel = &channel;
        }
        ProxyList& list = Proxies();
        std::lock_guard<std::mutex> lock(list.mutex);
        std::erase_if(list.proxies,
                      [](const std::weak_ptr<ProxyState>& proxy) { return proxy.expired(); });
        list.proxies.push_back(state_);
    }

    void OnMessage(Channel& channel, plist_t request, bool binary) override {
        if (plist_get_node_type(request) != PLIST_DICT) return;
        const std::string command = StringValue(plist_dict_get_item(request, "Command"));
        const std::string name = StringValue(plist_dict_get_item(request, "Name"));
        if (command == "ObserveNotification" && !name.empty()) {
            Observe(name);
        } else if (command == "PostNotification" && !name.empty()) {
            PostFromHost(*state_->device, name);
        } else if (command == "Shutdown") {
            PlistTree death(plist_new_dict());
            plist_dict_set_item(death.get(), "Command", plist_new_string("ProxyDeath"));
            channel.Reply(death.get(), binary);
            channel.Close();
        }
    }

    void Observe(const std::string& name) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->observed.insert(name);
    }

    void Listen(am_notification_proxy_callback callback, void* context) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->listener = callback;
        state_->listenerContext = context;
    }

  private:
    std::shared_ptr<ProxyState> state_;
};

void DeliverToListener(const std::weak_ptr<ProxyState>& weak, const std::string& name) {
    const std::shared_ptr<ProxyState> state = weak.lock();
    if (state == nullptr) return;
    am_notification_proxy_callback listener = nullptr;
    void* context = nullptr;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->channel == nullptr || !state->channel->IsOpen()) return;
        listener = state->listener;
        context = state->listenerContext;
    }
    if (listener == nullptr) return;
    const CFStringRef text = NewCFString(name);
    if (text == nullptr) return;
    listener(text, context);
    CFRelease(text);
}

// With the state's lock held.
void RelayLocked(const std::shared_ptr<ProxyState>& state, const std::string& name) {
    if (state->listener != nullptr) {
        QueueTask(
            [weak = std::weak_ptr<ProxyState>(state), name] { DeliverToListener(weak, name); });
        return;
    }
    PlistTree relay(plist_new_dict());
    plist_dict_set_item(relay.get(), "Command", plist_new_string("RelayNotification"));
    plist_dict_set_item(relay.get(), "Name", plist_new_string(name.c_str()));
    state->channel->Reply(relay.get(), false);
}

// The proxy behind a channel; null with a status when it is none or closed.
NotificationProxy* ProxyOf(const std::shared_ptr<Channel>& channel, int& status) {
    if (channel == nullptr) {
        status = kAmdInvalidArgument;
        return nullptr;
    }
    auto* proxy = dynamic_cast<NotificationProxy*>(&channel->service());
    status = proxy == nullptr     ? kAmdInvalidArgument
             : !channel->IsOpen() ? kAmdNotConnected
                                  : kAmdSuccess;
    return status == kAmdSuccess ? proxy : nullptr;
}

ServiceStart StartNotificationProxy(Device& device) {
    return {kAmdSuccess, std::make_unique<NotificationProxy>(device)};
}

[[maybe_unused]] const bool kRegistered = RegisterService(kServiceName, &StartNotificationProxy);

}  // namespace

int PostOnDevice(const Device& device, const std::string& name) {
    std::vector<std::shared_ptr<ProxyState>> proxies;
    {
        ProxyList& list = Proxies();
        std::lock_guard<std::mutex> lock(list.mutex);
        for (const auto& weak : list.proxies)
            if (auto state = weak.lock(); state != nullptr && state->device == &device)
                proxies.push_back(std::move(state));
    }
    int relayed = 0;
    for (const auto& state : proxies) {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->channel == nullptr || !state->channel->IsOpen() ||
            state->observed.count(name) == 0)
            continue;
        RelayLocked(state, name);
        ++relayed;
    }
    return relayed;
}

void PostFromHost(Device& device, const std::string& name) {
    {
        std::lock_guard<std::mutex> lock(DeviceMutex());
        ++device.hostNotifications[name];
    }
    PostOnDevice(device, name);
}

}  // namespace bw::sim::md

using namespace bw::sim::md;

extern "C" {

int AMDObserveNotification(const void* socketOrConnection, CFStringRef name) {
    if (const auto failure = TakeFailure(__func__, name)) return *failure;
    const std::optional<std::string> text = Utf8Text(name);
    if (!text || text->empty()) return kAmdInvalidArgument;
    const std::shared_ptr<Channel> channel = FindChannelOrSocket(socketOrConnection);
    int status = kAmdSuccess;
    if (NotificationProxy* proxy = ProxyOf(channel, status)) proxy->Observe(*text);
    return status;
}

int AMDPostNotification(const void* socketOrConnection, CFStringRef name, CFStringRef) {
    if (const auto failure = TakeFailure(__func__, name)) return *failure;
    const std::optional<std::string> text = Utf8Text(name);
    if (!text || text->empty()) return kAmdInvalidArgument;
    const std::shared_ptr<Channel> channel = FindChannelOrSocket(socketOrConnection);
    int status = kAmdSuccess;
    if (ProxyOf(channel, status) != nullptr) PostFromHost(channel->device(), *text);
    return status;
}

int AMDListenForNotifications(const void* socketOrConnection,
                              am_notification_proxy_callback callback, void* context) {
    if (const auto failure = TakeFailure(__func__)) return *failure;
    if (callback == nullptr) return kAmdInvalidArgument;
    const std::shared_ptr<Channel> channel = FindChannelOrSocket(socketOrConnection);
    int status = kAmdSuccess;
    if (NotificationProxy* proxy = ProxyOf(channel, status)) proxy->Listen(callback, context);
    return status;
}

}  // extern "C"
