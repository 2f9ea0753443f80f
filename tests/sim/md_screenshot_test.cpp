// The simulator's screenshot service: the device-link exchange message by message, the requests
// that make a phone drop the link, and the picture: an uncompressed big-endian RGB TIFF of the
// screen's size that libvips decodes to the pixels of the image's screen.png, or a grey screen
// when the image has no usable picture.
#include <vips/vips8>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "common/plist_file.h"
#include "md_support.h"
#include "support/ios_versions.h"

namespace bw::sim::mdtest {
namespace {

constexpr char kScreenshotr[] = "com.apple.mobile.screenshotr";

// A device-link message: the name, then each further element.
PlistTree Message(const char* name, std::initializer_list<plist_t> rest = {}) {
    PlistTree message(plist_new_array());
    plist_array_append_item(message.get(), plist_new_string(name));
    for (plist_t item : rest)
        plist_array_append_item(message.get(), item);
    return message;
}

plist_t Dict(const char* key, const char* value) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, key, plist_new_string(value));
    return dict;
}

PlistTree VersionsOk() {
    return Message("DLMessageVersionExchange",
                   {plist_new_string("DLVersionsOk"), plist_new_uint(100)});
}

PlistTree ScreenShotRequest() {
    return Message("DLMessageProcessMessage", {Dict("MessageType", "ScreenShotRequest")});
}

struct Pixels {
    int width = 0, height = 0, bands = 0;
    std::vector<uint8_t> bytes;
};

// libvips's reading of a picture; empty on failure.
Pixels Decode(const std::string& bytes) {
    EXPECT_EQ(VIPS_INIT("md_screenshot_test"), 0);
    Pixels pixels;
    try {
        vips::VImage image = vips::VImage::new_from_buffer(bytes.data(), bytes.size(), "");
        pixels.width = image.width();
        pixels.height = image.height();
        pixels.bands = image.bands();
        size_t length = 0;
        void* memory = image.write_to_memory(&length);
        pixels.bytes.assign(static_cast<uint8_t*>(memory), static_cast<uint8_t*>(memory) + length);
        g_free(memory);
    } catch (const vips::VError& error) {
        ADD_FAILURE() << error.what();
    }
    return pixels;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class SimMdScreenshot : public SimMdTest {
  protected:
    // A screenshot connection whose version offer has been read.
    AMDServiceConnectionRef Open(AMDeviceRef device) {
        AMDServiceConnectionRef connection = StartService(device, kScreenshotr);
        EXPECT_NE(connection, nullptr);
        if (connection != nullptr) offer_ = ReceiveMessage(connection);
        return connection;
    }

    // Open, the version exchange, and the device's readiness read.
    AMDServiceConnectionRef OpenReady(AMDeviceRef device) {
        AMDServiceConnectionRef connection = Open(device);
        if (connection == nullptr) return nullptr;
        EXPECT_TRUE(SendMessage(connection, VersionsOk().get()));
        EXPECT_EQ(XmlOf(ReceiveMessage(connection).get()),
                  XmlOf(Message("DLMessageDeviceReady").get()));
        return connection;
    }

    // The "ScreenShotData" of one request, after checking the reply's shape.
    std::string Screenshot(AMDServiceConnectionRef connection) {
        EXPECT_TRUE(SendMessage(connection, ScreenShotRequest().get()));
        const PlistTree reply = ReceiveMessage(connection);
        if (reply == nullptr || plist_get_node_type(reply.get()) != PLIST_ARRAY ||
            plist_array_get_size(reply.get()) != 2) {
            ADD_FAILURE() << "not a two-element array: " << XmlOf(reply.get());
            return {};
        }
        EXPECT_EQ(StringValue(plist_array_get_item(reply.get(), 0)), "DLMessageProcessMessage");
        const plist_t body = plist_array_get_item(reply.get(), 1);
        EXPECT_EQ(plist_dict_get_size(body), 2u) << XmlOf(reply.get());
        EXPECT_EQ(StringValue(plist_dict_get_item(body, "MessageType")), "ScreenShotReply");
        const plist_t data = plist_dict_get_item(body, "ScreenShotData");
        if (data == nullptr || plist_get_node_type(data) != PLIST_DATA) {
            ADD_FAILURE() << "no ScreenShotData";
            return {};
        }
        uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(data, &length);
        return std::string(bytes, static_cast<size_t>(length));
    }

    // The connection has been dropped: nothing more comes, nothing more goes, and it no longer
    // counts as open.
    void ExpectDropped(AMDServiceConnectionRef connection) {
        char byte = 0;
        EXPECT_EQ(AMDServiceConnectionReceive(connection, &byte, 1), 0);
        EXPECT_EQ(AMDServiceConnectionSend(connection, "\0\0\0\0", 4), -1);
        EXPECT_EQ(Counters().serviceConnections, 0);
    }

    PlistTree offer_;
};

TEST_F(SimMdScreenshot, TheDeviceLinkExchangeGoesStepByStep) {
    AMDeviceRef device = AttachDevice();
    AMDServiceConnectionRef connection = StartService(device, kScreenshotr);
    ASSERT_NE(connection, nullptr);
    const std::optional<std::string> offer = ReceiveMessageBytes(connection);
    ASSERT_TRUE(offer.has_value());
    EXPECT_EQ(offer->rfind("bplist00", 0), 0u) << "a phone sends binary property lists";
    EXPECT_EQ(
        XmlOf(ParsePlist(*offer).get()),
        XmlOf(Message("DLMessageVersionExchange", {plist_new_uint(300), plist_new_uint(0)}).get()));

    ASSERT_TRUE(SendMessage(connection, VersionsOk().get()));
    EXPECT_EQ(XmlOf(ReceiveMessage(connection).get()),
              XmlOf(Message("DLMessageDeviceReady").get()));
    // A ping is not answered and keeps the link.
    ASSERT_TRUE(SendMessage(connection, Message("DLMessagePing", {plist_new_string("hi")}).get()));
    const std::string first = Screenshot(connection);
    EXPECT_EQ(first.substr(0, 4), std::string("MM\0*", 4));
    EXPECT_EQ(Screenshot(connection), first) << "the same screen, asked again";

    ASSERT_TRUE(SendMessage(
        connection,
        Message("DLMessageDisconnect", {plist_new_string("___EmptyParameterString___")}).get()));
    ExpectDropped(connection);
    CloseService(connection);
}

TEST_F(SimMdScreenshot, AHostThatSpeaksXmlIsUnderstood) {
    AMDeviceRef device = AttachDevice();
    AMDServiceConnectionRef connection = Open(device);
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(SendMessage(connection, VersionsOk().get(), false));
    EXPECT_EQ(XmlOf(ReceiveMessage(connection).get()),
              XmlOf(Message("DLMessageDeviceReady").get()));
    ASSERT_TRUE(SendMessage(connection, ScreenShotRequest().get(), false));
    const std::optional<std::string> reply = ReceiveMessageBytes(connection);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->rfind("bplist00", 0), 0u);
    CloseService(connection);
}

std::string Bytes(PlistTree tree) {
    return PlistBytes(tree.get());
}

// Each of these, sent before or after the version exchange, makes the phone drop the link.
TEST_F(SimMdScreenshot, MalformedMessagesDropTheLink) {
    PlistTree nameNotText(plist_new_array());
    plist_array_append_item(nameNotText.get(), plist_new_uint(1));
    const char* exchange = "DLMessageVersionExchange";
    const char* process = "DLMessageProcessMessage";
    const struct {
        const char* name;
        bool afterExchange;
        std::string body;  // framed below
    } malformed[] = {
        {"DictionaryNotArray", false, Bytes(PlistTree(Dict("DLMessage", "x")))},
        {"EmptyArray", false, Bytes(PlistTree(plist_new_array()))},
        {"VersionWithoutNumber", false,
         Bytes(Message(exchange, {plist_new_string("DLVersionsOk")}))},
        {"VersionRefused", false,
         Bytes(Message(exchange, {plist_new_string("DLVersionsBad"), plist_new_uint(100)}))},
        {"VersionAsText", false,
         Bytes(Message(exchange, {plist_new_string("DLVersionsOk"), plist_new_string("100")}))},
        {"NameNotText", false, Bytes(std::move(nameNotText))},
        {"NotAPropertyList", false, "bplist00 but nothing after"},
        {"RequestBeforeExchange", false, Bytes(ScreenShotRequest())},
        {"SecondVersionExchange", true, Bytes(VersionsOk())},
        {"ProcessWithoutBody", true, Bytes(Message(process))},
        {"ProcessOtherType", true, Bytes(Message(process, {Dict("MessageType", "Other")}))},
        {"ProcessBodyNotDictionary", true,
         Bytes(Message(process, {plist_new_string("ScreenShotRequest")}))},
        {"ProcessWithExtraElement", true,
         Bytes(Message(process, {Dict("MessageType", "ScreenShotRequest"), plist_new_uint(1)}))},
        {"UnknownMessage", true, Bytes(Message("DLMessageSomethingElse"))},
    };
    AMDeviceRef device = AttachDevice();
    for (const auto& message : malformed) {
        SCOPED_TRACE(message.name);
        AMDServiceConnectionRef connection =
            message.afterExchange ? OpenReady(device) : Open(device);
        ASSERT_NE(connection, nullptr);
        const std::string framed = Framed(message.body);
        AMDServiceConnectionSend(connection, framed.data(), framed.size());
        ExpectDropped(connection);
        CloseService(connection);
    }
}

// A screen filled with one grey, of the image's size.
void ExpectGrey(const std::string& tiff, int width, int height) {
    const Pixels pixels = Decode(tiff);
    EXPECT_EQ(pixels.width, width);
    EXPECT_EQ(pixels.height, height);
    ASSERT_EQ(pixels.bytes.size(), static_cast<size_t>(width) * height * 3);
    EXPECT_TRUE(std::all_of(pixels.bytes.begin(), pixels.bytes.end(),
                            [](uint8_t value) { return value == 0x80; }));
}

// Each round puts the good picture back, which the next request must show again, then spoils it.
TEST_F(SimMdScreenshot, ThePictureIsReadOnEveryRequestAndAnUnusableOneShowsGrey) {
    const std::string image = MakeImage();
    const std::string png = image + "/screen.png";
    const std::string good = ReadFile(png);
    const std::string elsewhere = folder_ / "elsewhere.png";
    std::ofstream(elsewhere, std::ios::binary) << good;
    EXPECT_EQ(VIPS_INIT("md_screenshot_test"), 0);
    const std::pair<const char*, std::function<void()>> spoilers[] = {
        {"missing", [] {}},
        {"cut in half",
         [&] { std::ofstream(png, std::ios::binary) << good.substr(0, good.size() / 2); }},
        {"another size",
         [&] {
             vips::VImage::black(320, 480, vips::VImage::option()->set("bands", 3))
                 .pngsave(png.c_str());
         }},
        {"a link", [&] { std::filesystem::create_symlink(elsewhere, png); }},
    };
    AMDServiceConnectionRef connection = OpenReady(Device(Attach(image)));
    ASSERT_NE(connection, nullptr);
    const std::string shown = Screenshot(connection);
    for (const auto& [name, spoil] : spoilers) {
        SCOPED_TRACE(name);
        std::filesystem::remove(png);
        std::ofstream(png, std::ios::binary) << good;
        EXPECT_EQ(Screenshot(connection), shown);
        std::filesystem::remove(png);
        spoil();
        ExpectGrey(Screenshot(connection), 640, 1136);
    }
    CloseService(connection);
}

class SimMdScreenshotVersions : public SimMdScreenshot,
                                public ::testing::WithParamInterface<const char*> {};

TEST_P(SimMdScreenshotVersions, TheTiffIsTheScreenPictureAtTheScreenSize) {
    ImageOptions options;
    options.iosVersion = GetParam();
    const std::string image = MakeImage(options);
    AMDeviceRef device = Device(Attach(image));
    CFStringRef domain = Text("com.apple.iTunes");
    int width = 0, height = 0;
    for (auto [key, out] : {std::pair{"ScreenWidth", &width}, std::pair{"ScreenHeight", &height}}) {
        CFStringRef name = Text(key);
        ASSERT_EQ(ConnectAndStartSession(device), 0);
        CFTypeRef value = AMDeviceCopyValue(device, domain, name);
        AMDeviceStopSession(device);
        AMDeviceDisconnect(device);
        ASSERT_NE(value, nullptr);
        ASSERT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberIntType, out));
        CFRelease(value);
        CFRelease(name);
    }
    CFRelease(domain);

    AMDServiceConnectionRef connection = OpenReady(device);
    ASSERT_NE(connection, nullptr);
    const std::string tiff = Screenshot(connection);
    CloseService(connection);
    // Big-endian, one uncompressed strip after the directory and its values.
    ASSERT_GT(tiff.size(), 8u);
    EXPECT_EQ(tiff.substr(0, 8), std::string("MM\0*\0\0\0\x08", 8));
    EXPECT_EQ(tiff.size(), 192u + static_cast<size_t>(width) * height * 3);
    const Pixels shot = Decode(tiff);
    EXPECT_EQ(shot.width, width);
    EXPECT_EQ(shot.height, height);
    EXPECT_EQ(shot.bands, 3);
    const Pixels picture = Decode(ReadFile(image + "/screen.png"));
    EXPECT_EQ(picture.width, width);
    EXPECT_EQ(picture.height, height);
    EXPECT_TRUE(shot.bytes == picture.bytes) << "the screenshot's pixels differ from screen.png";
    EXPECT_TRUE(std::any_of(shot.bytes.begin(), shot.bytes.end(), [&](uint8_t value) {
        return value != shot.bytes[0];
    })) << "a picture of one colour";
}

INSTANTIATE_TEST_SUITE_P(Versions, SimMdScreenshotVersions, bw::testing::EachIosVersion(),
                         bw::testing::IosVersionName);

}  // namespace
}  // namespace bw::sim::mdtest
