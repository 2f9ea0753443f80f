// The installation proxy answers "Browse" with the applications in batches ("CurrentList", with
// "Status" "BrowsingApplications") and a closing {"Status": "Complete"}, and "Lookup" with one
// "LookupResult" dictionary. Replies take the form of the request (XML or binary).
#include "services/installation_proxy.h"

#include <algorithm>
#include <memory>

#include "channel.h"
#include "common/plist_file.h"
#include "device.h"
#include "service.h"
#include "status.h"

namespace bw::sim::md {
namespace {

// Real devices send a few applications per message; small batches make hosts that read only
// the first reply, or stop at the first one without "CurrentList", fail visibly.
constexpr size_t kBatchSize = 4;
constexpr uint32_t kMostRequestedAttributes = 1024;

PlistTree ErrorReply(const std::string& name, const std::string& description) {
    PlistTree reply(plist_new_dict());
    plist_dict_set_item(reply.get(), "Error", plist_new_string(name.c_str()));
    plist_dict_set_item(reply.get(), "ErrorDescription", plist_new_string(description.c_str()));
    return reply;
}

PlistTree StatusReply(const char* status) {
    PlistTree reply(plist_new_dict());
    plist_dict_set_item(reply.get(), "Status", plist_new_string(status));
    return reply;
}

bool Wants(const BrowseOptions& options, const std::string& key) {
    return !options.attributes || std::find(options.attributes->begin(), options.attributes->end(),
                                            key) != options.attributes->end();
}

class InstallationProxy : public Service {
  public:
    explicit InstallationProxy(Device& device) : device_(device) {}

    void OnMessage(Channel& channel, plist_t request, bool binary) override {
        if (plist_get_node_type(request) != PLIST_DICT) {
            channel.Reply(ErrorReply("InvalidRequest", "The request is not a dictionary").get(),
                          binary);
            return;
        }
        const std::string command = StringValue(plist_dict_get_item(request, "Command"));
        BrowseOptions options;
        std::string error;
        if (command != "Browse" && command != "Lookup") {
            channel.Reply(ErrorReply(command.empty() ? "MissingCommand" : "UnknownCommand",
                                     "The command \"" + command + "\" is not supported")
                              .get(),
                          binary);
            return;
        }
        plist_t clientOptions = plist_dict_get_item(request, "ClientOptions");
        if (!ReadBrowseOptions(clientOptions, options, error)) {
            channel.Reply(ErrorReply(error, "The client options are not valid").get(), binary);
            return;
        }
        if (command == "Browse") {
            Browse(channel, options, binary);
        } else {
            Lookup(channel, clientOptions, options, binary);
        }
    }

  private:
    void Browse(Channel& channel, const BrowseOptions& options, bool binary) {
        std::vector<InstalledApp> apps = ListInstalledApps(device_);
        std::erase_if(apps, [&](const InstalledApp& app) { return !Selects(options, app); });
        for (size_t start = 0; start < apps.size(); start += kBatchSize) {
            const size_t end = std::min(apps.size(), start + kBatchSize);
            PlistTree reply(plist_new_dict());
            plist_dict_set_item(reply.get(), "CurrentAmount", plist_new_uint(end - start));
            plist_dict_set_item(reply.get(), "CurrentIndex", plist_new_uint(start));
            plist_t list = plist_new_array();
            for (size_t i = start; i < end; ++i)
                plist_array_append_item(list, AppAttributes(apps[i], options).release());
            plist_dict_set_item(reply.get(), "CurrentList", list);
            plist_dict_set_item(reply.get(), "Status", plist_new_string("BrowsingApplications"));
            plist_dict_set_item(reply.get(), "Total", plist_new_uint(apps.size()));
            channel.Reply(reply.get(), binary);
        }
        channel.Reply(StatusReply("Complete").get(), binary);
    }

    // "BundleIDs" narrows the answer to the named applications; unknown names are left out.
    void Lookup(Channel& channel, plist_t clientOptions, const BrowseOptions& options,
                bool binary) {
        plist_t wanted =
            clientOptions != nullptr ? plist_dict_get_item(clientOptions, "BundleIDs") : nullptr;
        if (wanted != nullptr && plist_get_node_type(wanted) != PLIST_ARRAY) {
            channel.Reply(ErrorReply("InvalidArguments", "BundleIDs is not an array").get(),
                          binary);
            return;
        }
        std::vector<std::string> names;
        if (wanted != nullptr) {
            const uint32_t count = plist_array_get_size(wanted);
            for (uint32_t i = 0; i < count && i < kMostRequestedAttributes; ++i)
                names.push_back(StringValue(plist_array_get_item(wanted, i)));
        }
        PlistTree result(plist_new_dict());
        for (const InstalledApp& app : ListInstalledApps(device_)) {
            if (!Selects(options, app)) continue;
            if (wanted != nullptr &&
                std::find(names.begin(), names.end(), app.bundleId) == names.end())
                continue;
            plist_dict_set_item(result.get(), app.bundleId.c_str(),
                                AppAttributes(app, options).release());
        }
        PlistTree reply(plist_new_dict());
        plist_dict_set_item(reply.get(), "LookupResult", result.release());
        plist_dict_set_item(reply.get(), "Status", plist_new_string("Complete"));
        channel.Reply(reply.get(), binary);
    }

    Device& device_;
};

ServiceStart StartInstallationProxy(Device& device) {
    return {kAmdSuccess, std::make_unique<InstallationProxy>(device)};
}

[[maybe_unused]] const bool kRegistered =
    RegisterService("com.apple.mobile.installation_proxy", &StartInstallationProxy);

}  // namespace

bool ReadBrowseOptions(plist_t clientOptions, BrowseOptions& out, std::string& error) {
    out = {};
    if (clientOptions == nullptr) return true;
    error = "InvalidArguments";
    if (plist_get_node_type(clientOptions) != PLIST_DICT) return false;
    if (plist_t type = plist_dict_get_item(clientOptions, "ApplicationType")) {
        const std::string text = StringValue(type);
        if (text == "User") {
            out.system = false;
        } else if (text == "System") {
            out.system = true;
        } else if (text != "Any") {
            return false;
        }
    }
    if (plist_t attributes = plist_dict_get_item(clientOptions, "ReturnAttributes")) {
        if (plist_get_node_type(attributes) != PLIST_ARRAY ||
            plist_array_get_size(attributes) > kMostRequestedAttributes)
            return false;
        out.attributes.emplace();
        const uint32_t count = plist_array_get_size(attributes);
        for (uint32_t i = 0; i < count; ++i) {
            plist_t item = plist_array_get_item(attributes, i);
            if (plist_get_node_type(item) != PLIST_STRING) return false;
            out.attributes->push_back(StringValue(item));
        }
    }
    error.clear();
    return true;
}

bool Selects(const BrowseOptions& options, const InstalledApp& app) {
    return !options.system || *options.system == app.system;
}

PlistTree AppAttributes(const InstalledApp& app, const BrowseOptions& options) {
    PlistTree all(plist_copy(app.info.get()));
    // The device's own keys win over whatever a bundle's Info.plist claims.
    plist_dict_set_item(all.get(), "ApplicationType",
                        plist_new_string(app.system ? "System" : "User"));
    plist_dict_set_item(all.get(), "Path", plist_new_string(app.bundleDevice.c_str()));
    if (!app.system)
        plist_dict_set_item(all.get(), "Container", plist_new_string(app.containerDevice.c_str()));
    // Walking a container is the costly part of a browse: only when it was asked for.
    if (Wants(options, "StaticDiskUsage"))
        plist_dict_set_item(all.get(), "StaticDiskUsage",
                            plist_new_uint(FolderBytes(app.bundleHost)));
    if (Wants(options, "DynamicDiskUsage")) {
        const uint64_t container = app.system ? 0 : FolderBytes(app.containerHost);
        const uint64_t bundle = app.system ? 0 : FolderBytes(app.bundleHost);
        plist_dict_set_item(all.get(), "DynamicDiskUsage",
                            plist_new_uint(container > bundle ? container - bundle : 0));
    }
    if (!options.attributes) return all;
    PlistTree chosen(plist_new_dict());
    for (const std::string& key : *options.attributes) {
        if (key.find('\0') != std::string::npos) continue;
        if (plist_t value = plist_dict_get_item(all.get(), key.c_str()))
            plist_dict_set_item(chosen.get(), key.c_str(), plist_copy(value));
    }
    return chosen;
}

}  // namespace bw::sim::md
