// The services over a built image, as the library walks them: browse the user applications,
// fetch each icon, fall back to the artwork through house arrest, read the icon layout; nothing
// stays open afterwards.
#include <set>

#include "md_apps_support.h"

namespace bw::sim::mdtest {
namespace {

bool IsPng(const std::string& bytes) {
    return bytes.size() > 24 && bytes.compare(0, 8, "\x89PNG\r\n\x1a\n") == 0;
}

class SimMdAppsImage : public SimMdTest {};

TEST_F(SimMdAppsImage, BuiltImageServesApplicationsIconsAndLayout) {
    AMDeviceRef device = AttachDevice(WithUdid('9'));

    AMDServiceConnectionRef proxy = nullptr;
    ASSERT_EQ(StartService(device, "com.apple.mobile.installation_proxy", &proxy), 0);
    plist_t request = plist_new_dict();
    plist_dict_set_item(request, "Command", plist_new_string("Browse"));
    plist_t options = plist_new_dict();
    plist_dict_set_item(options, "ReturnAttributes",
                        StringArray(Strings({"CFBundleIdentifier", "ApplicationType",
                                             "CFBundleName", "CFBundleDisplayName", "Path"})));
    plist_dict_set_item(request, "ClientOptions", options);
    ASSERT_TRUE(SendMessage(proxy, request, false));
    plist_free(request);
    std::map<std::string, std::string> users;  // identifier to the name the host shows
    size_t systems = 0, replies = 0;
    for (;;) {
        std::optional<Reply> reply = ReceiveReply(proxy);
        ASSERT_TRUE(reply);
        ++replies;
        if (Str(Item(reply->tree.get(), "Status")) == "Complete") break;
        plist_t list = Item(reply->tree.get(), "CurrentList");
        for (uint32_t i = 0; i < plist_array_get_size(list); ++i) {
            plist_t app = plist_array_get_item(list, i);
            if (Str(Item(app, "ApplicationType")) != "User") {
                ++systems;
                continue;
            }
            const std::string display = Str(Item(app, "CFBundleDisplayName"));
            users[Str(Item(app, "CFBundleIdentifier"))] =
                display != "<none>" ? display : Str(Item(app, "CFBundleName"));
        }
    }
    AMDServiceConnectionInvalidate(proxy);
    CFRelease(proxy);
    EXPECT_EQ(users.size(), 12u);
    EXPECT_EQ(systems, 6u);
    EXPECT_GE(replies, 5u);
    EXPECT_EQ(users["com.soundgarage.beatbox"], "BeatBox");
    EXPECT_EQ(users["com.linguaworks.cafelingo"], "Caf\xc3\xa9 Lingo");

    AMDServiceConnectionRef springboard = nullptr;
    ASSERT_EQ(StartService(device, "com.apple.springboardservices", &springboard), 0);
    std::set<std::string> withoutIcon;
    for (const auto& [bundleId, name] : users) {
        plist_t ask = plist_new_dict();
        plist_dict_set_item(ask, "command", plist_new_string("getIconPNGData"));
        plist_dict_set_item(ask, "bundleId", plist_new_string(bundleId.c_str()));
        ASSERT_TRUE(SendMessage(springboard, ask, true));
        plist_free(ask);
        std::optional<Reply> reply = ReceiveReply(springboard);
        ASSERT_TRUE(reply);
        const std::string png = Data(Item(reply->tree.get(), "pngData")).value_or("<missing>");
        if (png.empty()) {
            withoutIcon.insert(bundleId);
        } else {
            EXPECT_TRUE(IsPng(png)) << bundleId;
        }
    }
    EXPECT_EQ(withoutIcon,
              (std::set<std::string>{"com.orbitworks.stargazer", "com.tallyapps.tally"}));

    plist_t ask = plist_new_dict();
    plist_dict_set_item(ask, "command", plist_new_string("getIconState"));
    plist_dict_set_item(ask, "formatVersion", plist_new_uint(2));
    ASSERT_TRUE(SendMessage(springboard, ask, true));
    plist_free(ask);
    std::optional<Reply> state = ReceiveReply(springboard);
    ASSERT_TRUE(state);
    AMDServiceConnectionInvalidate(springboard);
    CFRelease(springboard);
    std::set<std::string> shown;
    std::string folder;
    size_t inFolder = 0;
    plist_t pages = state->tree.get();
    ASSERT_GE(plist_array_get_size(pages), 3u);
    EXPECT_EQ(plist_array_get_size(plist_array_get_item(pages, 0)), 4u) << "the dock";
    for (uint32_t p = 0; p < plist_array_get_size(pages); ++p) {
        plist_t page = plist_array_get_item(pages, p);
        for (uint32_t i = 0; i < plist_array_get_size(page); ++i) {
            plist_t item = plist_array_get_item(page, i);
            if (plist_t lists = Item(item, "iconLists")) {
                folder = Str(Item(item, "displayName"));
                plist_t inner = plist_array_get_item(lists, 0);
                inFolder = plist_array_get_size(inner);
                for (uint32_t j = 0; j < inFolder; ++j)
                    shown.insert(Str(Item(plist_array_get_item(inner, j), "bundleIdentifier")));
            } else {
                shown.insert(Str(Item(item, "bundleIdentifier")));
            }
        }
    }
    EXPECT_EQ(shown.size(), 18u);
    EXPECT_EQ(folder, "Games");
    EXPECT_EQ(inFolder, 3u);

    // The application without a springboard icon has its artwork in the container.
    ASSERT_EQ(ConnectAndStartSession(device), 0);
    CFStringRef bundle = Text("com.orbitworks.stargazer");
    AMDServiceConnectionRef handle = nullptr;
    ASSERT_EQ(AMDeviceStartHouseArrestService(device, bundle, nullptr, &handle, nullptr), 0);
    CFRelease(bundle);
    CloseSession(device);
    AFCConnectionRef afc = nullptr;
    ASSERT_EQ(AFCConnectionOpen(handle, 0, &afc), 0);
    EXPECT_TRUE(IsPng(ReadDeviceFile(afc, "/iTunesArtwork").value_or("")));
    EXPECT_EQ(Info(afc, "/Library/Cookies/Cookies.binarycookies")["st_ifmt"], "S_IFREG");
    EXPECT_EQ(AFCConnectionClose(afc), 0);

    const BwSimCounters counters = Counters();
    EXPECT_EQ(counters.sessions, 0);
    EXPECT_EQ(counters.serviceConnections, 0);
    EXPECT_EQ(counters.afcConnections, 0);
    EXPECT_EQ(counters.afcFiles, 0);
    EXPECT_EQ(counters.directories, 0);
}

}  // namespace
}  // namespace bw::sim::mdtest
