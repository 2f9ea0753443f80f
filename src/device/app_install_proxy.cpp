#include "device/app_install_proxy.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

#include "device/app_icons.h"
#include "device/iphone_operation.h"
#include "device/runtime_values.h"
#include "platform/process.h"

namespace bw {

namespace {

// A device that never says "Complete" cannot keep the browse going for ever: real devices send
// their applications in batches of a few dozen, so this many replies is far beyond any of them.
constexpr int kMaxBrowseReplies = 100000;

std::string AsciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// The browse request goes out as XML text in the usual framing (length, then the bytes).
bool SendFramedText(rt::AMDServiceConnectionRef connection, const std::string& text) {
    if (connection == nullptr || text.empty() || text.size() > kMaxServiceMessageBytes) {
        return false;
    }
    const auto length = static_cast<uint32_t>(text.size());
    const unsigned char header[4] = {
        static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
        static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
    const RuntimeTable& runtime = Runtime();
    return runtime.AMDServiceConnectionSend(connection, header, sizeof header) == 4 &&
           runtime.AMDServiceConnectionSend(connection, text.data(), text.size()) ==
               static_cast<int>(text.size());
}

std::string TextValue(const CDicValueObj& attributes, std::string_view key) {
    return attributes.GetString(key).value_or(std::string());
}

struct ApplicationList {
    std::mutex mutex;
    std::string udid;  // the device the list was read from
    std::vector<InstalledApplication> applications;
};

// Process-wide and never destroyed, so that a listing on another thread at exit finds it intact.
ApplicationList& TheApplicationList() {
    static ApplicationList* list = new ApplicationList;
    return *list;
}

std::vector<InstalledApplication> ReadInstalledApplications(CIPhone& phone) {
    CDicValueObj browsed;
    {
        CAppInstallProxyService service(phone);
        if (service.connected == 0) return {};
        service.Browse(browsed);
    }
    std::vector<InstalledApplication> applications = MakeApplicationEntries(browsed);
    if (applications.empty()) return applications;

    if (OpenSpringboardServices(phone)) {
        for (InstalledApplication& application : applications) {
            // A failed exchange leaves the stream out of step: a later reply could belong to an
            // earlier request, so no more icons are asked for on this connection.
            if (!GetIconPngData(phone, application.bundleIdentifier, application.iconData)) break;
        }
        phone.CloseSession();
    }
    for (InstalledApplication& application : applications) {
        if (!application.iconData.empty()) continue;
        if (!phone.OpenAppContainer(application.bundleIdentifier)) continue;
        ReadAppArtwork(phone, application.iconData);
        phone.CloseAppContainer();
        phone.CloseSession();
    }
    return applications;
}

}  // namespace

CAppInstallProxyService::CAppInstallProxyService(CIPhone& phone) {
    DeviceOperation operation(phone);
    if (!operation) return;
    const RuntimeTable& runtime = Runtime();
    if (runtime.AMDeviceConnect(phone.device) != 0) return;
    if (runtime.AMDeviceStartSession(phone.device) != 0) {
        runtime.AMDeviceDisconnect(phone.device);
        return;
    }
    if (StartDeviceService(phone.device, kInstallationProxyService, &serviceHandle) == 0 &&
        serviceHandle != nullptr) {
        // The runtime makes a service connection from the started service's socket; the secure
        // context (null over USB) is passed along so that a device on the network is spoken to
        // through its encrypted channel. The new connection takes the started handle over.
        const auto started = static_cast<rt::AMDServiceConnectionRef>(serviceHandle);
        const int socket = runtime.AMDServiceConnectionGetSocket(started);
        void* secureContext = runtime.AMDServiceConnectionGetSecureIOContext(started);
        if (socket >= 0) {
            connection_ = runtime.AMDServiceConnectionCreate(socket, secureContext, nullptr);
        }
        if (connection_ == nullptr) CloseServiceHandle(serviceHandle);
    }
    if (connection_ == nullptr) serviceHandle = nullptr;
    connected = connection_ != nullptr ? 1 : 0;
    runtime.AMDeviceStopSession(phone.device);
    runtime.AMDeviceDisconnect(phone.device);
}

CAppInstallProxyService::~CAppInstallProxyService() {
    if (connection_ == nullptr || !RuntimeLoaded()) return;
    Runtime().AMDServiceConnectionInvalidate(connection_);
    Runtime().CFRelease(connection_);
    connection_ = nullptr;
    serviceHandle = nullptr;
}

void CAppInstallProxyService::Browse(CDicValueObj& applications) {
    if (browsed != 0) {
        applications = browseResult;
        return;
    }
    browsed = 1;
    std::map<std::string, CDicValueObj> found;
    std::string request;
    writeXmlutf8(MakeBrowseRequest(), request);
    if (!request.empty() && SendFramedText(connection_, request)) {
        // The device answers a request it has only just received more reliably after a moment.
        platform::Sleep(10);
        for (int replies = 0; replies < kMaxBrowseReplies; ++replies) {
            CDicValueObj reply;
            if (!Receive(reply)) break;
            if (TakeBrowseReply(reply, found) == BrowseStep::Stop) break;
        }
    }
    browseResult = CDicValueObj::MakeDictionary();
    PlistDictionary* result = browseResult.Dictionary();
    result->reserve(found.size());
    for (auto& [identifier, attributes] : found)
        result->emplace_back(identifier, std::move(attributes));
    applications = browseResult;
}

CDicValueObj MakeBrowseRequest() {
    CDicValueObj attributes = CDicValueObj::MakeArray();
    for (const char* name :
         {"CFBundleIdentifier", "ApplicationType", "CFBundleName", "CFBundleDisplayName",
          "CFBundleExecutable", "CFBundleVersion", "CFBundleShortVersionString", "Path",
          "MinimumOSVersion", "UIDeviceFamily", "DynamicDiskUsage", "StaticDiskUsage"}) {
        attributes.Array()->push_back(CDicValueObj::MakeString(name));
    }
    CDicValueObj options = CDicValueObj::MakeDictionary();
    options.Set("ReturnAttributes", std::move(attributes));
    CDicValueObj request = CDicValueObj::MakeDictionary();
    request.Set("Command", CDicValueObj::MakeString("Browse"));
    request.Set("ClientOptions", std::move(options));
    return request;
}

BrowseStep TakeBrowseReply(const CDicValueObj& reply,
                           std::map<std::string, CDicValueObj>& applications) {
    if (reply.Dictionary() == nullptr) return BrowseStep::Stop;
    if (const std::optional<std::string> status = reply.GetString("Status");
        status && AsciiLower(*status) == "complete") {
        return BrowseStep::Stop;
    }
    // A refused browse says so in "Error" and sends nothing more; waiting for another reply
    // would only end in the receive timeout.
    if (reply.Find("Error") != nullptr) return BrowseStep::Stop;
    const CDicValueObj* list = reply.Find("CurrentList");
    if (list == nullptr || list->Array() == nullptr) return BrowseStep::Continue;
    for (const CDicValueObj& entry : *list->Array()) {
        const std::optional<std::string> type = entry.GetString("ApplicationType");
        if (!type || AsciiLower(*type) != "user") continue;
        std::optional<std::string> identifier = entry.GetString("CFBundleIdentifier");
        if (!identifier || identifier->empty()) continue;
        applications[std::move(*identifier)] = entry;
    }
    return BrowseStep::Continue;
}

std::vector<InstalledApplication> MakeApplicationEntries(const CDicValueObj& applications) {
    std::vector<InstalledApplication> entries;
    const PlistDictionary* browsed = applications.Dictionary();
    if (browsed == nullptr) return entries;
    entries.reserve(browsed->size());
    for (const auto& [identifier, attributes] : *browsed) {
        if (identifier.empty()) continue;
        InstalledApplication entry;
        entry.bundleIdentifier = identifier;
        // An empty display name counts as missing, and an application with neither name is
        // shown under its identifier: the host always has something to show.
        entry.name = TextValue(attributes, "CFBundleDisplayName");
        if (entry.name.empty()) entry.name = TextValue(attributes, "CFBundleName");
        if (entry.name.empty()) entry.name = identifier;
        entries.push_back(std::move(entry));
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const InstalledApplication& a, const InstalledApplication& b) {
                         return a.bundleIdentifier < b.bundleIdentifier;
                     });
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const InstalledApplication& a, const InstalledApplication& b) {
                                  return a.bundleIdentifier == b.bundleIdentifier;
                              }),
                  entries.end());
    return entries;
}

// The list is read from the device once and reused, as every scan of the session asks for it.
// It is read again when another device is asked for (a list from one phone is wrong for any
// other) and while it is empty (a service that could not be started leaves nothing to reuse).
std::vector<InstalledApplication> ListInstalledApplications(CIPhone& phone) {
    // A device that left has no applications to show, and its leaving does not cost the list.
    if (phone.IsRetired() || phone.ready.load() == 0) return {};
    ApplicationList& list = TheApplicationList();
    std::lock_guard<std::mutex> lock(list.mutex);
    if (!list.applications.empty() && list.udid == phone.udid) return list.applications;
    list.applications = ReadInstalledApplications(phone);
    list.udid = phone.udid;
    return list.applications;
}

void ForgetInstalledApplications() {
    ApplicationList& list = TheApplicationList();
    std::lock_guard<std::mutex> lock(list.mutex);
    list.applications.clear();
    list.udid.clear();
}

}  // namespace bw
