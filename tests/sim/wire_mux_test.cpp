// The multiplexer socket and lockdown as their bytes go: a raw client written from the protocol
// asks for devices, events, pair records and links, and the simulator's counters show what each
// link holds.
#include <sys/stat.h>

#include <fstream>

#include "sim/wire_support.h"

namespace bw::testing::wire {
namespace {

using sim::DictBuilder;

constexpr uint16_t kLockdownPort = 62078;

// The port as libusbmuxd puts it in the integer: network byte order.
uint64_t WirePort(uint16_t port) {
    return static_cast<uint64_t>(((port & 0xFF) << 8) | (port >> 8));
}

class WireMuxTest : public WireTest {
  protected:
    // The DeviceID the multiplexer lists for `udid`, or nothing.
    std::optional<uint64_t> DeviceId(const std::string& udid) {
        RawClient client(socket_);
        if (!client.Request("ListDevices", DictBuilder())) return std::nullopt;
        const std::optional<RawClient::Answer> answer = client.ReadMux();
        if (!answer || answer->body == nullptr) return std::nullopt;
        const plist_t list = plist_dict_get_item(answer->body.get(), "DeviceList");
        for (uint32_t i = 0; list != nullptr && i < plist_array_get_size(list); ++i) {
            const plist_t properties =
                plist_dict_get_item(plist_array_get_item(list, i), "Properties");
            if (TextAt(properties, "SerialNumber") == udid) return UintAt(properties, "DeviceID");
        }
        return std::nullopt;
    }

    // A client whose socket is a link to the device's port.
    std::unique_ptr<RawClient> ConnectTo(uint64_t deviceId, uint16_t port, long* result = nullptr) {
        auto client = std::make_unique<RawClient>(socket_);
        client->Request(
            "Connect",
            std::move(
                DictBuilder().Integer("DeviceID", deviceId).Integer("PortNumber", WirePort(port))));
        const long number = client->ReadResult();
        if (result != nullptr) *result = number;
        return number == 0 ? std::move(client) : nullptr;
    }

    std::string HostIdOf(const std::string& udid) {
        RawClient client(socket_);
        client.Request("ReadPairRecord", std::move(DictBuilder().Text("PairRecordID", udid)));
        const std::optional<RawClient::Answer> answer = client.ReadMux();
        if (!answer || answer->body == nullptr) return {};
        const plist_t data = plist_dict_get_item(answer->body.get(), "PairRecordData");
        if (data == nullptr || plist_get_node_type(data) != PLIST_DATA) return {};
        char* bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(data, &bytes, &length);
        plist_t record = nullptr;
        plist_from_memory(bytes, static_cast<uint32_t>(length), &record);
        std::free(bytes);
        sim::PlistTree owned(record);
        return TextAt(record, "HostID");
    }
};

TEST_F(WireMuxTest, ListsUsbAndNetworkDevicesAsTheMultiplexerDescribesThem) {
    sim::ImageOptions wifi;
    wifi.seed = 2;
    wifi.interfaceType = "Network";
    const std::string usbUdid = Attach(MakeImage("usb"));
    const std::string wifiUdid = Attach(MakeImage("wifi", wifi));
    ASSERT_TRUE(StartServer());

    struct stat info {};
    ASSERT_EQ(::lstat(socket_.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    RawClient client(socket_);
    ASSERT_TRUE(client.Request("ListDevices", DictBuilder(), 42));
    const std::optional<RawClient::Answer> answer = client.ReadMux();
    ASSERT_TRUE(answer && answer->body != nullptr);
    EXPECT_EQ(answer->version, 1u);
    EXPECT_EQ(answer->message, 8u);
    EXPECT_EQ(answer->tag, 42u);
    const plist_t list = plist_dict_get_item(answer->body.get(), "DeviceList");
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(plist_array_get_size(list), 2u);
    const plist_t usb = plist_dict_get_item(plist_array_get_item(list, 0), "Properties");
    const plist_t net = plist_dict_get_item(plist_array_get_item(list, 1), "Properties");
    EXPECT_EQ(TextAt(usb, "SerialNumber"), usbUdid);
    EXPECT_EQ(TextAt(usb, "ConnectionType"), "USB");
    EXPECT_TRUE(UintAt(usb, "ProductID").has_value());
    EXPECT_EQ(TextAt(net, "SerialNumber"), wifiUdid);
    EXPECT_EQ(TextAt(net, "ConnectionType"), "Network");
    const plist_t address = plist_dict_get_item(net, "NetworkAddress");
    ASSERT_NE(address, nullptr);
    ASSERT_EQ(plist_get_node_type(address), PLIST_DATA);
    char* bytes = nullptr;
    uint64_t length = 0;
    plist_get_data_val(address, &bytes, &length);
    ASSERT_GE(length, 8u);
    EXPECT_EQ(bytes[1], 2) << "an IPv4 socket address";
    std::free(bytes);
    EXPECT_NE(UintAt(usb, "DeviceID"), UintAt(net, "DeviceID"));
}

TEST_F(WireMuxTest, ListenersHearArrivalsAndDeparturesWithOneDeviceId) {
    const std::string first = Attach(MakeImage("first"));
    ASSERT_TRUE(StartServer());
    RawClient listener(socket_);
    ASSERT_TRUE(listener.Request("Listen", DictBuilder(), 3));
    EXPECT_EQ(listener.ReadResult(), 0);
    std::optional<RawClient::Answer> event = listener.ReadMux();
    ASSERT_TRUE(event && event->body != nullptr);
    EXPECT_EQ(TextAt(event->body.get(), "MessageType"), "Attached");
    EXPECT_EQ(TextAt(plist_dict_get_item(event->body.get(), "Properties"), "SerialNumber"), first);

    sim::ImageOptions options;
    options.seed = 5;
    const std::string second = Attach(MakeImage("second", options));
    event = listener.ReadMux();
    ASSERT_TRUE(event && event->body != nullptr);
    EXPECT_EQ(TextAt(event->body.get(), "MessageType"), "Attached");
    EXPECT_EQ(TextAt(plist_dict_get_item(event->body.get(), "Properties"), "SerialNumber"), second);
    const std::optional<uint64_t> id = UintAt(event->body.get(), "DeviceID");
    ASSERT_TRUE(id.has_value());

    ASSERT_EQ(BwSimDetach(second.c_str()), 0);
    event = listener.ReadMux();
    ASSERT_TRUE(event && event->body != nullptr);
    EXPECT_EQ(TextAt(event->body.get(), "MessageType"), "Detached");
    EXPECT_EQ(UintAt(event->body.get(), "DeviceID"), id);
    EXPECT_FALSE(DeviceId(second).has_value());
    EXPECT_TRUE(DeviceId(first).has_value());
    listener.Close();
    ExpectClientGone();
}

TEST_F(WireMuxTest, BadRequestsGetClearResultsAndBrokenFramesEndTheLink) {
    const std::string udid = Attach(MakeImage("phone"));
    ASSERT_TRUE(StartServer());
    const std::optional<uint64_t> id = DeviceId(udid);
    ASSERT_TRUE(id.has_value());

    RawClient client(socket_);
    // No such device; a port nothing listens on; a request no multiplexer knows.
    ASSERT_TRUE(
        client.Request("Connect", std::move(DictBuilder()
                                                .Integer("DeviceID", *id + 1000)
                                                .Integer("PortNumber", WirePort(kLockdownPort)))));
    EXPECT_EQ(client.ReadResult(), 2);
    ASSERT_TRUE(client.Request(
        "Connect",
        std::move(DictBuilder().Integer("DeviceID", *id).Integer("PortNumber", WirePort(50000)))));
    EXPECT_EQ(client.ReadResult(), 3);
    ASSERT_TRUE(client.Request("Teleport", DictBuilder()));
    EXPECT_EQ(client.ReadResult(), 1);
    // A list that is not a dictionary.
    sim::PlistTree notDict(plist_new_string("ListDevices"));
    ASSERT_TRUE(client.Send(MuxMessage(notDict.get(), 9)));
    EXPECT_EQ(client.ReadResult(), 1);

    // The binary protocol gets a binary result that says which version to speak.
    ASSERT_TRUE(client.Send(std::string("\x10\0\0\0\0\0\0\0\x03\0\0\0\x0b\0\0\0", 16)));
    const std::optional<RawClient::Answer> old = client.ReadMux();
    ASSERT_TRUE(old.has_value());
    EXPECT_EQ(old->message, 1u);
    EXPECT_EQ(old->tag, 11u);
    ASSERT_EQ(old->payload.size(), 4u);
    EXPECT_EQ(old->payload, std::string("\x06\0\0\0", 4));

    // A header that claims more than any message may hold ends the link.
    ASSERT_TRUE(client.Send(std::string("\xff\xff\xff\x7f\x01\0\0\0\x08\0\0\0\x01\0\0\0", 16)));
    EXPECT_TRUE(client.ClosedByPeer());
    // So does one shorter than a header.
    RawClient shortHeader(socket_);
    ASSERT_TRUE(shortHeader.Send(std::string("\x04\0\0\0\x01\0\0\0\x08\0\0\0\x01\0\0\0", 16)));
    EXPECT_TRUE(shortHeader.ClosedByPeer());
    client.Close();
    shortHeader.Close();
    ExpectClientGone();
}

TEST_F(WireMuxTest, PairRecordsAreKeptPerServerAndOnlyPairedImagesStartWithOne) {
    sim::ImageOptions unpaired;
    unpaired.seed = 3;
    unpaired.paired = false;
    const std::string paired = Attach(MakeImage("paired"));
    const std::string stranger = Attach(MakeImage("stranger", unpaired));
    ASSERT_TRUE(StartServer());

    RawClient client(socket_);
    ASSERT_TRUE(client.Request("ReadBUID", DictBuilder()));
    const std::optional<RawClient::Answer> buid = client.ReadMux();
    ASSERT_TRUE(buid && buid->body != nullptr);
    const std::string systemBuid = TextAt(buid->body.get(), "BUID");
    EXPECT_EQ(systemBuid.size(), 36u);

    ASSERT_TRUE(
        client.Request("ReadPairRecord", std::move(DictBuilder().Text("PairRecordID", paired))));
    const std::optional<RawClient::Answer> record = client.ReadMux();
    ASSERT_TRUE(record && record->body != nullptr);
    const plist_t data = plist_dict_get_item(record->body.get(), "PairRecordData");
    ASSERT_NE(data, nullptr);
    char* bytes = nullptr;
    uint64_t length = 0;
    plist_get_data_val(data, &bytes, &length);
    plist_t parsed = nullptr;
    plist_from_memory(bytes, static_cast<uint32_t>(length), &parsed);
    std::free(bytes);
    sim::PlistTree owned(parsed);
    EXPECT_EQ(TextAt(parsed, "SystemBUID"), systemBuid);
    EXPECT_EQ(TextAt(parsed, "HostID").size(), 36u);

    ASSERT_TRUE(
        client.Request("ReadPairRecord", std::move(DictBuilder().Text("PairRecordID", stranger))));
    EXPECT_EQ(client.ReadResult(), 2);

    // A saved record reads back; one without a HostID, or no list at all, is refused.
    sim::PlistTree saved = DictBuilder().Text("HostID", "HOST-1").Text("SystemBUID", "B").Take();
    char* xml = nullptr;
    uint32_t xmlLength = 0;
    plist_to_xml(saved.get(), &xml, &xmlLength);
    const std::string savedXml(xml, xmlLength);
    plist_to_xml_free(xml);
    ASSERT_TRUE(client.Request(
        "SavePairRecord",
        std::move(DictBuilder()
                      .Text("PairRecordID", stranger)
                      .Value("PairRecordData", plist_new_data(savedXml.data(), savedXml.size())))));
    EXPECT_EQ(client.ReadResult(), 0);
    EXPECT_EQ(HostIdOf(stranger), "HOST-1");
    ASSERT_TRUE(client.Request("SavePairRecord",
                               std::move(DictBuilder()
                                             .Text("PairRecordID", stranger)
                                             .Value("PairRecordData", plist_new_data("junk", 4)))));
    EXPECT_EQ(client.ReadResult(), 1);
    EXPECT_EQ(HostIdOf(stranger), "HOST-1");

    // Records for made-up phones are kept up to a bound, and one already kept can still change.
    long refused = -1;
    for (int i = 0; i < 1100 && refused < 0; ++i) {
        ASSERT_TRUE(client.Request(
            "SavePairRecord",
            std::move(
                DictBuilder()
                    .Text("PairRecordID", "made-up-" + std::to_string(i))
                    .Value("PairRecordData", plist_new_data(savedXml.data(), savedXml.size())))));
        if (client.ReadResult() != 0) refused = i;
    }
    EXPECT_GT(refused, 100);
    EXPECT_LT(refused, 1100);
    ASSERT_TRUE(client.Request(
        "SavePairRecord",
        std::move(DictBuilder()
                      .Text("PairRecordID", stranger)
                      .Value("PairRecordData", plist_new_data(savedXml.data(), savedXml.size())))));
    EXPECT_EQ(client.ReadResult(), 0);

    ASSERT_TRUE(client.Request("DeletePairRecord",
                               std::move(DictBuilder().Text("PairRecordID", stranger))));
    EXPECT_EQ(client.ReadResult(), 0);
    ASSERT_TRUE(
        client.Request("ReadPairRecord", std::move(DictBuilder().Text("PairRecordID", stranger))));
    EXPECT_EQ(client.ReadResult(), 2);
    client.Close();
    ExpectClientGone();
}

TEST_F(WireMuxTest, LockdownLinksMirrorConnectionsSessionsAndServicesInTheCounters) {
    sim::ImageOptions locked;
    locked.seed = 4;
    locked.passcodeLocked = true;
    const std::string udid = Attach(MakeImage("phone"));
    const std::string lockedUdid = Attach(MakeImage("locked", locked));
    ASSERT_TRUE(StartServer());
    const std::optional<uint64_t> id = DeviceId(udid);
    ASSERT_TRUE(id.has_value());
    const std::string hostId = HostIdOf(udid);
    ASSERT_FALSE(hostId.empty());

    std::unique_ptr<RawClient> lockdown = ConnectTo(*id, kLockdownPort);
    ASSERT_NE(lockdown, nullptr);
    EXPECT_EQ(Counters().connectedDevices, 1);
    sim::PlistTree answer =
        lockdown->Lockdown(std::move(DictBuilder().Text("Request", "QueryType")));
    EXPECT_EQ(TextAt(answer.get(), "Type"), "com.apple.mobile.lockdown");

    // Before a session only the identity values are told.
    answer = lockdown->Lockdown(
        std::move(DictBuilder().Text("Request", "GetValue").Text("Key", "UniqueDeviceID")));
    EXPECT_EQ(TextAt(answer.get(), "Value"), udid);
    answer = lockdown->Lockdown(std::move(
        DictBuilder().Text("Request", "GetValue").Text("Domain", "com.apple.mobile.battery")));
    EXPECT_EQ(TextAt(answer.get(), "Error"), "MissingValue");
    answer = lockdown->Lockdown(
        std::move(DictBuilder().Text("Request", "StartService").Text("Service", "com.apple.afc")));
    EXPECT_NE(TextAt(answer.get(), "Error"), "<none>");
    EXPECT_EQ(Counters().serviceConnections, 0);

    answer = lockdown->Lockdown(
        std::move(DictBuilder().Text("Request", "StartSession").Text("HostID", "someone-else")));
    EXPECT_EQ(TextAt(answer.get(), "Error"), "InvalidHostID");
    EXPECT_EQ(Counters().sessions, 0);
    answer = lockdown->Lockdown(
        std::move(DictBuilder().Text("Request", "StartSession").Text("HostID", hostId)));
    EXPECT_EQ(TextAt(answer.get(), "Error"), "<none>");
    const plist_t ssl = plist_dict_get_item(answer.get(), "EnableSessionSSL");
    ASSERT_NE(ssl, nullptr);
    uint8_t sslOn = 1;
    plist_get_bool_val(ssl, &sslOn);
    EXPECT_EQ(sslOn, 0);
    EXPECT_EQ(Counters().sessions, 1);

    answer = lockdown->Lockdown(std::move(
        DictBuilder().Text("Request", "GetValue").Text("Domain", "com.apple.mobile.battery")));
    ASSERT_NE(plist_dict_get_item(answer.get(), "Value"), nullptr);
    EXPECT_EQ(plist_get_node_type(plist_dict_get_item(answer.get(), "Value")), PLIST_DICT);

    answer = lockdown->Lockdown(std::move(
        DictBuilder().Text("Request", "StartService").Text("Service", "com.apple.no.such.thing")));
    EXPECT_EQ(TextAt(answer.get(), "Error"), "InvalidService");
    answer =
        lockdown->Lockdown(std::move(DictBuilder()
                                         .Text("Request", "StartService")
                                         .Text("Service", "com.apple.mobile.installation_proxy")));
    const std::optional<uint64_t> port = UintAt(answer.get(), "Port");
    ASSERT_TRUE(port.has_value());
    EXPECT_EQ(Counters().serviceConnections, 1);
    // Started and not yet connected counts as open, and a port serves one connection only.
    EXPECT_EQ(server_->OpenLinks(), 2u);
    std::unique_ptr<RawClient> service = ConnectTo(*id, static_cast<uint16_t>(*port));
    ASSERT_NE(service, nullptr);
    long again = 0;
    EXPECT_EQ(ConnectTo(*id, static_cast<uint16_t>(*port), &again), nullptr);
    EXPECT_EQ(again, 3);

    // The service answers through the link as the simulator's service answers.
    sim::PlistTree browse = DictBuilder().Text("Command", "Browse").Take();
    ASSERT_TRUE(service->SendFramed(browse.get()));
    sim::PlistTree reply = service->ReadFramed();
    ASSERT_NE(reply, nullptr);
    EXPECT_NE(TextAt(reply.get(), "Status"), "<none>");

    answer = lockdown->Lockdown(std::move(DictBuilder().Text("Request", "Goodbye")));
    EXPECT_EQ(TextAt(answer.get(), "Request"), "Goodbye");
    EXPECT_TRUE(lockdown->ClosedByPeer());
    service->Close();
    ExpectClientGone();

    // A locked phone refuses services as a phone words it.
    const std::optional<uint64_t> lockedId = DeviceId(lockedUdid);
    ASSERT_TRUE(lockedId.has_value());
    std::unique_ptr<RawClient> lockedLink = ConnectTo(*lockedId, kLockdownPort);
    ASSERT_NE(lockedLink, nullptr);
    answer = lockedLink->Lockdown(std::move(
        DictBuilder().Text("Request", "StartSession").Text("HostID", HostIdOf(lockedUdid))));
    EXPECT_EQ(TextAt(answer.get(), "Error"), "<none>");
    answer = lockedLink->Lockdown(
        std::move(DictBuilder()
                      .Text("Request", "StartService")
                      .Text("Service", "com.apple.mobile.installation_proxy")));
    EXPECT_EQ(TextAt(answer.get(), "Error"), "PasswordProtected");
    lockedLink->Close();
    ExpectClientGone();
}

TEST_F(WireMuxTest, TheWiresOwnServicesNeedASessionAndSpeakAsAPhoneDoes) {
    const std::string image = MakeImage("phone");
    const std::string udid = Attach(image);
    ASSERT_TRUE(StartServer());
    const std::optional<uint64_t> id = DeviceId(udid);
    ASSERT_TRUE(id.has_value());
    std::unique_ptr<RawClient> lockdown = ConnectTo(*id, kLockdownPort);
    ASSERT_NE(lockdown, nullptr);
    const auto start = [&](const char* service) {
        return lockdown->Lockdown(
            std::move(DictBuilder().Text("Request", "StartService").Text("Service", service)));
    };
    sim::PlistTree answer = start("com.apple.crashreportmover");
    EXPECT_EQ(TextAt(answer.get(), "Error"), "NoRunningSession");
    answer = lockdown->Lockdown(
        std::move(DictBuilder().Text("Request", "StartSession").Text("HostID", HostIdOf(udid))));
    ASSERT_EQ(TextAt(answer.get(), "Error"), "<none>");

    // The crash-report mover says "ping" once the logs are in the copy area.
    answer = start("com.apple.crashreportmover");
    const std::optional<uint64_t> moverPort = UintAt(answer.get(), "Port");
    ASSERT_TRUE(moverPort.has_value());
    std::unique_ptr<RawClient> mover = ConnectTo(*id, static_cast<uint16_t>(*moverPort));
    ASSERT_NE(mover, nullptr);
    std::string ping;
    ASSERT_TRUE(mover->Read(ping, 4));
    EXPECT_EQ(ping, "ping");
    mover->Close();

#if BW_WIRE_SERVES_AFC
    // House arrest vends an application's folder by its bundle identifier, then speaks AFC.
    answer = start("com.apple.mobile.house_arrest");
    const std::optional<uint64_t> vendPort = UintAt(answer.get(), "Port");
    ASSERT_TRUE(vendPort.has_value());
    lockdown->Lockdown(std::move(DictBuilder().Text("Request", "Goodbye")));
    lockdown->Close();
    std::unique_ptr<RawClient> vend = ConnectTo(*id, static_cast<uint16_t>(*vendPort));
    ASSERT_NE(vend, nullptr);
    sim::PlistTree request =
        DictBuilder().Text("Command", "VendContainer").Text("Identifier", "com.no.such.app").Take();
    ASSERT_TRUE(vend->SendFramed(request.get()));
    sim::PlistTree reply = vend->ReadFramed();
    EXPECT_EQ(TextAt(reply.get(), "Error"), "ApplicationLookupFailed");
    EXPECT_EQ(Counters().afcConnections, 0);
    request = DictBuilder()
                  .Text("Command", "VendDocuments")
                  .Text("Identifier", "com.paperfold.notebook")
                  .Take();
    ASSERT_TRUE(vend->SendFramed(request.get()));
    reply = vend->ReadFramed();
    EXPECT_EQ(TextAt(reply.get(), "Status"), "Complete");
    // Vending ran in a session of its own, which has ended; the AFC connection stays.
    EXPECT_TRUE(LinksClosedBut(1));
    EXPECT_EQ(Counters().sessions, 0);
    EXPECT_EQ(Counters().afcConnections, 1);
    vend->Close();
#else
    lockdown->Close();
#endif
    ExpectClientGone();
}

TEST_F(WireMuxTest, ALockdownFrameBeyondTheBoundOrNotADictionaryEndsTheLink) {
    const std::string udid = Attach(MakeImage("phone"));
    ASSERT_TRUE(StartServer());
    const std::optional<uint64_t> id = DeviceId(udid);
    ASSERT_TRUE(id.has_value());

    std::unique_ptr<RawClient> huge = ConnectTo(*id, kLockdownPort);
    ASSERT_NE(huge, nullptr);
    ASSERT_TRUE(huge->Send(std::string("\x00\x20\x00\x00", 4)));  // 2 MB announced
    EXPECT_TRUE(huge->ClosedByPeer());

    std::unique_ptr<RawClient> array = ConnectTo(*id, kLockdownPort);
    ASSERT_NE(array, nullptr);
    sim::PlistTree list(plist_new_array());
    ASSERT_TRUE(array->SendFramed(list.get()));
    EXPECT_TRUE(array->ClosedByPeer());

    // A dictionary without a request is answered, and the link goes on.
    std::unique_ptr<RawClient> vague = ConnectTo(*id, kLockdownPort);
    ASSERT_NE(vague, nullptr);
    sim::PlistTree answer = vague->Lockdown(std::move(DictBuilder().Text("Label", "x")));
    EXPECT_EQ(TextAt(answer.get(), "Error"), "InvalidRequest");
    answer = vague->Lockdown(std::move(DictBuilder().Text("Request", "QueryType")));
    EXPECT_EQ(TextAt(answer.get(), "Type"), "com.apple.mobile.lockdown");
    huge->Close();
    array->Close();
    vague->Close();
    ExpectClientGone();
}

TEST_F(WireMuxTest, StoppingTheServerEndsOpenLinksAndReleasesWhatTheyHeld) {
    const std::string udid = Attach(MakeImage("phone"));
    ASSERT_TRUE(StartServer());
    const std::optional<uint64_t> id = DeviceId(udid);
    ASSERT_TRUE(id.has_value());
    std::unique_ptr<RawClient> lockdown = ConnectTo(*id, kLockdownPort);
    ASSERT_NE(lockdown, nullptr);
    sim::PlistTree answer = lockdown->Lockdown(
        std::move(DictBuilder().Text("Request", "StartSession").Text("HostID", HostIdOf(udid))));
    answer =
        lockdown->Lockdown(std::move(DictBuilder()
                                         .Text("Request", "StartService")
                                         .Text("Service", "com.apple.mobile.notification_proxy")));
    ASSERT_TRUE(UintAt(answer.get(), "Port").has_value());
    RawClient listener(socket_);
    ASSERT_TRUE(listener.Request("Listen", DictBuilder()));
    EXPECT_EQ(listener.ReadResult(), 0);
    EXPECT_EQ(Counters().sessions, 1);
    EXPECT_EQ(Counters().serviceConnections, 1);

    server_.reset();
    ExpectNothingOpen();
    EXPECT_TRUE(lockdown->ClosedByPeer());
    struct stat info {};
    EXPECT_NE(::lstat(socket_.c_str(), &info), 0) << "the socket is removed";
}

TEST_F(WireMuxTest, StartReplacesOnlyAStaleSocket) {
    std::string error;
    // A regular file is never replaced.
    const std::string file = folder_.Write("not-a-socket", "keep me");
    EXPECT_EQ(sim::wire::WireServer::Start(file, error), nullptr);
    EXPECT_NE(error.find("not a socket"), std::string::npos) << error;
    EXPECT_EQ(ReadFileBytes(file), "keep me");

    // A socket someone serves is theirs.
    ASSERT_TRUE(StartServer());
    error.clear();
    EXPECT_EQ(sim::wire::WireServer::Start(socket_, error), nullptr);
    EXPECT_NE(error.find("in use"), std::string::npos) << error;

    // One left behind by a server that is gone is replaced.
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string stalePath = folder_ / "stale";
    std::strncpy(address.sun_path, stalePath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(stale);
    std::unique_ptr<sim::wire::WireServer> second = sim::wire::WireServer::Start(stalePath, error);
    EXPECT_NE(second, nullptr) << error;
    second.reset();

    EXPECT_EQ(sim::wire::WireServer::Start(std::string(200, 'x'), error), nullptr);
    EXPECT_EQ(sim::wire::WireServer::Start(folder_ / "no/such/folder/mux", error), nullptr);
}

}  // namespace
}  // namespace bw::testing::wire
