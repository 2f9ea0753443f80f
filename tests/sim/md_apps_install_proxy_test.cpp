// The simulator's installation proxy: browses in batches closed by "Complete", returned
// attributes, errors and hostile requests. The user/system filter is checked through the library
// by AppListing; random garbage is the apps-messages fuzzer's; nothing asks for a Lookup.
#include <set>

#include "cf/cf_plist.h"
#include "md_apps_support.h"

namespace bw::sim::mdtest {
namespace {

constexpr char kService[] = "com.apple.mobile.installation_proxy";

std::string Uuid(int n) {
    char text[64];
    std::snprintf(text, sizeof text, "5D1C0A7E-%04d-4000-8000-0000000000%02d", n, n);
    return text;
}

class SimMdInstallProxy : public SimMdTest {
  protected:
    // An image holding `users` user applications ("com.example.user<N>") and `systems` system
    // ones ("com.apple.system<N>"), nothing else.
    AMDeviceRef DeviceWithApps(int users, int systems) {
        image_ = MakeImage(WithUdid('4'));
        const BundleWriter writer(image_);
        writer.RemoveBuilderApps();
        for (int i = 0; i < users; ++i)
            writer.App(Uuid(i), "User" + std::to_string(i), "com.example.user" + std::to_string(i),
                       "User App " + std::to_string(i));
        for (int i = 0; i < systems; ++i)
            writer.App("", "System" + std::to_string(i), "com.apple.system" + std::to_string(i));
        return Device(Attach(image_));
    }

    // Every reply to one request, up to and including the one with "Status" "Complete" (or an
    // "Error"); `complete` tells whether the exchange closed properly.
    static std::vector<Reply> Exchange(AMDServiceConnectionRef connection, plist_t request,
                                       bool binary, bool* complete = nullptr) {
        std::vector<Reply> replies;
        EXPECT_TRUE(SendMessage(connection, request, binary));
        plist_free(request);
        bool done = false;
        while (!done) {
            std::optional<Reply> reply = ReceiveReply(connection);
            if (!reply) break;
            done = Str(Item(reply->tree.get(), "Status")) == "Complete" ||
                   Item(reply->tree.get(), "Error") != nullptr;
            replies.push_back(std::move(*reply));
        }
        if (complete != nullptr) *complete = done;
        return replies;
    }

    static plist_t Browse(const char* type, std::optional<std::vector<std::string>> attributes) {
        plist_t request = plist_new_dict();
        plist_dict_set_item(request, "Command", plist_new_string("Browse"));
        plist_t options = plist_new_dict();
        if (type != nullptr)
            plist_dict_set_item(options, "ApplicationType", plist_new_string(type));
        if (attributes) plist_dict_set_item(options, "ReturnAttributes", StringArray(*attributes));
        plist_dict_set_item(request, "ClientOptions", options);
        return request;
    }

    // The applications of every "CurrentList", in the order they came.
    static std::vector<plist_t> Listed(const std::vector<Reply>& replies) {
        std::vector<plist_t> apps;
        for (const Reply& reply : replies) {
            plist_t list = Item(reply.tree.get(), "CurrentList");
            if (list == nullptr) continue;
            for (uint32_t i = 0; i < plist_array_get_size(list); ++i)
                apps.push_back(plist_array_get_item(list, i));
        }
        return apps;
    }

    std::string image_;
};

TEST_F(SimMdInstallProxy, BrowseAnswersInBatchesClosedByComplete) {
    AMDeviceRef device = DeviceWithApps(10, 3);
    AMDServiceConnectionRef connection = nullptr;
    ASSERT_EQ(StartService(device, kService, &connection), 0);
    for (const bool binary : {false, true}) {
        bool complete = false;
        const std::vector<Reply> replies = Exchange(
            connection, Browse(nullptr, Strings({"CFBundleIdentifier", "ApplicationType"})), binary,
            &complete);
        ASSERT_TRUE(complete);
        ASSERT_GE(replies.size(), 4u) << "13 applications come in several batches";
        uint64_t next = 0;
        for (size_t i = 0; i + 1 < replies.size(); ++i) {
            plist_t reply = replies[i].tree.get();
            EXPECT_EQ(replies[i].binary, binary) << "replies take the request's form";
            EXPECT_EQ(Str(Item(reply, "Status")), "BrowsingApplications");
            EXPECT_EQ(Uint(Item(reply, "Total")), 13u);
            EXPECT_EQ(Uint(Item(reply, "CurrentIndex")), next);
            const uint32_t amount = plist_array_get_size(Item(reply, "CurrentList"));
            EXPECT_EQ(Uint(Item(reply, "CurrentAmount")), amount);
            EXPECT_GE(amount, 1u);
            EXPECT_LE(amount, 5u);
            next += amount;
        }
        EXPECT_EQ(next, 13u);
        EXPECT_EQ(Item(replies.back().tree.get(), "CurrentList"), nullptr);

        std::set<std::string> users, systems;
        for (plist_t app : Listed(replies)) {
            const std::string type = Str(Item(app, "ApplicationType"));
            (type == "User" ? users : systems).insert(Str(Item(app, "CFBundleIdentifier")));
            EXPECT_TRUE(type == "User" || type == "System") << type;
        }
        EXPECT_EQ(users.size(), 10u);
        EXPECT_EQ(systems, (std::set<std::string>{"com.apple.system0", "com.apple.system1",
                                                  "com.apple.system2"}));
    }
    AMDServiceConnectionInvalidate(connection);
    CFRelease(connection);
    EXPECT_EQ(Counters().serviceConnections, 0);
}

TEST_F(SimMdInstallProxy, ReturnAttributesLimitsTheKeysAndMeasuresDiskUsage) {
    AMDeviceRef device = nullptr;
    {
        image_ = MakeImage(WithUdid('5'));
        const BundleWriter writer(image_);
        writer.RemoveBuilderApps();
        DictBuilder info;
        info.Text("CFBundleIdentifier", "com.example.sized")
            .Text("CFBundleName", "Sized")
            .Text("CFBundleExecutable", "Sized")
            .Text("MinimumOSVersion", "5.0")
            .Integers("UIDeviceFamily", {1, 2})
            .Text("ApplicationType", "System")  // a bundle cannot make itself a system one
            .Texts("CFBundleIconFiles", {"Icon.png"});
        const std::string bundle = writer.AppWithInfo(Uuid(1), "Sized", info.Release());
        BundleWriter::File(bundle + "/Sized", std::string(1000, 'x'));
        const std::string container = bundle.substr(0, bundle.rfind('/'));
        BundleWriter::File(container + "/Documents/a", std::string(300, 'a'));
        BundleWriter::File(container + "/Library/Caches/b/c", std::string(20, 'c'));
        std::filesystem::create_symlink("/etc/passwd", container + "/Documents/link");
        device = Device(Attach(image_));
    }
    const uint64_t infoSize = std::filesystem::file_size(image_ + "/fs/var/mobile/Applications/" +
                                                         Uuid(1) + "/Sized.app/Info.plist");
    AMDServiceConnectionRef connection = nullptr;
    ASSERT_EQ(StartService(device, kService, &connection), 0);
    const std::vector<Reply> replies = Exchange(
        connection,
        Browse(nullptr, Strings({"CFBundleIdentifier", "ApplicationType", "CFBundleDisplayName",
                                 "MinimumOSVersion", "UIDeviceFamily", "StaticDiskUsage",
                                 "DynamicDiskUsage", "Path"})),
        false);
    ASSERT_EQ(Listed(replies).size(), 1u);
    plist_t app = Listed(replies)[0];
    EXPECT_EQ(Str(Item(app, "ApplicationType")), "User");
    EXPECT_EQ(Str(Item(app, "MinimumOSVersion")), "5.0");
    EXPECT_EQ(plist_array_get_size(Item(app, "UIDeviceFamily")), 2u);
    EXPECT_EQ(Uint(Item(app, "StaticDiskUsage")), 1000 + infoSize);
    EXPECT_EQ(Uint(Item(app, "DynamicDiskUsage")), 320u) << "links are not counted";
    // Asked-for keys the bundle lacks are left out, as are keys nobody asked for.
    EXPECT_EQ(Item(app, "CFBundleDisplayName"), nullptr);
    EXPECT_EQ(Item(app, "CFBundleIconFiles"), nullptr);
    EXPECT_EQ(Item(app, "Container"), nullptr);
    EXPECT_EQ(plist_dict_get_size(app), 7u);

    // Without ReturnAttributes everything comes, the Info.plist keys included.
    const std::vector<Reply> everything =
        Exchange(connection, Browse(nullptr, std::nullopt), false);
    ASSERT_EQ(Listed(everything).size(), 1u);
    plist_t all = Listed(everything)[0];
    EXPECT_NE(Item(all, "CFBundleIconFiles"), nullptr);
    EXPECT_EQ(Str(Item(all, "CFBundleExecutable")), "Sized");
    EXPECT_NE(Item(all, "Container"), nullptr);
    AMDServiceConnectionInvalidate(connection);
    CFRelease(connection);
}

TEST_F(SimMdInstallProxy, EmptyDeviceCompletesAtOnce) {
    AMDeviceRef device = DeviceWithApps(0, 0);
    AMDServiceConnectionRef connection = nullptr;
    ASSERT_EQ(StartService(device, kService, &connection), 0);
    bool complete = false;
    const std::vector<Reply> replies =
        Exchange(connection, Browse(nullptr, std::nullopt), false, &complete);
    EXPECT_TRUE(complete);
    EXPECT_EQ(replies.size(), 1u);
    AMDServiceConnectionInvalidate(connection);
    CFRelease(connection);
}

TEST_F(SimMdInstallProxy, BadRequestsGetAnErrorAndTheConnectionStaysUsable) {
    AMDeviceRef device = DeviceWithApps(2, 0);
    AMDServiceConnectionRef connection = nullptr;
    ASSERT_EQ(StartService(device, kService, &connection), 0);
    const auto errorOf = [&](plist_t request) {
        const std::vector<Reply> replies = Exchange(connection, request, false);
        return replies.size() == 1 ? Str(Item(replies[0].tree.get(), "Error")) : "<no reply>";
    };
    plist_t unknown = plist_new_dict();
    plist_dict_set_item(unknown, "Command", plist_new_string("Reticulate"));
    EXPECT_EQ(errorOf(unknown), "UnknownCommand");
    EXPECT_EQ(errorOf(plist_new_dict()), "MissingCommand");
    EXPECT_EQ(errorOf(plist_new_array()), "InvalidRequest");
    EXPECT_EQ(errorOf(Browse("Everything", std::nullopt)), "InvalidArguments");
    plist_t notOptions = plist_new_dict();
    plist_dict_set_item(notOptions, "Command", plist_new_string("Browse"));
    plist_dict_set_item(notOptions, "ClientOptions", plist_new_string("User"));
    EXPECT_EQ(errorOf(notOptions), "InvalidArguments");
    plist_t badAttributes = Browse(nullptr, std::nullopt);
    plist_t attributes = plist_new_array();
    plist_array_append_item(attributes, plist_new_uint(7));
    plist_dict_set_item(plist_dict_get_item(badAttributes, "ClientOptions"), "ReturnAttributes",
                        attributes);
    EXPECT_EQ(errorOf(badAttributes), "InvalidArguments");

    bool complete = false;
    EXPECT_EQ(Listed(Exchange(connection, Browse("User", std::nullopt), false, &complete)).size(),
              2u);
    EXPECT_TRUE(complete);
    AMDServiceConnectionInvalidate(connection);
    CFRelease(connection);
    EXPECT_EQ(Counters().serviceConnections, 0);
}

}  // namespace
}  // namespace bw::sim::mdtest
