// Services of the simulator's mobile device library: what starting one needs, the form of the
// proxy's answers, broken framing, and the notification listener. Sockets, secure contexts, who
// releases what, house arrest, the crash-report and whole-file-system services, injected failures
// and departed devices are exercised through the library by IPhoneOpen, IPhoneSession,
// FileService and FileServiceCopy.
#include <plist/plist.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "md_support.h"

namespace bw::sim::mdtest {
namespace {

constexpr char kProxy[] = "com.apple.mobile.notification_proxy";

class SimMdServices : public SimMdTest {
  protected:
    // Starts a service the way the library's short operations do: inside a session that ends
    // right after.
    int Start(AMDeviceRef device, const char* service, AMDServiceConnectionRef* out,
              bool secure = false) {
        if (int status = ConnectAndStartSession(device); status != 0) return status;
        CFStringRef name = Text(service);
        const int status = secure ? AMDeviceSecureStartService(device, name, nullptr, out)
                                  : AMDeviceStartService(device, name, out, nullptr);
        CFRelease(name);
        CloseSession(device);
        return status;
    }
};

std::string Frame(plist_t message, bool binary) {
    char* bytes = nullptr;
    uint32_t length = 0;
    binary ? plist_to_bin(message, &bytes, &length) : plist_to_xml(message, &bytes, &length);
    std::string framed = {static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                          static_cast<char>(length >> 8), static_cast<char>(length)};
    framed.append(bytes, length);
    binary ? plist_to_bin_free(bytes) : plist_to_xml_free(bytes);
    return framed;
}

bool SendCommand(AMDServiceConnectionRef connection, const char* command, const char* name,
                 bool binary = false) {
    plist_t message = plist_new_dict();
    plist_dict_set_item(message, "Command", plist_new_string(command));
    if (name != nullptr) plist_dict_set_item(message, "Name", plist_new_string(name));
    const std::string framed = Frame(message, binary);
    plist_free(message);
    // Length and body in two sends, as hosts frame their messages.
    return AMDServiceConnectionSend(connection, framed.data(), 4) == 4 &&
           AMDServiceConnectionSend(connection, framed.data() + 4, framed.size() - 4) ==
               static_cast<int>(framed.size() - 4);
}

struct Message {
    std::string command;
    std::string name;
    bool binary = false;
};

std::optional<Message> ReceiveMessage(AMDServiceConnectionRef connection) {
    unsigned char header[4];
    if (AMDServiceConnectionReceive(connection, header, 4) != 4) return std::nullopt;
    const uint32_t length = (uint32_t{header[0]} << 24) | (uint32_t{header[1]} << 16) |
                            (uint32_t{header[2]} << 8) | header[3];
    std::string body(length, '\0');
    size_t done = 0;
    while (done < length) {  // receivers loop: a receive may return less than asked
        const int got = AMDServiceConnectionReceive(connection, body.data() + done,
                                                    std::min<size_t>(7, length - done));
        if (got <= 0) return std::nullopt;
        done += static_cast<size_t>(got);
    }
    plist_t tree = nullptr;
    plist_from_memory(body.data(), length, &tree);
    if (tree == nullptr) return std::nullopt;
    Message message;
    message.binary = body.starts_with("bplist00");
    for (auto [key, field] : {std::pair{"Command", &message.command}, {"Name", &message.name}}) {
        char* text = nullptr;
        if (plist_t node = plist_dict_get_item(tree, key)) plist_get_string_val(node, &text);
        if (text != nullptr) *field = text;
        std::free(text);
    }
    plist_free(tree);
    return message;
}

TEST_F(SimMdServices, StartNeedsSessionAndAKnownService) {
    AMDeviceRef device = AttachDevice();
    AMDServiceConnectionRef connection = nullptr;
    CFStringRef afc = Text("com.apple.afc");
    EXPECT_EQ(AMDeviceStartService(device, afc, &connection, nullptr), kAmdNotConnected);
    ASSERT_EQ(AMDeviceConnect(device), 0);
    EXPECT_EQ(AMDeviceStartService(device, afc, &connection, nullptr), kAmdSessionInactive);
    EXPECT_EQ(AMDeviceDisconnect(device), 0);
    CFRelease(afc);
    EXPECT_EQ(Start(device, "com.apple.no_such_service", &connection), kAmdInvalidService);
    EXPECT_EQ(Start(device, "com.apple.afc2", &connection), kAmdInvalidService);
    EXPECT_EQ(connection, nullptr);
    EXPECT_EQ(Counters().serviceConnections, 0);
}

TEST_F(SimMdServices, PasscodeLockRefusesEveryService) {
    ImageOptions options;
    options.passcodeLocked = true;
    AMDeviceRef device = AttachDevice(options);
    AMDServiceConnectionRef connection = nullptr;
    EXPECT_EQ(Start(device, "com.apple.afc", &connection), kAmdPasswordProtected);
    EXPECT_EQ(Start(device, kProxy, &connection, true), kAmdPasswordProtected);
    EXPECT_EQ(Counters().serviceConnections, 0);
}

TEST_F(SimMdServices, UnknownAndStaleConnectionsFailWithoutBeingRead) {
    AMDeviceRef device = AttachDevice();
    AMDServiceConnectionRef connection = nullptr;
    ASSERT_EQ(Start(device, kProxy, &connection, true), 0);
    CFRelease(connection);  // freed: the value is stale from here on

    unsigned char local[64] = {};
    for (const void* bogus : {static_cast<const void*>(connection), static_cast<const void*>(local),
                              static_cast<const void*>(nullptr)}) {
        const auto handle = static_cast<AMDServiceConnectionRef>(bogus);
        EXPECT_EQ(AMDServiceConnectionGetSocket(handle), -1);
        EXPECT_EQ(AMDServiceConnectionGetSecureIOContext(handle), nullptr);
        EXPECT_EQ(AMDServiceConnectionSend(handle, "abcd", 4), -1);
        char buffer[4];
        EXPECT_EQ(AMDServiceConnectionReceive(handle, buffer, sizeof buffer), -1);
        AMDServiceConnectionInvalidate(handle);
        EXPECT_EQ(AMDServiceConnectionCreate(bogus, nullptr, nullptr), nullptr);
        AFCConnectionRef afc = nullptr;
        EXPECT_EQ(AFCConnectionOpen(bogus, 0, &afc), 7);
        EXPECT_EQ(afc, nullptr);
        CFStringRef name = Text("x");
        EXPECT_NE(AMDObserveNotification(bogus, name), 0);
        CFRelease(name);
    }
    for (unsigned char byte : local)
        EXPECT_EQ(byte, 0);
}

TEST_F(SimMdServices, ProxyAnswersInTheFormOfTheRequest) {
    AMDeviceRef device = AttachDevice();
    AMDServiceConnectionRef proxy = nullptr;
    ASSERT_EQ(Start(device, kProxy, &proxy, true), 0);
    ASSERT_TRUE(SendCommand(proxy, "Shutdown", nullptr, true));
    const std::optional<Message> death = ReceiveMessage(proxy);
    ASSERT_TRUE(death.has_value());
    EXPECT_EQ(death->command, "ProxyDeath");
    EXPECT_TRUE(death->binary);
    // The proxy closed after its answer: the rest reads as the end of the stream.
    char byte = 0;
    EXPECT_EQ(AMDServiceConnectionReceive(proxy, &byte, 1), 0);
    EXPECT_EQ(AMDServiceConnectionSend(proxy, "\0\0\0\0", 4), -1);
    EXPECT_EQ(Counters().serviceConnections, 0);
    CFRelease(proxy);
}

TEST_F(SimMdServices, BrokenFramingDropsTheConnection) {
    AMDeviceRef device = AttachDevice();
    for (const std::string& bytes : {std::string("\x7f\xff\xff\xff", 4),  // a length no message has
                                     std::string("\0\0\0\x05hello", 9),   // not a property list
                                     std::string("\0\0\0\x0c"
                                                 "bplist00\xff\xff\xff\xff",
                                                 16)}) {  // a broken binary list
        AMDServiceConnectionRef proxy = nullptr;
        ASSERT_EQ(Start(device, kProxy, &proxy, true), 0);
        EXPECT_EQ(AMDServiceConnectionSend(proxy, bytes.data(), bytes.size()), -1);
        EXPECT_EQ(Counters().serviceConnections, 0);
        CFRelease(proxy);
    }
}

// Found by fuzzing: libplist asserts when asked for the text of a string holding a NUL. A binary
// list can hold one in a value; XML cannot hold one at all, and such a message is refused like any
// other that is no property list.
TEST_F(SimMdServices, StringsHoldingNulDoNotStopTheProxy) {
    ImageOptions options = WithUdid('0');
    AMDeviceRef device = AttachDevice(options);
    AMDServiceConnectionRef proxy = nullptr;
    ASSERT_EQ(Start(device, kProxy, &proxy, true), 0);
    using namespace std::string_literals;
    // {"Command": "Observe\0Notification", "Name": "a\0b"}, written byte by byte.
    const std::string objects =
        "\xD2\x01\x02\x03\x04"
        "\x57"
        "Command"
        "\x54"
        "Name"
        "\x5F\x10\x14"
        "Observe\0Notification"
        "\x53"
        "a\0b"s;
    std::string binary = "bplist00"s + objects;
    for (const size_t offset : {8, 13, 21, 26, 49})
        binary.push_back(static_cast<char>(offset));
    binary += "\0\0\0\0\0\0\x01\x01"s + std::string(7, '\0') + "\x05"s + std::string(8, '\0') +
              std::string(7, '\0') + static_cast<char>(8 + objects.size());
    const std::string framed = std::string{0, 0, 0, static_cast<char>(binary.size())} + binary;
    EXPECT_EQ(AMDServiceConnectionSend(proxy, framed.data(), framed.size()),
              static_cast<int>(framed.size()));
    ASSERT_TRUE(SendCommand(proxy, "ObserveNotification", "after"));
    EXPECT_EQ(BwSimPostDeviceNotification(options.udid.c_str(), "after"), 1);
    CFRelease(proxy);

    AMDServiceConnectionRef xmlProxy = nullptr;
    ASSERT_EQ(Start(device, kProxy, &xmlProxy, true), 0);
    const std::string xml =
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Command</key>"
        "<string>Observe\0Notification</string></dict></plist>"s;
    const std::string xmlFramed = std::string{0, 0, 0, static_cast<char>(xml.size())} + xml;
    EXPECT_EQ(AMDServiceConnectionSend(xmlProxy, xmlFramed.data(), xmlFramed.size()), -1);
    CFRelease(xmlProxy);
}

struct Heard {
    std::mutex mutex;
    std::vector<std::string> names;
    std::vector<std::thread::id> threads;

    static void Callback(CFStringRef name, void* context) {
        auto* heard = static_cast<Heard*>(context);
        char text[256] = {};
        CFStringGetCString(name, text, sizeof text, kCFStringEncodingUTF8);
        std::lock_guard<std::mutex> lock(heard->mutex);
        heard->names.push_back(text);
        heard->threads.push_back(std::this_thread::get_id());
    }
};

TEST_F(SimMdServices, ObservedNotificationsReachTheListenerOnTheSimulatorThread) {
    ImageOptions options = WithUdid('f');
    AMDeviceRef device = AttachDevice(options);
    AMDServiceConnectionRef proxy = nullptr;
    ASSERT_EQ(Start(device, kProxy, &proxy), 0);
    CFStringRef cancel = Text("com.apple.itunes-client.syncCancelRequest");
    ASSERT_EQ(AMDObserveNotification(proxy, cancel), 0);
    CFRelease(cancel);
    Heard heard;
    ASSERT_EQ(AMDListenForNotifications(proxy, &Heard::Callback, &heard), 0);

    const char* udid = options.udid.c_str();
    EXPECT_EQ(BwSimPostDeviceNotification(udid, "com.apple.itunes-client.syncCancelRequest"), 1);
    EXPECT_EQ(BwSimPostDeviceNotification(udid, "com.apple.not.observed"), 0);
    EXPECT_EQ(BwSimPostDeviceNotification("no such device", "x"), -1);
    ASSERT_EQ(BwSimWaitForNotifications(5000), 0);
    {
        std::lock_guard<std::mutex> lock(heard.mutex);
        ASSERT_EQ(heard.names,
                  std::vector<std::string>{"com.apple.itunes-client.syncCancelRequest"});
        EXPECT_NE(heard.threads[0], std::this_thread::get_id());
    }

    // The host's own posts are counted on the device.
    CFStringRef done = Text("com.apple.itunes-mobdev.syncDidFinish");
    EXPECT_EQ(AMDPostNotification(proxy, done, nullptr), 0);
    EXPECT_EQ(AMDPostNotification(proxy, done, nullptr), 0);
    CFRelease(done);
    EXPECT_EQ(BwSimCountHostNotifications(udid, "com.apple.itunes-mobdev.syncDidFinish"), 2);
    EXPECT_EQ(BwSimCountHostNotifications(udid, "com.apple.other"), 0);

    // An invalidated proxy relays nothing more.
    AMDServiceConnectionInvalidate(proxy);
    EXPECT_EQ(BwSimPostDeviceNotification(udid, "com.apple.itunes-client.syncCancelRequest"), 0);
    ASSERT_EQ(BwSimWaitForNotifications(5000), 0);
    EXPECT_EQ(heard.names.size(), 1u);
    CFRelease(proxy);
}

}  // namespace
}  // namespace bw::sim::mdtest
