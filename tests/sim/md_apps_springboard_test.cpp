// The simulator's springboard services: icon bytes from the bundle's icon files, the icon layout
// from IconState.plist with its dock, pages and folders, errors and hostile requests.
#include "md_apps_support.h"

namespace bw::sim::mdtest {
namespace {

constexpr char kSpringboardService[] = "com.apple.springboardservices";

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
        EXPECT_EQ(StartService(device, kSpringboardService, &connection), 0);
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

TEST_F(SimMdSpringboard, IconDataIsTheBundlesRetinaIcon) {
    const std::string plain =
        writer_->App("A0000000-0000-4000-8000-000000000001", "Plain", "com.example.plain");
    BundleWriter::File(plain + "/Icon.png", "\x89PNG small");
    BundleWriter::File(plain + "/Icon@2x.png", "\x89PNG large");
    DictBuilder modern;
    modern.Text("CFBundleIdentifier", "com.example.modern")
        .Dict("CFBundleIcons",
              std::move(DictBuilder().Dict(
                  "CFBundlePrimaryIcon",
                  std::move(DictBuilder().Texts("CFBundleIconFiles", {"AppIcon60x60"})))));
    const std::string modernBundle =
        writer_->AppWithInfo("A0000000-0000-4000-8000-000000000002", "Modern", modern.Release());
    BundleWriter::File(modernBundle + "/AppIcon60x60@2x.png", "\x89PNG modern");
    BundleWriter::File(modernBundle + "/Icon.png", "\x89PNG unused");
    writer_->App("", "Bare", "com.apple.bare");

    AMDServiceConnectionRef connection = Open();
    for (const bool binary : {false, true}) {
        std::optional<Reply> reply = Ask(connection, IconRequest("com.example.plain"), binary);
        ASSERT_TRUE(reply);
        EXPECT_TRUE(reply->binary) << "springboard answers in binary whatever it was asked in";
        EXPECT_EQ(Data(Item(reply->tree.get(), "pngData")), "\x89PNG large");
    }
    std::optional<Reply> reply = Ask(connection, IconRequest("com.example.modern"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(Data(Item(reply->tree.get(), "pngData")), "\x89PNG modern");
    // An installed application without an icon answers empty data, an unknown one none.
    reply = Ask(connection, IconRequest("com.apple.bare"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(Data(Item(reply->tree.get(), "pngData")), "");
    reply = Ask(connection, IconRequest("com.example.unknown"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(Item(reply->tree.get(), "pngData"), nullptr);
    Close(connection);
    EXPECT_EQ(Counters().serviceConnections, 0);
}

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

TEST_F(SimMdSpringboard, IconStateHasTheDockPagesAndFolders) {
    for (const char* name : {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot"})
        writer_->App(std::string("B0000000-0000-4000-8000-0000000000") + name[0] + name[1], name,
                     std::string("com.example.") + name, std::string("The ") + name);
    writer_->App("", "Phone", "com.apple.mobilephone");
    plist_t state = plist_new_dict();
    plist_dict_set_item(state, "buttonBar",
                        StringArray(Strings({"com.apple.mobilephone", "com.example.gone"})));
    plist_t folderPages = plist_new_array();
    plist_array_append_item(folderPages, StringArray(Strings({"com.example.charlie"})));
    plist_array_append_item(folderPages, StringArray(Strings({"com.example.delta"})));
    plist_t folder = plist_new_dict();
    plist_dict_set_item(folder, "displayName", plist_new_string("Work"));
    plist_dict_set_item(folder, "listType", plist_new_string("folder"));
    plist_dict_set_item(folder, "iconLists", folderPages);
    plist_t empty = plist_copy(folder);
    plist_dict_set_item(empty, "displayName", plist_new_string("Empty"));
    plist_dict_set_item(empty, "iconLists", plist_new_array());
    plist_t page1 = StringArray(Strings({"com.example.alpha"}));
    plist_array_append_item(page1, folder);
    plist_array_append_item(page1, empty);
    plist_array_append_item(page1, plist_new_uint(12));
    plist_t pages = plist_new_array();
    plist_array_append_item(pages, page1);
    plist_array_append_item(pages,
                            StringArray(Strings({"com.example.bravo", "com.example.alpha"})));
    plist_dict_set_item(state, "iconLists", pages);
    WriteIconState(state);

    AMDServiceConnectionRef connection = Open();
    std::optional<Reply> reply = Ask(connection, StateRequest(), false);
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->binary);
    plist_t lists = reply->tree.get();
    ASSERT_EQ(plist_get_node_type(lists), PLIST_ARRAY);
    ASSERT_EQ(plist_array_get_size(lists), 4u);
    EXPECT_EQ(Describe(plist_array_get_item(lists, 0)), "com.apple.mobilephone");
    EXPECT_EQ(Describe(plist_array_get_item(lists, 1)),
              "com.example.alpha [Work: com.example.charlie com.example.delta]");
    EXPECT_EQ(Describe(plist_array_get_item(lists, 2)), "com.example.bravo")
        << "an application is shown once";
    EXPECT_EQ(Describe(plist_array_get_item(lists, 3)), "com.example.echo com.example.foxtrot")
        << "applications the layout does not place follow on a page of their own";

    plist_t alpha = plist_array_get_item(plist_array_get_item(lists, 1), 0);
    EXPECT_EQ(Str(Item(alpha, "displayName")), "The alpha");
    EXPECT_EQ(Str(Item(alpha, "displayIdentifier")), "com.example.alpha");
    EXPECT_EQ(Str(Item(alpha, "bundleVersion")), "1.0");
    EXPECT_EQ(plist_get_node_type(Item(alpha, "iconModDate")), PLIST_DATE);
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
