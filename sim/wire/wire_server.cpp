#include "wire_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "cf/cf_plist.h"
#include "common/plist_input_check.h"
#include "mobiledevice/MobileDevice.h"
#include "mobiledevice/sim_control.h"
#include "wire_links.h"
#include "wire_protocol.h"

namespace bw::sim::wire {
namespace {

constexpr uint16_t kFirstServicePort = 49152;
// A phone forgets a started service that no one connects to; so do we, after this long.
constexpr auto kPendingServiceLifetime = std::chrono::seconds(30);
// What a USB iPhone of these releases reports to the multiplexer.
constexpr uint32_t kIphoneProductId = 0x12A8;
constexpr uint64_t kUsbConnectionSpeed = 480000000;
// Bounds on what clients can make the server keep: a host pairs with a handful of phones, and a
// client needs a few links at a time.
constexpr size_t kMaxPairRecords = 1024;
constexpr size_t kMaxLinks = 512;

std::string RandomUuid() {
    unsigned char bytes[16] = {};
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)!::read(fd, bytes, sizeof bytes);
        ::close(fd);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < sizeof bytes; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(kHex[bytes[i] >> 4]);
        text.push_back(kHex[bytes[i] & 0x0F]);
    }
    return text;
}

// 127.x.y.0 with x (1 to 254) and y at random.
uint32_t RandomLoopbackBase() {
    unsigned char bytes[2] = {};
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)!::read(fd, bytes, sizeof bytes);
        ::close(fd);
    }
    return 0x7F000000u | ((1u + bytes[0] % 254u) << 16) | (static_cast<uint32_t>(bytes[1]) << 8);
}

std::string CFText(CFStringRef text) {
    if (text == nullptr) return {};
    char buffer[256] = {};
    const bool ok = CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingUTF8);
    return ok ? std::string(buffer) : std::string();
}

// The address a network device is reached at, as the multiplexer hands it out: a BSD socket
// address (length byte, family byte, port, IPv4 address).
plist_t NetworkAddressNode(uint32_t address) {
    const char bytes[16] = {16,
                            2,
                            0,
                            0,
                            static_cast<char>(address >> 24),
                            static_cast<char>((address >> 16) & 0xFF),
                            static_cast<char>((address >> 8) & 0xFF),
                            static_cast<char>(address & 0xFF)};
    return plist_new_data(bytes, sizeof bytes);
}

// A TCP socket listening on address:port (host byte order), or -1.
int ListenTcp(uint32_t address, uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    where.sin_addr.s_addr = htonl(address);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

bool ReceiveExactly(int fd, char* buffer, size_t length) {
    while (length > 0) {
        const ssize_t got = ::recv(fd, buffer, length, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buffer += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

std::optional<FramedMessage> ReceiveFramed(int fd) {
    std::string frame(4, '\0');
    if (!ReceiveExactly(fd, frame.data(), 4)) return std::nullopt;
    const std::optional<uint32_t> length = ReadFrameLength(frame);
    if (!length) return std::nullopt;
    frame.resize(4 + size_t{*length});
    if (!ReceiveExactly(fd, frame.data() + 4, *length)) return std::nullopt;
    return ReadFramedMessage(frame);
}

// One accepted client socket and the thread that serves it.
struct Link {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
    uint32_t deviceId = 0;  // once "Connect" made it a link to a device port
};

struct WireDevice {
    AMDeviceRef ref = nullptr;
    uint32_t id = 0;
    std::string udid;
    bool network = false;
    bool attached = true;
    uint32_t address = 0;  // a network phone's, host byte order
    int lockdownFd = -1;   // a network phone's: TCP listening on lockdown's port
};

// What a TCP socket of the server listens for: a network phone's lockdown or one of its services.
struct TcpTarget {
    uint32_t deviceId;
    uint16_t port;
};

struct WireServer::State {
    std::string socketPath;
    dev_t socketDevice = 0;
    ino_t socketInode = 0;
    int listenFd = -1;
    int wakeFd = -1;
    std::thread acceptThread;
    AMDeviceNotificationRef subscription = nullptr;

    mutable std::mutex mutex;
    bool stopping = false;
    std::vector<WireDevice> devices;
    uint32_t nextDeviceId = 1;
    const std::string buid = RandomUuid();
    const std::string hostId = RandomUuid();
    std::map<std::string, std::string> pairRecords;  // UDID -> XML pair record
    std::vector<PendingService> pending;
    uint16_t nextPort = kFirstServicePort;
    std::list<std::unique_ptr<Link>> links;
    std::vector<int> listeners;  // sockets of clients that sent "Listen"
    // Network phones are served over TCP, each on an address of its own in 127.0.0.0/8: lockdown
    // on its fixed port, services on the ports lockdown hands out. The middle two bytes are this
    // server's, chosen at random, so that servers of different processes do not meet. Like a
    // phone on a network, they answer anyone on this machine who finds them; sessions still need
    // the host's pair record.
    const uint32_t loopbackBase = RandomLoopbackBase();
    std::vector<int> retired;  // TCP sockets the accept loop closes before it polls again

    ~State() {
        if (listenFd >= 0) ::close(listenFd);
        if (wakeFd >= 0) ::close(wakeFd);
    }

    plist_t Properties(const WireDevice& device) const {
        DictBuilder properties;
        if (device.network) {
            properties.Text("ConnectionType", "Network")
                .Integer("DeviceID", device.id)
                .Text("EscapedFullServiceName", device.udid + "._apple-mobdev2._tcp.local")
                .Integer("InterfaceIndex", 1)
                .Value("NetworkAddress", NetworkAddressNode(device.address))
                .Text("SerialNumber", device.udid);
        } else {
            properties.Integer("ConnectionSpeed", kUsbConnectionSpeed)
                .Text("ConnectionType", "USB")
                .Integer("DeviceID", device.id)
                .Integer("LocationID", device.id)
                .Integer("ProductID", kIphoneProductId)
                .Text("SerialNumber", device.udid);
        }
        return properties.Release();
    }

    plist_t AttachedMessage(const WireDevice& device) const {
        return DictBuilder()
            .Integer("DeviceID", device.id)
            .Text("MessageType", "Attached")
            .Value("Properties", Properties(device))
            .Release();
    }

    // With mutex held: tells every listening client, dropping those that do not keep up.
    void Broadcast(plist_t message) {
        const std::string bytes = UsbmuxPlistBytes(message, 0);
        plist_free(message);
        for (const int fd : listeners) {
            if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
                static_cast<ssize_t>(bytes.size()))
                ::shutdown(fd, SHUT_RDWR);
        }
    }

    void DeviceArrived(AMDeviceRef ref) {
        CFStringRef identifier = AMDeviceCopyDeviceIdentifier(ref);
        const std::string udid = CFText(identifier);
        if (identifier != nullptr) CFRelease(identifier);
        const bool network = AMDeviceGetInterfaceType(ref) == 2;
        const bool paired = AMDeviceIsPaired(ref) != 0;
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping || udid.empty()) return;
        // Devices present at the start are taken from the device list before their arrival
        // reaches the subscription.
        for (const WireDevice& known : devices)
            if (known.ref == ref && known.attached) return;
        WireDevice device{ref, nextDeviceId++, udid, network, true};
        if (network) {
            device.address = loopbackBase | (1u + (device.id - 1) % 254u);
            device.lockdownFd = ListenTcp(device.address, kLockdownPort);
        }
        // The host of a paired phone holds its record; this is what a host's record carries
        // that lockdown without encryption needs.
        if (paired && pairRecords.count(udid) == 0) {
            PlistTree record = DictBuilder()
                                   .Text("HostID", hostId)
                                   .Text("SystemBUID", buid)
                                   .Text("WiFiMACAddress", "00:00:00:00:00:00")
                                   .Take();
            pairRecords[udid] = PlistXml(record.get());
        }
        devices.push_back(device);
        Broadcast(AttachedMessage(device));
    }

    void DeviceLeft(AMDeviceRef ref) {
        std::vector<PendingService> forgotten;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (WireDevice& device : devices) {
                if (device.ref != ref || !device.attached) continue;
                device.attached = false;
                Retire(device.lockdownFd);
                // An unplugged phone takes its connections with it: every link to one of its
                // ports ends, and what it held of the simulator is released as its thread
                // finishes. Services it started that nobody connected to are gone as well.
                for (const std::unique_ptr<Link>& link : links) {
                    if (link->deviceId == device.id) ::shutdown(link->fd, SHUT_RDWR);
                }
                for (auto it = pending.begin(); it != pending.end();) {
                    if (it->deviceId == device.id) {
                        Retire(it->tcpFd);
                        forgotten.push_back(*it);
                        it = pending.erase(it);
                    } else {
                        ++it;
                    }
                }
                Broadcast(DictBuilder()
                              .Integer("DeviceID", device.id)
                              .Text("MessageType", "Detached")
                              .Release());
            }
        }
        for (PendingService& service : forgotten)
            ReleasePending(service);
    }

    static void OnDeviceEvent(am_device_notification_callback_info* info, void* context) {
        auto* state = static_cast<State*>(context);
        if (info->msg == kAMDeviceAttached) state->DeviceArrived(info->dev);
        if (info->msg == kAMDeviceDetached) state->DeviceLeft(info->dev);
    }

    // With mutex held: the accept loop closes the socket before it polls again (it may be
    // polling it now), and `fd` is forgotten.
    void Retire(int& fd) {
        if (fd < 0) return;
        retired.push_back(fd);
        fd = -1;
        const uint64_t one = 1;
        (void)!::write(wakeFd, &one, sizeof one);
    }

    // With mutex held: takes the service waiting on the phone's port, if any.
    std::optional<PendingService> TakePending(uint64_t id, uint16_t port) {
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            if (it->deviceId != id || it->port != port) continue;
            PendingService service = *it;
            pending.erase(it);
            Retire(service.tcpFd);
            return service;
        }
        return std::nullopt;
    }

    // With mutex held.
    const WireDevice* FindDevice(uint64_t id) const {
        for (const WireDevice& device : devices)
            if (device.id == id && device.attached) return &device;
        return nullptr;
    }

    void ReleasePending(PendingService& service) {
        if (service.connection != nullptr) CFRelease(service.connection);
        service.connection = nullptr;
    }

    void ExpirePending() {
        std::vector<PendingService> expired;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const auto now = std::chrono::steady_clock::now();
            for (auto it = pending.begin(); it != pending.end();) {
                if (now - it->started > kPendingServiceLifetime) {
                    Retire(it->tcpFd);
                    expired.push_back(*it);
                    it = pending.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (PendingService& service : expired)
            ReleasePending(service);
    }

    void ReapLinks() {
        std::vector<std::unique_ptr<Link>> finished;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto it = links.begin(); it != links.end();) {
                if ((*it)->done) {
                    finished.push_back(std::move(*it));
                    it = links.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (const std::unique_ptr<Link>& link : finished) {
            link->thread.join();
            ::close(link->fd);
        }
    }

    // With mutex held: a link served on its own thread, or the socket closed when there are too
    // many.
    void StartLink(int fd, uint32_t deviceId, std::function<void(int)> serve) {
        if (links.size() >= kMaxLinks) {
            ::close(fd);
            return;
        }
        auto link = std::make_unique<Link>();
        link->fd = fd;
        link->deviceId = deviceId;
        Link* raw = link.get();
        links.push_back(std::move(link));
        raw->thread = std::thread([raw, serve = std::move(serve)] {
            serve(raw->fd);
            raw->done = true;
        });
    }

    void AcceptLoop() {
        std::vector<pollfd> fds;
        std::vector<TcpTarget> targets;  // of fds[2...]
        while (true) {
            fds.assign({{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}});
            targets.clear();
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (const int fd : retired)
                    ::close(fd);
                retired.clear();
                for (const WireDevice& device : devices) {
                    if (!device.attached || device.lockdownFd < 0) continue;
                    fds.push_back({device.lockdownFd, POLLIN, 0});
                    targets.push_back({device.id, kLockdownPort});
                }
                for (const PendingService& service : pending) {
                    if (service.tcpFd < 0) continue;
                    fds.push_back({service.tcpFd, POLLIN, 0});
                    targets.push_back({service.deviceId, service.port});
                }
            }
            const int ready = ::poll(fds.data(), fds.size(), 1000);
            if (ready < 0 && errno != EINTR) break;
            if (fds[1].revents != 0) {
                uint64_t count = 0;
                (void)!::read(wakeFd, &count, sizeof count);
                std::lock_guard<std::mutex> lock(mutex);
                if (stopping) break;
            }
            if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
                const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                std::lock_guard<std::mutex> lock(mutex);
                if (fd >= 0) StartLink(fd, 0, [this](int client) { ServeClient(client); });
            }
            for (size_t i = 2; ready > 0 && i < fds.size(); ++i) {
                if ((fds[i].revents & POLLIN) == 0) continue;
                const int fd = ::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) continue;
                const TcpTarget target = targets[i - 2];
                std::lock_guard<std::mutex> lock(mutex);
                StartLink(fd, target.deviceId,
                          [this, target](int client) { ServeTcp(client, target); });
            }
            ReapLinks();
            ExpirePending();
        }
    }

    // A network phone's port reached over TCP: lockdown, or a service lockdown started.
    void ServeTcp(int fd, TcpTarget target) {
        AMDeviceRef ref = nullptr;
        std::string udid;
        std::optional<PendingService> service;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const WireDevice* device = FindDevice(target.deviceId);
            if (device == nullptr) return;
            ref = device->ref;
            udid = device->udid;
            if (target.port != kLockdownPort) {
                service = TakePending(target.deviceId, target.port);
                if (!service) return;
            }
        }
        if (service) {
            ServeService(fd, ref, *service);
            return;
        }
        if (AMDeviceConnect(ref) != 0) return;
        ServeLockdown(LockdownContext{fd, ref, target.deviceId, udid, this});
        AMDeviceDisconnect(ref);
    }

    bool Reply(int fd, plist_t message, uint32_t tag) {
        const bool sent = WriteAll(fd, UsbmuxPlistBytes(message, tag));
        plist_free(message);
        return sent;
    }

    bool ReplyResult(int fd, uint32_t number, uint32_t tag) {
        return WriteAll(fd, UsbmuxResultBytes(number, tag));
    }

    // One multiplexer client: requests until it closes, or until "Connect" turns the socket
    // into a link to a device port.
    void ServeClient(int fd) {
        while (true) {
            std::string message(kUsbmuxHeaderBytes, '\0');
            if (!ReceiveExactly(fd, message.data(), kUsbmuxHeaderBytes)) break;
            const std::optional<UsbmuxHeader> header = ReadUsbmuxHeader(message);
            if (!header) break;
            message.resize(header->length);
            if (!ReceiveExactly(fd, message.data() + kUsbmuxHeaderBytes,
                                header->length - kUsbmuxHeaderBytes))
                break;
            std::optional<UsbmuxRequest> request = ReadUsbmuxRequest(message);
            if (!request) break;
            if (request->verdict == UsbmuxVerdict::OldVersion) {
                if (!WriteAll(fd, UsbmuxBinaryResultBytes(kResultBadVersion, header->tag))) break;
                continue;
            }
            if (request->verdict == UsbmuxVerdict::Malformed) {
                if (!ReplyResult(fd, kResultBadCommand, header->tag)) break;
                continue;
            }
            if (!Dispatch(fd, *request)) break;
        }
        std::lock_guard<std::mutex> lock(mutex);
        std::erase(listeners, fd);
    }

    // False when the socket is done with (closed, or handed to a device link that ended).
    bool Dispatch(int fd, const UsbmuxRequest& request) {
        const uint32_t tag = request.header.tag;
        const plist_t body = request.body.get();
        if (request.type == "ListDevices") {
            plist_t list = plist_new_array();
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (const WireDevice& device : devices)
                    if (device.attached) plist_array_append_item(list, AttachedMessage(device));
            }
            return Reply(fd, DictBuilder().Value("DeviceList", list).Release(), tag);
        }
        if (request.type == "Listen") {
            // Registered and told of the present devices under one lock, so no arrival is
            // missed or told twice.
            std::lock_guard<std::mutex> lock(mutex);
            if (!ReplyResult(fd, kResultOk, tag)) return false;
            for (const WireDevice& device : devices) {
                if (!device.attached) continue;
                if (!Reply(fd, AttachedMessage(device), 0)) return false;
            }
            listeners.push_back(fd);
            return true;
        }
        if (request.type == "ReadBUID") {
            return Reply(fd, DictBuilder().Text("BUID", buid).Release(), tag);
        }
        if (request.type == "ReadPairRecord") {
            const std::optional<std::string> id = TextItem(body, "PairRecordID");
            std::string record;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (id) {
                    const auto found = pairRecords.find(*id);
                    if (found != pairRecords.end()) record = found->second;
                }
            }
            // A failure armed for the phone's pairing check (with the phone's identifier, or
            // for any) makes the host's record go missing once: the host then pairs again, as
            // it does with a phone that forgot it.
            int status = 0;
            if (!record.empty() && BwSimTakeFailure("AMDeviceIsPaired", id->c_str(), &status) != 0)
                record.clear();
            if (record.empty()) return ReplyResult(fd, kResultBadDevice, tag);
            return Reply(fd,
                         DictBuilder()
                             .Value("PairRecordData", plist_new_data(record.data(), record.size()))
                             .Release(),
                         tag);
        }
        if (request.type == "SavePairRecord") {
            const std::optional<std::string> id = TextItem(body, "PairRecordID");
            const plist_t data = plist_dict_get_item(body, "PairRecordData");
            if (!id || id->empty() || data == nullptr || plist_get_node_type(data) != PLIST_DATA)
                return ReplyResult(fd, kResultBadCommand, tag);
            char* bytes = nullptr;
            uint64_t length = 0;
            plist_get_data_val(data, &bytes, &length);
            std::string record(bytes != nullptr ? bytes : "", bytes != nullptr ? length : 0);
            std::free(bytes);
            // A record is a property list with a host identifier, or it is refused.
            PlistTree parsed = ParseCheckedPlist(record);
            if (parsed == nullptr || !TextItem(parsed.get(), "HostID"))
                return ReplyResult(fd, kResultBadCommand, tag);
            std::lock_guard<std::mutex> lock(mutex);
            if (pairRecords.count(*id) == 0 && pairRecords.size() >= kMaxPairRecords)
                return ReplyResult(fd, kResultBadCommand, tag);
            pairRecords[*id] = PlistXml(parsed.get());
            return ReplyResult(fd, kResultOk, tag);
        }
        if (request.type == "DeletePairRecord") {
            const std::optional<std::string> id = TextItem(body, "PairRecordID");
            std::lock_guard<std::mutex> lock(mutex);
            if (!id || pairRecords.erase(*id) == 0) return ReplyResult(fd, kResultBadDevice, tag);
            return ReplyResult(fd, kResultOk, tag);
        }
        if (request.type == "Connect") return Connect(fd, request);
        return ReplyResult(fd, kResultBadCommand, tag);
    }

    bool Connect(int fd, const UsbmuxRequest& request) {
        const uint32_t tag = request.header.tag;
        const std::optional<uint64_t> id = UintItem(request.body.get(), "DeviceID");
        const std::optional<uint64_t> rawPort = UintItem(request.body.get(), "PortNumber");
        if (!id || !rawPort || *rawPort > 0xFFFF) return ReplyResult(fd, kResultBadCommand, tag);
        // The port travels in network byte order inside the integer.
        const auto port =
            static_cast<uint16_t>(((*rawPort & 0xFF) << 8) | ((*rawPort >> 8) & 0xFF));
        AMDeviceRef ref = nullptr;
        std::string udid;
        std::optional<PendingService> service;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const WireDevice* device = FindDevice(*id);
            if (device == nullptr) return ReplyResult(fd, kResultBadDevice, tag);
            ref = device->ref;
            udid = device->udid;
            for (const std::unique_ptr<Link>& link : links) {
                if (link->fd == fd) link->deviceId = device->id;
            }
            if (port != kLockdownPort) {
                service = TakePending(*id, port);
                if (!service) return ReplyResult(fd, kResultConnectionRefused, tag);
            }
        }
        if (!service) {
            if (AMDeviceConnect(ref) != 0) return ReplyResult(fd, kResultConnectionRefused, tag);
            if (ReplyResult(fd, kResultOk, tag)) {
                LockdownContext context{fd, ref, static_cast<uint32_t>(*id), udid, this};
                ServeLockdown(context);
            }
            AMDeviceDisconnect(ref);
            return false;
        }
        if (ReplyResult(fd, kResultOk, tag)) {
            ServeService(fd, ref, *service);
        } else {
            ReleasePending(*service);
        }
        return false;
    }
};

// What lockdown links ask of the server.
std::optional<std::string> PairRecordHostId(WireServer::State* state, const std::string& udid) {
    std::lock_guard<std::mutex> lock(state->mutex);
    const auto found = state->pairRecords.find(udid);
    if (found == state->pairRecords.end()) return std::nullopt;
    PlistTree record = ParseCheckedPlist(found->second);
    return TextItem(record.get(), "HostID");
}

std::optional<uint16_t> AddPendingService(WireServer::State* state, PendingService service) {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->stopping) return std::nullopt;
    // Ports go round the dynamic range; one still waiting is skipped.
    for (int tries = 0; tries < 0x4000; ++tries) {
        const uint16_t port = state->nextPort;
        state->nextPort = port == 0xFFFF ? kFirstServicePort : static_cast<uint16_t>(port + 1);
        bool taken = false;
        for (const PendingService& other : state->pending)
            taken = taken || (other.deviceId == service.deviceId && other.port == port);
        if (taken) continue;
        for (const WireDevice& device : state->devices) {
            if (device.id != service.deviceId || !device.network) continue;
            service.tcpFd = ListenTcp(device.address, port);
        }
        service.port = port;
        service.started = std::chrono::steady_clock::now();
        state->pending.push_back(service);
        return port;
    }
    return std::nullopt;
}

WireServer::WireServer(std::unique_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<WireServer> WireServer::Start(const std::string& socketPath, std::string& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path) {
        error = "the socket path must have 1 to " + std::to_string(sizeof address.sun_path - 1) +
                " bytes";
        return nullptr;
    }
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);

    struct stat existing {};
    if (::lstat(socketPath.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            error = socketPath + " exists and is not a socket; not replacing it";
            return nullptr;
        }
        // A socket someone still listens on is theirs; one no one answers is left over.
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool live =
            probe >= 0 &&
            ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        const bool refused = !live && errno == ECONNREFUSED;
        if (probe >= 0) ::close(probe);
        if (!refused) {
            error = socketPath + " is a socket in use; not replacing it";
            return nullptr;
        }
        if (::unlink(socketPath.c_str()) != 0) {
            error = "cannot remove the stale socket " + socketPath + ": " + std::strerror(errno);
            return nullptr;
        }
    } else if (errno != ENOENT) {
        error = "cannot check " + socketPath + ": " + std::strerror(errno);
        return nullptr;
    }

    auto state = std::make_unique<State>();
    state->socketPath = socketPath;
    state->listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    state->wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (state->listenFd < 0 || state->wakeFd < 0) {
        error = std::string("cannot make a socket: ") + std::strerror(errno);
        return nullptr;
    }
    if (::bind(state->listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = "cannot bind " + socketPath + ": " + std::strerror(errno);
        return nullptr;
    }
    // Nothing can connect before listen(), so the socket is private before anyone reaches it.
    struct stat bound {};
    if (::chmod(socketPath.c_str(), 0600) != 0 || ::lstat(socketPath.c_str(), &bound) != 0 ||
        ::listen(state->listenFd, 64) != 0) {
        error = "cannot listen on " + socketPath + ": " + std::strerror(errno);
        ::unlink(socketPath.c_str());
        return nullptr;
    }
    state->socketDevice = bound.st_dev;
    state->socketInode = bound.st_ino;

    if (AMDeviceNotificationSubscribe(&State::OnDeviceEvent, 0, 0, state.get(),
                                      &state->subscription) != 0) {
        error = "the simulated runtime refused a device subscription";
        ::unlink(socketPath.c_str());
        return nullptr;
    }
    // The devices already attached are served from the first request on, not once their
    // arrival has been delivered.
    if (const CFArrayRef present = AMDCreateDeviceList()) {
        for (CFIndex i = 0; i < CFArrayGetCount(present); ++i)
            state->DeviceArrived(
                static_cast<AMDeviceRef>(const_cast<void*>(CFArrayGetValueAtIndex(present, i))));
        CFRelease(present);
    }
    State* raw = state.get();
    state->acceptThread = std::thread([raw] { raw->AcceptLoop(); });
    return std::unique_ptr<WireServer>(new WireServer(std::move(state)));
}

WireServer::~WireServer() {
    State& state = *state_;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.stopping = true;
    }
    if (state.subscription != nullptr) AMDeviceNotificationUnsubscribe(state.subscription);
    const uint64_t one = 1;
    (void)!::write(state.wakeFd, &one, sizeof one);
    state.acceptThread.join();

    // Every link ends when its socket does; the threads then release what they hold.
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        for (const std::unique_ptr<Link>& link : state.links)
            ::shutdown(link->fd, SHUT_RDWR);
    }
    for (const std::unique_ptr<Link>& link : state.links) {
        link->thread.join();
        ::close(link->fd);
    }
    state.links.clear();
    for (PendingService& service : state.pending) {
        if (service.tcpFd >= 0) ::close(service.tcpFd);
        state.ReleasePending(service);
    }
    state.pending.clear();
    for (WireDevice& device : state.devices) {
        if (device.lockdownFd >= 0) ::close(device.lockdownFd);
        device.lockdownFd = -1;
    }
    for (const int fd : state.retired)
        ::close(fd);
    state.retired.clear();

    struct stat current {};
    if (::lstat(state.socketPath.c_str(), &current) == 0 && current.st_dev == state.socketDevice &&
        current.st_ino == state.socketInode)
        ::unlink(state.socketPath.c_str());
}

size_t WireServer::OpenLinks() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    size_t open = state_->pending.size();
    for (const std::unique_ptr<Link>& link : state_->links)
        open += link->done ? 0 : 1;
    return open;
}

size_t WireServer::Listeners() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->listeners.size();
}

}  // namespace bw::sim::wire
