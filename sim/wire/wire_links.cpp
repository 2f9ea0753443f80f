#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>
#include <vector>

#include "cf/cf_plist.h"
#include "mobiledevice/sim_control.h"
#include "wire_links.h"
#if BW_WIRE_SERVES_AFC
#include "afc_server.h"
#endif

namespace bw::sim::wire {
namespace {

// The runtime's statuses that lockdown words as errors of its own.
constexpr uint32_t kStatusNotConnected = 0xE800000B;
constexpr uint32_t kStatusSetProhibited = 0xE8000017;
constexpr uint32_t kStatusPasswordProtected = 0xE800001A;
constexpr uint32_t kStatusSessionActive = 0xE800001D;
constexpr uint32_t kStatusSessionInactive = 0xE800001E;
constexpr uint32_t kStatusInvalidService = 0xE8000022;
constexpr uint32_t kStatusMissingPairRecord = 0xE8000025;
constexpr uint32_t kStatusUserDeniedPairing = 0xE8000095;

// The public key every simulated phone gives hosts that pair with it (PKCS #1, PEM), from which
// they make the phone's certificate. Lockdown here never encrypts, so no private key goes with it.
constexpr std::string_view kDevicePublicKey =
    "-----BEGIN RSA PUBLIC KEY-----\n"
    "MIGJAoGBANssOjrqVj+w8UAN+fZeOJIqueDOUQ76svVYfH8n2gDkgITxx2GfLVA/\n"
    "QdIPJuxk+7l9N+peHLzWjGjfX4sE8fsw+OcRkiA62du+AhUoCDKsjMnmEaHKiTZt\n"
    "Hwk43i873peL9QdKm+ak/Zt0fUSKKbtSbIfKoWrBTMLZ4mnlFGZFAgMBAAE=\n"
    "-----END RSA PUBLIC KEY-----\n";

constexpr char kCrashMover[] = "com.apple.crashreportmover";
constexpr char kHouseArrest[] = "com.apple.mobile.house_arrest";

// The lockdown error for a runtime status; `otherwise` for one lockdown has no word for.
const char* LockdownError(int status, const char* otherwise) {
    switch (static_cast<uint32_t>(status)) {
        case kStatusNotConnected:
            return "DeviceNotConnected";
        case kStatusSetProhibited:
            return "SetProhibited";
        case kStatusPasswordProtected:
            return "PasswordProtected";
        case kStatusSessionActive:
            return "SessionActive";
        case kStatusSessionInactive:
            return "NoRunningSession";
        case kStatusInvalidService:
            return "InvalidService";
        case kStatusMissingPairRecord:
            return "InvalidHostID";
        case kStatusUserDeniedPairing:
            return "UserDeniedPairing";
        default:
            return otherwise;
    }
}

ServiceKind KindOf(const std::string& name) {
    if (name == "com.apple.afc" || name == "com.apple.afc2" ||
        name == "com.apple.crashreportcopymobile")
        return ServiceKind::Afc;
    if (name == kCrashMover) return ServiceKind::CrashMover;
    if (name == kHouseArrest) return ServiceKind::HouseArrest;
    return ServiceKind::Messages;
}

// Owns one CF value.
struct CFHolder {
    CFTypeRef value = nullptr;
    explicit CFHolder(CFTypeRef held) : value(held) {}
    ~CFHolder() {
        if (value != nullptr) CFRelease(value);
    }
    CFHolder(const CFHolder&) = delete;
    CFHolder& operator=(const CFHolder&) = delete;
};

CFStringRef NewText(const std::optional<std::string>& text) {
    if (!text) return nullptr;
    return CFStringCreateWithCString(nullptr, text->c_str(), kCFStringEncodingUTF8);
}

class LockdownLink {
  public:
    explicit LockdownLink(const LockdownContext& context) : context_(context) {}

    void Run() {
        while (true) {
            std::optional<FramedMessage> message = ReceiveFramed(context_.fd);
            if (!message) break;
            binary_ = message->binary;
            const std::optional<std::string> request = TextItem(message->body.get(), "Request");
            if (!request) {
                if (!Answer(DictBuilder().Text("Error", "InvalidRequest"))) break;
                continue;
            }
            if (!Handle(*request, message->body.get())) break;
        }
        if (session_) AMDeviceStopSession(context_.device);
    }

  private:
    bool Answer(DictBuilder& answer) {
        PlistTree body = answer.Take();
        return WriteAll(context_.fd, FramedBytes(body.get(), binary_));
    }

    bool Fail(const std::string& request, const char* error) {
        return Answer(DictBuilder().Text("Request", request).Text("Error", error));
    }

    // False once the link is over.
    bool Handle(const std::string& request, plist_t body) {
        if (request == "QueryType")
            return Answer(
                DictBuilder().Text("Request", request).Text("Type", "com.apple.mobile.lockdown"));
        if (request == "GetValue") return GetValue(request, body);
        if (request == "SetValue") return SetValue(request, body);
        if (request == "ValidatePair") return ValidatePair(request, body);
        if (request == "Pair") return Pair(request, body);
        if (request == "StartSession") return StartSession(request, body);
        if (request == "StopSession") {
            if (!session_) return Fail(request, "SessionInactive");
            session_ = false;
            const int status = AMDeviceStopSession(context_.device);
            if (status != 0) return Fail(request, LockdownError(status, "SessionInactive"));
            return Answer(DictBuilder().Text("Request", request));
        }
        if (request == "StartService") return StartService(request, body);
        if (request == "Goodbye") {
            Answer(DictBuilder().Text("Request", request));
            return false;
        }
        return Fail(request, "InvalidRequest");
    }

    bool GetValue(const std::string& request, plist_t body) {
        const std::optional<std::string> domain = TextItem(body, "Domain");
        const std::optional<std::string> key = TextItem(body, "Key");
        if (!domain && key == std::string_view("DevicePublicKey")) {
            return Answer(DictBuilder()
                              .Text("Key", *key)
                              .Text("Request", request)
                              .Value("Value", plist_new_data(kDevicePublicKey.data(),
                                                             kDevicePublicKey.size())));
        }
        const CFHolder domainText(NewText(domain));
        const CFHolder keyText(NewText(key));
        const CFHolder value(AMDeviceCopyValue(context_.device,
                                               static_cast<CFStringRef>(domainText.value),
                                               static_cast<CFStringRef>(keyText.value)));
        DictBuilder answer;
        if (domain) answer.Text("Domain", *domain);
        if (key) answer.Text("Key", *key);
        answer.Text("Request", request);
        const plist_t node = value.value != nullptr ? BwSimCFToPlist(value.value) : nullptr;
        if (node == nullptr) return Answer(answer.Text("Error", "MissingValue"));
        return Answer(answer.Value("Value", node));
    }

    bool SetValue(const std::string& request, plist_t body) {
        const std::optional<std::string> domain = TextItem(body, "Domain");
        const std::optional<std::string> key = TextItem(body, "Key");
        const plist_t node = plist_dict_get_item(body, "Value");
        if (!key || node == nullptr) return Fail(request, "MissingValue");
        const CFHolder domainText(NewText(domain));
        const CFHolder keyText(NewText(key));
        const CFHolder value(BwSimCFFromPlist(node));
        if (value.value == nullptr) return Fail(request, "InvalidRequest");
        const int status =
            AMDeviceSetValue(context_.device, static_cast<CFStringRef>(domainText.value),
                             static_cast<CFStringRef>(keyText.value), value.value);
        if (status != 0) return Fail(request, LockdownError(status, "SetProhibited"));
        DictBuilder answer;
        if (domain) answer.Text("Domain", *domain);
        return Answer(answer.Text("Key", *key).Text("Request", request));
    }

    // The host proves it is the one the phone paired with by the HostID of its record.
    bool KnowsHost(const std::optional<std::string>& hostId) const {
        const std::optional<std::string> ours = PairRecordHostId(context_.server, context_.udid);
        return hostId && ours && *hostId == *ours;
    }

    bool ValidatePair(const std::string& request, plist_t body) {
        const plist_t record = plist_dict_get_item(body, "PairRecord");
        if (!KnowsHost(TextItem(record, "HostID"))) return Fail(request, "InvalidHostID");
        const int status = AMDeviceValidatePairing(context_.device);
        if (status != 0) return Fail(request, LockdownError(status, "InvalidHostID"));
        return Answer(DictBuilder().Text("Request", request));
    }

    // The host sends the record it made with the phone's public key; the phone pairs unless it
    // refuses, and the host keeps the record with usbmuxd.
    bool Pair(const std::string& request, plist_t body) {
        const plist_t record = plist_dict_get_item(body, "PairRecord");
        if (!TextItem(record, "HostID") ||
            plist_get_node_type(plist_dict_get_item(record, "DeviceCertificate")) != PLIST_DATA)
            return Fail(request, "InvalidPairRecord");
        const int status = AMDevicePair(context_.device);
        if (status != 0)
            return Fail(request, LockdownError(status, "PairingDialogResponsePending"));
        return Answer(DictBuilder().Text("Request", request));
    }

    bool StartSession(const std::string& request, plist_t body) {
        if (!KnowsHost(TextItem(body, "HostID"))) return Fail(request, "InvalidHostID");
        if (session_) {
            AMDeviceStopSession(context_.device);
            session_ = false;
        }
        const int status = AMDeviceStartSession(context_.device);
        if (status != 0) return Fail(request, LockdownError(status, "InvalidHostID"));
        session_ = true;
        sessionId_ = PairRecordHostId(context_.server, context_.udid).value_or("") + "-" +
                     std::to_string(++sessionCount_);
        return Answer(DictBuilder()
                          .Flag("EnableSessionSSL", false)
                          .Text("Request", request)
                          .Text("SessionID", sessionId_));
    }

    bool StartService(const std::string& request, plist_t body) {
        const std::optional<std::string> name = TextItem(body, "Service");
        if (!name || name->empty()) return Fail(request, "MissingService");
        PendingService service;
        service.deviceId = context_.deviceId;
        service.name = *name;
        service.kind = KindOf(*name);
#if !BW_WIRE_SERVES_AFC
        if (service.kind == ServiceKind::Afc || service.kind == ServiceKind::HouseArrest)
            return Fail(request, "InvalidService");
#endif
        if (service.kind == ServiceKind::Messages || service.kind == ServiceKind::Afc) {
            const CFHolder serviceName(NewText(*name));
            const int status = AMDeviceSecureStartService(
                context_.device, static_cast<CFStringRef>(serviceName.value), nullptr,
                &service.connection);
            if (status != 0) return Fail(request, LockdownError(status, "ServiceProhibited"));
        } else if (!session_) {
            // The wire's own services need what every service needs: a session.
            return Fail(request, "NoRunningSession");
        }
        const std::optional<uint16_t> port = AddPendingService(context_.server, service);
        if (!port) {
            if (service.connection != nullptr) CFRelease(service.connection);
            return Fail(request, "ServiceLimit");
        }
        return Answer(DictBuilder()
                          .Flag("EnableServiceSSL", false)
                          .Integer("Port", *port)
                          .Text("Request", request)
                          .Text("Service", *name));
    }

    const LockdownContext& context_;
    bool binary_ = false;
    bool session_ = false;
    std::string sessionId_;
    unsigned sessionCount_ = 0;
};

// A failure armed for the service connection's send or receive with the service's name as its
// detail: over a socket the phone cannot fail one exchange and go on, so the phone drops the
// connection there, which is what the client sees of a failed exchange.
bool PhoneDropsConnection(const char* function, const std::string& service) {
    int status = 0;
    return BwSimTakeFailure(function, service.c_str(), &status) != 0;
}

// Pumps property lists both ways between the socket and the simulator's service connection
// until either side closes.
void PumpMessages(int fd, AMDServiceConnectionRef connection, const std::string& service) {
    std::atomic<bool> clientGone{false};
    std::thread toClient([&] {
        std::vector<char> buffer(64 * 1024);
        while (!PhoneDropsConnection("AMDServiceConnectionReceive", service)) {
            const int got = AMDServiceConnectionReceive(connection, buffer.data(), buffer.size());
            if (got > 0) {
                if (!WriteAll(fd, std::string_view(buffer.data(), static_cast<size_t>(got)))) break;
                continue;
            }
            // 0: the device closed it; -1: nothing within a second, or the connection failed.
            if (got == 0 || clientGone) break;
        }
        // The client learns the service ended, and its side of the pump stops reading.
        ::shutdown(fd, SHUT_RDWR);
    });
    std::vector<char> buffer(64 * 1024);
    while (true) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || PhoneDropsConnection("AMDServiceConnectionSend", service)) break;
        if (AMDServiceConnectionSend(connection, buffer.data(), static_cast<size_t>(got)) < 0)
            break;
    }
    clientGone = true;
    AMDServiceConnectionInvalidate(connection);
    toClient.join();
}

#if BW_WIRE_SERVES_AFC
// AFC over the service connection. On a network device the connection carries its secure
// context, which AFC must adopt before it may speak.
void ServeAfcOn(int fd, AMDServiceConnectionRef connection) {
    AFCConnectionRef afc = nullptr;
    if (AFCConnectionOpen(connection, 0, &afc) != 0 || afc == nullptr) return;
    if (void* context = AMDServiceConnectionGetSecureIOContext(connection))
        AFCConnectionSetSecureContext(afc, context);
    ServeAfc(fd, afc);
    AFCConnectionClose(afc);
}

// House arrest: the client names an application and a part of it; the phone answers
// "Complete" and serves that folder over AFC, or names the error and waits for another request.
void ServeHouseArrest(int fd, AMDeviceRef device) {
    while (true) {
        std::optional<FramedMessage> message = ReceiveFramed(fd);
        if (!message) return;
        const std::optional<std::string> command = TextItem(message->body.get(), "Command");
        const std::optional<std::string> identifier = TextItem(message->body.get(), "Identifier");
        const bool known = command == "VendContainer" || command == "VendDocuments";
        int status = -1;
        AMDServiceConnectionRef connection = nullptr;
        if (known && identifier) {
            PlistTree optionsTree = DictBuilder().Text("Command", *command).Take();
            const CFHolder options(BwSimCFFromPlist(optionsTree.get()));
            const CFHolder bundle(NewText(identifier));
            // The phone vends under the session the service was started in; that session has
            // ended by now, so the vend runs in one of its own.
            const bool connected = AMDeviceConnect(device) == 0;
            const bool ownSession = connected && AMDeviceStartSession(device) == 0;
            status = AMDeviceStartHouseArrestService(device, static_cast<CFStringRef>(bundle.value),
                                                     static_cast<CFDictionaryRef>(options.value),
                                                     &connection, nullptr);
            if (ownSession) AMDeviceStopSession(device);
            if (connected) AMDeviceDisconnect(device);
        }
        // The folder is open for AFC before the client hears "Complete". The connection of a
        // house-arrest start belongs to the AFC connection made on it.
        AFCConnectionRef afc = nullptr;
        if (status == 0 && (AFCConnectionOpen(connection, 0, &afc) != 0 || afc == nullptr)) {
            CFRelease(connection);
            afc = nullptr;
            status = -1;
        }
        DictBuilder answer;
        if (status == 0) {
            answer.Text("Status", "Complete");
        } else {
            answer.Text("Error", !known       ? "UnknownCommand"
                                 : identifier ? "ApplicationLookupFailed"
                                              : "MissingIdentifier");
        }
        PlistTree body = answer.Take();
        const bool sent = WriteAll(fd, FramedBytes(body.get(), message->binary));
        if (afc != nullptr) {
            if (sent) ServeAfc(fd, afc);
            AFCConnectionClose(afc);
            return;
        }
        if (!sent) return;
    }
}
#endif

}  // namespace

void ServeLockdown(const LockdownContext& context) {
    LockdownLink(context).Run();
}

void ServeService(int fd, AMDeviceRef device, PendingService service) {
    (void)device;
    switch (service.kind) {
        case ServiceKind::Messages:
            PumpMessages(fd, service.connection, service.name);
            break;
        case ServiceKind::CrashMover: {
            // The phone moves its crash logs into the copy area and says so.
            if (WriteAll(fd, "ping")) {
                char byte = 0;
                while (::recv(fd, &byte, 1, 0) > 0) {
                }
            }
            break;
        }
#if BW_WIRE_SERVES_AFC
        case ServiceKind::Afc:
            ServeAfcOn(fd, service.connection);
            break;
        case ServiceKind::HouseArrest:
            ServeHouseArrest(fd, device);
            break;
#else
        case ServiceKind::Afc:
        case ServiceKind::HouseArrest:
            break;
#endif
    }
    if (service.connection != nullptr) CFRelease(service.connection);
}

}  // namespace bw::sim::wire
