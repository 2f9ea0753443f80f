// The simulator's springboard services where the library's tests do not reach: icon names that
// would leave the bundle, the layout without or with a broken IconState.plist, and hostile
// requests. Icon bytes and the saved layout are checked through the library by AppImage.
#include "md_apps_support.h"

namespace bw::sim::mdtest {
namespace {

constexpr char kService[] = "com.apple.springboardservices";

class SimMdSpringboard : public SimMdTest {
  protected:
    void SetUp() override {
        SimMdTest::SetUp();
        image_ = MakeImage(WithUdid('6'));
        writer_.emplace(image_);
        writer_->RemoveBuilderApps();
    }

    AMDServiceConnectionRef Open() {
        AMDeviceRef device = Device(Attach(image_));
        AMDServiceConnectionRef connection = nullptr;
        EXPECT_EQ(StartService(device, kService, &connection), 0);
        return connection;
    }

    static void Close(AMDServiceConnectionRef connection) {
        AMDServiceConnectionInvalidate(connection);
        CFRelease(connection);
    }

    static std::optional<Reply> Ask(AMDServiceConnectionRef connection, plist_t request,
                                    bool binary = true) {
        EXPECT_TRUE(SendMessage(connection, request, binary));
        plist_free(request);
        return ReceiveReply(connection);
    }

    static plist_t IconRequest(const char* bundleId) {
        plist_t request = plist_new_dict();
        plist_dict_set_item(request, "command", plist_new_string("getIconPNGData"));
        plist_dict_set_item(request, "bundleId", plist_new_string(bundleId));
        return request;
    }

    static plist_t StateRequest() {
        plist_t request = plist_new_dict();
        plist_dict_set_item(request, "command", plist_new_string("getIconState"));
        plist_dict_set_item(request, "destinationState", plist_new_bool(0));
        plist_dict_set_item(request, "formatVersion", plist_new_uint(2));
        return request;
    }

    void WriteIconState(plist_t state) const {
        BundleWriter::File(writer_->fs() + "/var/mobile/Library/SpringBoard/IconState.plist",
                           PlistXml(state));
        plist_free(state);
    }

    // The identifiers of one list of the icon state; a folder reads "[name: a b]".
    static std::string Describe(plist_t list) {
        std::string text;
        for (uint32_t i = 0; i < plist_array_get_size(list); ++i) {
            plist_t item = plist_array_get_item(list, i);
            if (!text.empty()) text += ' ';
            if (Str(Item(item, "listType")) == "folder") {
                text += "[" + Str(Item(item, "displayName")) + ":";
                plist_t pages = Item(item, "iconLists");
                for (uint32_t p = 0; p < plist_array_get_size(pages); ++p)
                    text += " " + Describe(plist_array_get_item(pages, p));
                text += "]";
            } else {
                text += Str(Item(item, "bundleIdentifier"));
            }
        }
        return text;
    }

    std::string image_;
    std::optional<BundleWriter> writer_;
};

TEST_F(SimMdSpringboard, IconNamesCannotLeaveTheBundle) {
    DictBuilder info;
    info.Text("CFBundleIdentifier", "com.example.sneaky")
        .Texts("CFBundleIconFiles", {"../../../../../../private/etc/hosts", "..", "/Icon.png"})
        .Text("CFBundleIconFile", "../Secret.png");
    const std::string bundle =
        writer_->AppWithInfo("A0000000-0000-4000-8000-000000000003", "Sneaky", info.Release());
    BundleWriter::File(bundle + "/../Secret.png", "outside the bundle");
    std::filesystem::create_symlink("/etc/hostname", bundle + "/Icon@2x.png");
    AMDServiceConnectionRef connection = Open();
    std::optional<Reply> reply = Ask(connection, IconRequest("com.example.sneaky"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(Data(Item(reply->tree.get(), "pngData")), "");
    Close(connection);
}

TEST_F(SimMdSpringboard, WithoutASavedLayoutEveryApplicationIsOnAPage) {
    for (int i = 0; i < 25; ++i) {
        char uuid[40];
        std::snprintf(uuid, sizeof uuid, "C0000000-0000-4000-8000-0000000000%02d", i);
        char id[40];
        std::snprintf(id, sizeof id, "com.example.app%02d", i);
        writer_->App(uuid, "App" + std::to_string(i), id);
    }
    AMDServiceConnectionRef connection = Open();
    std::optional<Reply> reply = Ask(connection, StateRequest());
    ASSERT_TRUE(reply);
    plist_t lists = reply->tree.get();
    ASSERT_EQ(plist_array_get_size(lists), 3u);
    EXPECT_EQ(plist_array_get_size(plist_array_get_item(lists, 0)), 0u) << "an empty dock";
    EXPECT_EQ(plist_array_get_size(plist_array_get_item(lists, 1)), 20u);
    EXPECT_EQ(plist_array_get_size(plist_array_get_item(lists, 2)), 5u);
    // Applications that have only CFBundleName are shown under it.
    EXPECT_EQ(Str(Item(plist_array_get_item(plist_array_get_item(lists, 1), 0), "displayName")),
              "App0");
    Close(connection);
}

TEST_F(SimMdSpringboard, BrokenLayoutFileFallsBackToPages) {
    writer_->App("D0000000-0000-4000-8000-000000000001", "Only", "com.example.only");
    BundleWriter::File(writer_->fs() + "/var/mobile/Library/SpringBoard/IconState.plist",
                       "<?xml version=\"1.0\"?><plist><dict><key>iconLists");
    AMDServiceConnectionRef connection = Open();
    std::optional<Reply> reply = Ask(connection, StateRequest());
    ASSERT_TRUE(reply);
    ASSERT_EQ(plist_array_get_size(reply->tree.get()), 2u);
    EXPECT_EQ(Describe(plist_array_get_item(reply->tree.get(), 1)), "com.example.only");
    Close(connection);
}

TEST_F(SimMdSpringboard, UnknownCommandsAndHostileRequestsAreAnsweredWithAnError) {
    writer_->App("D0000000-0000-4000-8000-000000000002", "Some", "com.example.some");
    AMDServiceConnectionRef connection = Open();
    const auto errorOf = [&](plist_t request) {
        std::optional<Reply> reply = Ask(connection, request, false);
        return reply ? Str(Item(reply->tree.get(), "Error")) : "<no reply>";
    };
    plist_t unknown = plist_new_dict();
    plist_dict_set_item(unknown, "command", plist_new_string("setWallpaper"));
    EXPECT_EQ(errorOf(unknown), "UnknownCommand");
    plist_t upper = plist_new_dict();
    plist_dict_set_item(upper, "Command", plist_new_string("getIconState"));
    EXPECT_EQ(errorOf(upper), "UnknownCommand") << "springboard's key is lower-case";
    EXPECT_EQ(errorOf(plist_new_array()), "UnknownCommand");
    plist_t numberId = plist_new_dict();
    plist_dict_set_item(numberId, "command", plist_new_string("getIconPNGData"));
    plist_dict_set_item(numberId, "bundleId", plist_new_uint(5));
    std::optional<Reply> reply = Ask(connection, numberId);
    ASSERT_TRUE(reply);
    EXPECT_EQ(Item(reply->tree.get(), "pngData"), nullptr);
    // Still answering.
    reply = Ask(connection, IconRequest("com.example.some"));
    ASSERT_TRUE(reply);
    EXPECT_NE(Item(reply->tree.get(), "pngData"), nullptr);

    EXPECT_FALSE(SendRaw(connection, "\x01\x02garbage"));
    EXPECT_EQ(ReceiveReply(connection), std::nullopt);
    CFRelease(connection);
    EXPECT_EQ(Counters().serviceConnections, 0);
}

}  // namespace
}  // namespace bw::sim::mdtest
