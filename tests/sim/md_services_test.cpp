// Services of the simulator's mobile device library: starting them, the handle conventions
// (sockets, secure contexts, who releases what), the framed message exchange, the notification
// proxy, house arrest, and injected failures.
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

TEST_F(SimMdServices, Afc2ServesTheWholeFileSystemWhenSwitchedOn) {
    ImageOptions options;
    options.hasAfc2 = true;
    AMDeviceRef device = AttachDevice(options);
    AFCConnectionRef afc = OpenAfc(device, "com.apple.afc2");
    ASSERT_NE(afc, nullptr);
    const std::vector<std::string> names = List(afc, "/");
    EXPECT_NE(std::find(names.begin(), names.end(), "private"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "var"), names.end());
    // Links inside the file system lead where they lead on the device.
    EXPECT_EQ(Info(afc, "/private/var/mobile/Media")["st_ifmt"], "S_IFDIR");
    EXPECT_EQ(AFCConnectionClose(afc), 0);
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

TEST_F(SimMdServices, SocketNumbersStandForTheirConnection) {
    AMDeviceRef device = AttachDevice();
    AMDServiceConnectionRef first = nullptr;
    AMDServiceConnectionRef second = nullptr;
    ASSERT_EQ(Start(device, "com.apple.afc", &first, true), 0);
    ASSERT_EQ(Start(device, "com.apple.afc", &second, true), 0);
    const int socket = AMDServiceConnectionGetSocket(first);
    EXPECT_GT(socket, 0);
    EXPECT_NE(AMDServiceConnectionGetSocket(second), socket);

    // Callers that keep the socket in an int leave garbage in the upper half of the register.
    const auto garbled = reinterpret_cast<const void*>(0xdead'0000'0000ull | unsigned(socket));
    AFCConnectionRef afc = nullptr;
    ASSERT_EQ(AFCConnectionOpen(garbled, 0, &afc), 0);
    CFRelease(first);
    EXPECT_EQ(List(afc, "/").empty(), false);
    EXPECT_EQ(AFCConnectionClose(afc), 0);
    // Gone with its connection, and never handed out again.
    EXPECT_NE(AFCConnectionOpen(reinterpret_cast<const void*>(intptr_t{socket}), 0, &afc), 0);
    CFRelease(second);
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

TEST_F(SimMdServices, LegacyStartHandleIsTakenOverByTheFirstAfcConnection) {
    AMDeviceRef device = AttachDevice();
    AMDServiceConnectionRef handle = nullptr;
    ASSERT_EQ(Start(device, "com.apple.afc", &handle), 0);
    const long withHandle = BwSimCFLiveObjects();
    AFCConnectionRef first = nullptr;
    AFCConnectionRef second = nullptr;
    ASSERT_EQ(AFCConnectionOpen(handle, 0, &first), 0);
    ASSERT_EQ(AFCConnectionOpen(handle, 0, &second), 0);
    EXPECT_EQ(Counters().afcConnections, 2);
    // Both AFC connections stand on the same service connection: closing one closes it.
    EXPECT_EQ(AFCConnectionClose(first), 0);
    int status = 0;
    List(second, "/", &status);
    EXPECT_EQ(status, 11);
    EXPECT_EQ(BwSimCFLiveObjects(), withHandle);
    EXPECT_EQ(AFCConnectionClose(second), 0);
    EXPECT_EQ(AFCConnectionClose(second), 7);
    EXPECT_EQ(BwSimCFLiveObjects(), withHandle - 1);  // the start's handle went with it
    EXPECT_EQ(Counters().serviceConnections, 0);
}

TEST_F(SimMdServices, InvalidateClosesTheConnectionOnce) {
    AMDeviceRef device = AttachDevice();
    AMDServiceConnectionRef connection = nullptr;
    ASSERT_EQ(Start(device, "com.apple.afc", &connection, true), 0);
    EXPECT_EQ(Counters().serviceConnections, 1);
    AMDServiceConnectionInvalidate(connection);
    AMDServiceConnectionInvalidate(connection);
    EXPECT_EQ(Counters().serviceConnections, 0);
    AFCConnectionRef afc = nullptr;
    EXPECT_EQ(AFCConnectionOpen(connection, 0, &afc), 11);
    EXPECT_GT(AMDServiceConnectionGetSocket(connection), 0);  // the handle itself lives on
    CFRelease(connection);
    EXPECT_EQ(Counters().serviceConnections, 0);
}

TEST_F(SimMdServices, CreatedConnectionSpeaksOnTheStartedOne) {
    AMDeviceRef device = AttachDevice();
    AMDServiceConnectionRef started = nullptr;
    ASSERT_EQ(Start(device, kProxy, &started), 0);
    AMDServiceConnectionRef created = AMDServiceConnectionCreate(started, nullptr, nullptr);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(AMDServiceConnectionGetSocket(created), AMDServiceConnectionGetSocket(started));
    ASSERT_TRUE(SendCommand(created, "ObserveNotification", "com.example.ping"));
    ASSERT_EQ(BwSimPostDeviceNotification(TakeText(AMDeviceCopyDeviceIdentifier(device)).c_str(),
                                          "com.example.ping"),
              1);
    const std::optional<Message> relay = ReceiveMessage(created);
    ASSERT_TRUE(relay.has_value());
    EXPECT_EQ(relay->command, "RelayNotification");
    EXPECT_EQ(relay->name, "com.example.ping");
    // The created connection took over the start's handle: releasing it frees both.
    AMDServiceConnectionInvalidate(created);
    CFRelease(created);
    EXPECT_EQ(Counters().serviceConnections, 0);
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

TEST_F(SimMdServices, NothingToReceiveTimesOut) {
    AMDeviceRef device = AttachDevice();
    AMDServiceConnectionRef proxy = nullptr;
    ASSERT_EQ(Start(device, kProxy, &proxy, true), 0);
    char byte = 0;
    EXPECT_EQ(AMDServiceConnectionReceive(proxy, &byte, 1), -1);
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

TEST_F(SimMdServices, AfcServicesTakeNoMessages) {
    AMDeviceRef device = AttachDevice();
    AMDServiceConnectionRef afc = nullptr;
    ASSERT_EQ(Start(device, "com.apple.afc", &afc, true), 0);
    EXPECT_EQ(AMDServiceConnectionSend(afc, "\0\0\0\0", 4), -1);
    CFStringRef name = Text("x");
    EXPECT_NE(AMDObserveNotification(afc, name), 0);
    CFRelease(name);
    CFRelease(afc);
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

TEST_F(SimMdServices, HouseArrestServesTheApplicationContainer) {
    const std::string image = MakeImage(WithUdid('7'));
    const std::string container =
        image + "/fs/var/mobile/Applications/0A1B2C3D-0000-4000-8000-000000000001";
    folder_.Write(container.substr(folder_.path().size() + 1) + "/Notes.app/Info.plist",
                  "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                  "<key>CFBundleIdentifier</key><string>com.example.notes</string></dict></plist>");
    folder_.Write(container.substr(folder_.path().size() + 1) + "/Documents/note.txt", "hello");
    AMDeviceRef device = Device(Attach(image));
    ASSERT_EQ(ConnectAndStartSession(device), 0);

    CFStringRef bundle = Text("com.example.notes");
    CFStringRef missing = Text("com.example.missing");
    AMDServiceConnectionRef handle = nullptr;
    EXPECT_NE(AMDeviceStartHouseArrestService(device, missing, nullptr, &handle, nullptr), 0);
    ASSERT_EQ(AMDeviceStartHouseArrestService(device, bundle, nullptr, &handle, nullptr), 0);
    AFCConnectionRef afc = nullptr;
    ASSERT_EQ(AFCConnectionOpen(handle, 0, &afc), 0);
    EXPECT_EQ(ReadDeviceFile(afc, "/Documents/note.txt").value_or(""), "hello");
    EXPECT_EQ(Info(afc, "/Notes.app")["st_ifmt"], "S_IFDIR");
    EXPECT_EQ(ReadDeviceFile(afc, "/../../Library/Preferences"), std::nullopt);
    EXPECT_EQ(AFCConnectionClose(afc), 0);

    // Vending only the documents roots the connection at Documents.
    CFStringRef commandKey = Text("Command");
    CFStringRef documents = Text("VendDocuments");
    CFStringRef unknown = Text("VendEverything");
    const void* keys[] = {commandKey};
    const void* values[] = {documents};
    CFDictionaryRef options = CFDictionaryCreate(
        nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    values[0] = unknown;
    CFDictionaryRef bad = CFDictionaryCreate(
        nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    EXPECT_EQ(AMDeviceStartHouseArrestService(device, bundle, bad, &handle, nullptr),
              kAmdInvalidArgument);
    ASSERT_EQ(AMDeviceStartHouseArrestService(device, bundle, options, &handle, nullptr), 0);
    ASSERT_EQ(AFCConnectionOpen(handle, 0, &afc), 0);
    EXPECT_EQ(ReadDeviceFile(afc, "/note.txt").value_or(""), "hello");
    EXPECT_EQ(AFCConnectionClose(afc), 0);
    CloseSession(device);
    for (CFTypeRef object : {static_cast<CFTypeRef>(bundle), static_cast<CFTypeRef>(missing),
                             static_cast<CFTypeRef>(commandKey), static_cast<CFTypeRef>(documents),
                             static_cast<CFTypeRef>(unknown), static_cast<CFTypeRef>(options),
                             static_cast<CFTypeRef>(bad)})
        CFRelease(object);
    EXPECT_EQ(Counters().serviceConnections, 0);
}

TEST_F(SimMdServices, CrashReportServiceServesTheCrashReporterFolder) {
    const std::string image = MakeImage();
    folder_.Write(image.substr(folder_.path().size() + 1) +
                      "/fs/var/mobile/Library/Logs/CrashReporter/App_2014-08-01.ips",
                  "crash");
    AFCConnectionRef afc = OpenAfc(Device(Attach(image)), "com.apple.crashreportcopymobile");
    ASSERT_NE(afc, nullptr);
    EXPECT_EQ(ReadDeviceFile(afc, "App_2014-08-01.ips").value_or(""), "crash");
    EXPECT_EQ(AFCConnectionClose(afc), 0);
}

TEST_F(SimMdServices, InjectedFailuresHitTheNamedCallsOnly) {
    AMDeviceRef device = AttachDevice();
    ASSERT_EQ(BwSimInjectFailure("AMDeviceStartService", "com.apple.afc", 0x1234, 2), 0);
    ASSERT_EQ(BwSimInjectFailure("AMDeviceCopyValue", "DeviceName", 1, 1), 0);
    EXPECT_EQ(BwSimInjectFailure(nullptr, nullptr, 1, 1), -1);
    EXPECT_EQ(BwSimInjectFailure("AMDeviceConnect", nullptr, 1, 0), -1);

    AMDServiceConnectionRef connection = nullptr;
    EXPECT_EQ(Start(device, "com.apple.afc", &connection), 0x1234);
    EXPECT_EQ(Start(device, kProxy, &connection), 0);  // another service is not hit
    CFRelease(connection);
    EXPECT_EQ(Start(device, "com.apple.afc", &connection), 0x1234);
    EXPECT_EQ(Start(device, "com.apple.afc", &connection), 0);  // both used up
    AFCConnectionRef afc = nullptr;
    ASSERT_EQ(AFCConnectionOpen(connection, 0, &afc), 0);

    ASSERT_EQ(ConnectAndStartSession(device), 0);
    CFStringRef name = Text("DeviceName");
    EXPECT_EQ(AMDeviceCopyValue(device, nullptr, name), nullptr);
    EXPECT_NE(TakeText(AMDeviceCopyValue(device, nullptr, name)), "<null>");
    CFRelease(name);
    CloseSession(device);

    ASSERT_EQ(BwSimInjectFailure("AFCFileRefOpen", "/blocked", 10, 5), 0);
    ASSERT_EQ(BwSimInjectFailure("AMDeviceConnect", nullptr, kAmdNotConnected, 5), 0);
    AFCFileRef file = 0;
    EXPECT_EQ(AFCFileRefOpen(afc, "/blocked", 3, &file), 10);
    EXPECT_EQ(file, 0u);
    EXPECT_EQ(AMDeviceConnect(device), kAmdNotConnected);
    BwSimClearFailures();
    EXPECT_EQ(AFCFileRefOpen(afc, "/blocked", 3, &file), 0);
    EXPECT_EQ(AFCFileRefClose(afc, file), 0);
    EXPECT_EQ(AMDeviceConnect(device), 0);
    EXPECT_EQ(AMDeviceDisconnect(device), 0);
    EXPECT_EQ(AFCConnectionClose(afc), 0);
}

TEST_F(SimMdServices, ServiceConnectionsOfADepartedDeviceFail) {
    ImageOptions options = WithUdid('9');
    AMDeviceRef device = AttachDevice(options);
    AMDServiceConnectionRef proxy = nullptr;
    ASSERT_EQ(Start(device, kProxy, &proxy, true), 0);
    AFCConnectionRef afc = OpenAfc(device);
    ASSERT_NE(afc, nullptr);
    ASSERT_EQ(BwSimDetach(options.udid.c_str()), 0);
    EXPECT_EQ(AMDServiceConnectionSend(proxy, "\0\0\0\0", 4), -1);
    int status = 0;
    List(afc, "/", &status);
    EXPECT_EQ(status, 11);
    // Still open until their holders close them, so that leaks stay visible.
    EXPECT_EQ(Counters().afcConnections, 1);
    EXPECT_EQ(AFCConnectionClose(afc), 0);
    CFRelease(proxy);
    EXPECT_EQ(Counters().serviceConnections, 0);
}

}  // namespace
}  // namespace bw::sim::mdtest
