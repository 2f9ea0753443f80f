// The simulator's diagnostics relay: a restart answers, the device leaves as an unplugged phone
// does and arrives again from its image, a new device with the values it had; what was open on
// the old one fails; the requests a relay knows besides, and the time a restart takes.
#include <fstream>
#include <iterator>

#include "common/plist_file.h"
#include "image/image_builder.h"
#include "md_support.h"

namespace bw::sim::mdtest {
namespace {

constexpr char kRelay[] = "com.apple.mobile.diagnostics_relay";

PlistTree Request(const char* name) {
    PlistTree request(plist_new_dict());
    plist_dict_set_item(request.get(), "Request", plist_new_string(name));
    return request;
}

std::string StatusOf(const PlistTree& reply) {
    if (reply == nullptr || plist_get_node_type(reply.get()) != PLIST_DICT) return "<no reply>";
    if (plist_dict_get_size(reply.get()) != 1) return "<other keys: " + XmlOf(reply.get()) + ">";
    const plist_t status = plist_dict_get_item(reply.get(), "Status");
    return status != nullptr ? StringValue(status) : "<no status>";
}

class SimMdRestart : public SimMdTest {
  protected:
    // The image's device attached, its reference known, restarts immediate unless a test says
    // otherwise.
    AMDeviceRef AttachImage(const std::string& image) {
        udid_ = Attach(image);
        EXPECT_EQ(BwSimSetRestartDelay(udid_.c_str(), 0), 0);
        return Device(udid_);
    }

    // Sends `request` on a new relay connection and reads the answer, leaving the connection to
    // the caller.
    PlistTree Ask(AMDeviceRef device, const char* request, AMDServiceConnectionRef& relay) {
        relay = StartService(device, kRelay);
        if (relay == nullptr) return nullptr;
        EXPECT_TRUE(SendMessage(relay, Request(request).get()));
        return ReceiveMessage(relay);
    }

    // A restart asked on its own relay connection, answered, and the connection closed.
    void Restart(AMDeviceRef device) {
        AMDServiceConnectionRef relay = nullptr;
        EXPECT_EQ(StatusOf(Ask(device, "Restart", relay)), "Success");
        CloseService(relay);
    }

    // The devices the subscription saw arrive (message 1) and leave (2), in order.
    std::vector<std::pair<AMDeviceRef, uint32_t>> Events() {
        EXPECT_EQ(BwSimWaitForNotifications(5000), 0);
        std::vector<std::pair<AMDeviceRef, uint32_t>> events;
        for (const Arrival& event : recorder_.Events())
            events.emplace_back(event.device, event.message);
        return events;
    }

    std::string udid_;
};

using Event = std::pair<AMDeviceRef, uint32_t>;

TEST_F(SimMdRestart, RestartLeavesAndArrivesAgainAsANewDeviceWithTheSameValues) {
    AMDeviceRef before = AttachImage(MakeImage());
    ASSERT_EQ(ConnectAndStartSession(before), 0);
    CFStringRef key = Text("DeviceName");
    CFStringRef name = Text("Renamed before the restart");
    ASSERT_EQ(AMDeviceSetValue(before, nullptr, key, name), 0);
    ASSERT_EQ(AMDeviceStopSession(before), 0);
    ASSERT_EQ(AMDeviceDisconnect(before), 0);

    // The library's order: the request, then its session ends, then the relay connection.
    ASSERT_EQ(ConnectAndStartSession(before), 0);
    AMDServiceConnectionRef relay = nullptr;
    CFStringRef service = Text(kRelay);
    ASSERT_EQ(AMDeviceSecureStartService(before, service, nullptr, &relay), 0);
    CFRelease(service);
    ASSERT_TRUE(SendMessage(relay, Request("Restart").get()));
    EXPECT_EQ(StatusOf(ReceiveMessage(relay)), "Success");
    EXPECT_EQ(AMDeviceStopSession(before), 0) << "the phone went down under the host's session";
    EXPECT_EQ(AMDeviceDisconnect(before), 0);
    CloseService(relay);
    ASSERT_EQ(BwSimWaitForRestart(udid_.c_str(), 10000), 0) << BwSimLastError();

    const std::vector<Event> events = Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], Event(before, 1));
    EXPECT_EQ(events[1], Event(before, 2));
    AMDeviceRef after = events[2].first;
    EXPECT_EQ(events[2].second, 1u);
    EXPECT_NE(after, before);
    EXPECT_EQ(TakeText(AMDeviceCopyDeviceIdentifier(after)), udid_);
    ASSERT_EQ(AMDeviceConnect(after), 0);
    EXPECT_EQ(TakeText(AMDeviceCopyValue(after, nullptr, key)), "Renamed before the restart");
    EXPECT_EQ(AMDeviceDisconnect(after), 0);
    EXPECT_EQ(AMDeviceConnect(before), static_cast<int>(0xE800000B)) << "the old device is gone";

    const BwSimCounters counters = Counters();
    EXPECT_EQ(counters.attachedDevices, 1);
    EXPECT_EQ(counters.connectedDevices, 0);
    EXPECT_EQ(counters.sessions, 0);
    EXPECT_EQ(counters.serviceConnections, 0);
    CFRelease(key);
    CFRelease(name);
}

TEST_F(SimMdRestart, WhatWasOpenOnTheOldDeviceFailsCleanlyAndClosesToZero) {
    AMDeviceRef before = AttachImage(MakeImage());
    AFCConnectionRef afc = OpenAfc(before);
    ASSERT_NE(afc, nullptr);
    AFCFileRef file = 0;
    ASSERT_EQ(AFCFileRefOpen(afc, "/kept-open.txt", 3, &file), 0);
    AMDServiceConnectionRef springboard = StartService(before, "com.apple.springboardservices");
    ASSERT_NE(springboard, nullptr);
    // The relay that asked for the restart stays open too.
    AMDServiceConnectionRef relay = nullptr;
    EXPECT_EQ(StatusOf(Ask(before, "Restart", relay)), "Success");
    ASSERT_EQ(BwSimWaitForRestart(udid_.c_str(), 10000), 0) << BwSimLastError();
    // The file service, the springboard connection and the relay.
    EXPECT_EQ(Counters().serviceConnections, 3) << "the host still holds its connections";

    char byte = 0;
    EXPECT_EQ(AMDServiceConnectionReceive(relay, &byte, 1), 0) << "the stream has ended";
    EXPECT_EQ(AMDServiceConnectionSend(relay, "\0\0\0\0", 4), -1);
    EXPECT_NE(AFCFileRefWrite(afc, file, "x", 1), 0);
    int status = 0;
    EXPECT_TRUE(Info(afc, "/", &status).empty());
    EXPECT_NE(status, 0);
    PlistTree request(plist_new_dict());
    plist_dict_set_item(request.get(), "command", plist_new_string("getIconState"));
    EXPECT_FALSE(SendMessage(springboard, request.get()));
    EXPECT_FALSE(ReceiveMessageBytes(springboard).has_value());

    AFCFileRefClose(afc, file);
    AFCConnectionClose(afc);
    CloseService(springboard);
    CloseService(relay);
    const BwSimCounters counters = Counters();
    EXPECT_EQ(counters.afcConnections, 0);
    EXPECT_EQ(counters.afcFiles, 0);
    EXPECT_EQ(counters.serviceConnections, 0);
    EXPECT_EQ(counters.sessions, 0);
    EXPECT_EQ(counters.connectedDevices, 0);
    EXPECT_EQ(counters.attachedDevices, 1);
}

// The first restart is asked by a host that closes at once without reading the answer.
TEST_F(SimMdRestart, AHostThatDoesNotReadStillRestartsAndTheNewDeviceRestartsAgain) {
    AMDeviceRef first = AttachImage(MakeImage());
    AMDServiceConnectionRef relay = StartService(first, kRelay);
    ASSERT_NE(relay, nullptr);
    ASSERT_TRUE(SendMessage(relay, Request("Restart").get()));
    CloseService(relay);
    ASSERT_EQ(BwSimWaitForRestart(udid_.c_str(), 10000), 0) << BwSimLastError();
    AMDeviceRef second = Events().back().first;
    Restart(second);
    ASSERT_EQ(BwSimWaitForRestart(udid_.c_str(), 10000), 0) << BwSimLastError();
    const std::vector<Event> events = Events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[1], Event(first, 2));
    EXPECT_EQ(events[2], Event(second, 1));
    EXPECT_NE(second, first);
    EXPECT_EQ(events[3], Event(second, 2));
    EXPECT_EQ(events[4].second, 1u);
    EXPECT_NE(events[4].first, first);
    EXPECT_NE(events[4].first, second);
}

// Answers take the form of the request; Goodbye answers and then closes.
TEST_F(SimMdRestart, SleepUnknownRequestsAndGoodbyeLeaveTheDeviceWhereItIsShutdownDoesNot) {
    AMDeviceRef device = AttachImage(MakeImage());
    AMDServiceConnectionRef relay = StartService(device, kRelay);
    ASSERT_NE(relay, nullptr);
    ASSERT_TRUE(SendMessage(relay, Request("Sleep").get(), false));
    const std::optional<std::string> xml = ReceiveMessageBytes(relay);
    ASSERT_TRUE(xml.has_value());
    EXPECT_EQ(xml->rfind("<?xml", 0), 0u);
    EXPECT_EQ(StatusOf(ParsePlist(*xml)), "Success");
    PlistTree reboot = Request("Reboot");
    PlistTree noRequest(plist_new_dict());
    plist_dict_set_item(noRequest.get(), "Restart", plist_new_bool(1));
    PlistTree notADictionary(plist_new_array());
    plist_array_append_item(notADictionary.get(), plist_new_string("Restart"));
    for (const PlistTree* unknown : {&reboot, &noRequest, &notADictionary}) {
        ASSERT_TRUE(SendMessage(relay, unknown->get()));
        EXPECT_EQ(StatusOf(ReceiveMessage(relay)), "UnknownRequest") << XmlOf(unknown->get());
    }
    ASSERT_TRUE(SendMessage(relay, Request("Goodbye").get()));
    const std::optional<std::string> binary = ReceiveMessageBytes(relay);
    ASSERT_TRUE(binary.has_value());
    EXPECT_EQ(binary->rfind("bplist00", 0), 0u);
    EXPECT_EQ(StatusOf(ParsePlist(*binary)), "Success");
    char byte = 0;
    EXPECT_EQ(AMDServiceConnectionReceive(relay, &byte, 1), 0) << "Goodbye ends the connection";
    EXPECT_EQ(Counters().serviceConnections, 0);
    CloseService(relay);

    EXPECT_EQ(BwSimWaitForRestart(udid_.c_str(), 1000), -1);
    EXPECT_NE(std::string(BwSimLastError()).find("no restart"), std::string::npos);
    EXPECT_EQ(Events().size(), 1u);
    EXPECT_EQ(ConnectAndStartSession(device), 0) << "the device is still there";
    EXPECT_EQ(AMDeviceStopSession(device), 0);
    EXPECT_EQ(AMDeviceDisconnect(device), 0);

    // Shutdown, unlike all of those, leaves for good.
    EXPECT_EQ(StatusOf(Ask(device, "Shutdown", relay)), "Success");
    CloseService(relay);
    ASSERT_EQ(BwSimWaitForRestart(udid_.c_str(), 10000), 0) << BwSimLastError();
    const std::vector<Event> events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], Event(device, 2));
    EXPECT_EQ(Counters().attachedDevices, 0);
}

// Restarts of an image whose switch keeps it away for an hour.
class SimMdRestartTime : public SimMdRestart {
  protected:
    std::string SlowImage() {
        const std::string image = MakeImage();
        std::string error;
        EXPECT_TRUE(SetSimulatorSwitch(image, switches::kRestartSeconds, int64_t{3600}, error))
            << error;
        return image;
    }
};

TEST_F(SimMdRestartTime, TheControlCallOverridesTheSwitchUntilANegativeDelay) {
    AMDeviceRef device = AttachImage(SlowImage());  // sets the delay to 0
    Restart(device);
    ASSERT_EQ(BwSimWaitForRestart(udid_.c_str(), 10000), 0) << BwSimLastError();
    Restart(Events().back().first);
    ASSERT_EQ(BwSimWaitForRestart(udid_.c_str(), 10000), 0) << BwSimLastError();
    EXPECT_EQ(Events().size(), 5u);
    EXPECT_EQ(BwSimSetRestartDelay("", 0), -1);
    EXPECT_EQ(BwSimSetRestartDelay(nullptr, 0), -1);

    ASSERT_EQ(BwSimSetRestartDelay(udid_.c_str(), -1), 0);
    Restart(Events().back().first);
    EXPECT_EQ(BwSimWaitForRestart(udid_.c_str(), 300), -1);
    EXPECT_NE(std::string(BwSimLastError()).find("still restarting"), std::string::npos);
}

TEST_F(SimMdRestartTime, TheSwitchKeepsTheDeviceAwayAndADetachKeepsItAwayForGood) {
    udid_ = Attach(SlowImage());
    AMDeviceRef device = Device(udid_);
    Restart(device);
    // An hour away: the wait runs out with the device still gone.
    EXPECT_EQ(BwSimWaitForRestart(udid_.c_str(), 300), -1);
    EXPECT_NE(std::string(BwSimLastError()).find("still restarting"), std::string::npos);
    EXPECT_EQ(AMDeviceConnect(device), static_cast<int>(0xE800000B));
    EXPECT_EQ(BwSimCountHostNotifications(udid_.c_str(), "any"), -1) << "no device is attached";

    BwSimDetach(udid_.c_str());
    EXPECT_EQ(BwSimWaitForRestart(udid_.c_str(), 10000), -1);
    const std::string error = BwSimLastError();
    EXPECT_NE(error.find("detached while it restarted"), std::string::npos) << error;
    const std::vector<Event> events = Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], Event(device, 2));
    EXPECT_EQ(Counters().attachedDevices, 0);
}

TEST_F(SimMdRestartTime, ASwitchThatIsNoIntegerKeepsTheImageOut) {
    const std::string image = MakeImage();
    std::string error;
    ASSERT_FALSE(SetSimulatorSwitch(image, switches::kRestartSeconds, std::string("soon"), error));
    ASSERT_TRUE(SetSimulatorSwitch(image, switches::kRestartSeconds, int64_t{0}, error)) << error;
    // Written by hand: a real number where the switch takes whole seconds.
    const std::string path = image + "/device.plist";
    PlistTree values = ParsePlist([&] {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }());
    ASSERT_NE(values, nullptr);
    plist_dict_set_item(plist_dict_get_item(values.get(), "Simulator"), "RestartSeconds",
                        plist_new_real(0.5));
    std::ofstream(path, std::ios::trunc) << PlistBytes(values.get(), false);
    EXPECT_EQ(BwSimAttach(image.c_str(), nullptr, 0), -1);
    EXPECT_NE(std::string(BwSimLastError()).find("RestartSeconds"), std::string::npos);
}

}  // namespace
}  // namespace bw::sim::mdtest
