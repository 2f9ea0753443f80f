#include "links.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "cf/cf_foreign.h"
#include "cf_bridge.h"
#include "mapping.h"
#include "status.h"

namespace bw::imd {
namespace {

// Numbers GetSocket hands out start well above the descriptors a process usually has open, so
// that one is never mistaken for a socket of the caller's own in a trace.
constexpr int kFirstLinkNumber = 0x40000;
constexpr unsigned int kReceiveTimeoutMs = 30000;
constexpr unsigned int kPollMs = 500;

struct LinkTables {
    std::mutex mutex;
    int nextNumber = kFirstLinkNumber;
    // Links whose number a caller holds: they stay connected until invalidated or taken over,
    // even when every service connection object of theirs is released.
    std::map<int, std::shared_ptr<Link>> pinned;
    std::map<const void*, std::shared_ptr<Link>> connections;
    // Objects of the plain service start that no connection made from their socket took over.
    std::set<const void*> plainStarts;
};

LinkTables& Tables() {
    static LinkTables* tables = new LinkTables;
    return *tables;
}

int NextNumber() {
    LinkTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    return tables.nextNumber++;
}

struct ConnectionPayload {
    const void* object = nullptr;
    // The plain start's object this connection took over: released with it, as the caller
    // hands the started handle to the connection it makes from its socket.
    const void* takenOver = nullptr;
};

void FinalizeConnection(void* payload) {
    auto* owned = static_cast<ConnectionPayload*>(payload);
    std::shared_ptr<Link> link;
    {
        LinkTables& tables = Tables();
        std::lock_guard<std::mutex> lock(tables.mutex);
        const auto found = tables.connections.find(owned->object);
        if (found != tables.connections.end()) {
            link = std::move(found->second);
            tables.connections.erase(found);
        }
        tables.plainStarts.erase(owned->object);
    }
    const void* takenOver = owned->takenOver;
    delete owned;
    if (takenOver != nullptr) CFRelease(takenOver);
    // The link closes here when nothing else holds it, outside the table lock.
    link.reset();
}

}  // namespace

Link::Link(IdeviceHandle idevice, uint16_t port, bool ssl, std::string service)
    : idevice_(std::move(idevice)),
      port_(port),
      ssl_(ssl),
      service_(std::move(service)),
      number_(NextNumber()) {}

Link::Link(IdeviceHandle idevice, house_arrest_client_t houseArrest)
    : idevice_(std::move(idevice)), number_(NextNumber()), houseArrest_(houseArrest) {}

Link::~Link() {
    Invalidate();
}

void Link::Invalidate() {
    invalidated_.store(true);
    if (listener_.joinable()) {
        if (listener_.get_id() == std::this_thread::get_id()) {
            listener_.detach();  // a notification callback closing its own link
        } else {
            listener_.join();
        }
    }
    {
        std::unique_lock<std::shared_mutex> lock(clients_);
        if (afc_ != nullptr) afc_client_free(afc_);
        if (raw_ != nullptr) service_client_free(raw_);
        if (houseArrest_ != nullptr) house_arrest_client_free(houseArrest_);
        afc_ = nullptr;
        raw_ = nullptr;
        houseArrest_ = nullptr;
    }
    LinkTables& tables = Tables();
    std::shared_ptr<Link> unpinned;
    {
        std::lock_guard<std::mutex> lock(tables.mutex);
        const auto found = tables.pinned.find(number_);
        if (found != tables.pinned.end() && found->second.get() == this) {
            unpinned = std::move(found->second);
            tables.pinned.erase(found);
        }
    }
}

service_client_t Link::RawClient() {
    std::lock_guard<std::mutex> lock(connectMutex_);
    if (invalidated_.load()) return nullptr;
    if (mode_ == Mode::Raw) return raw_;
    if (mode_ != Mode::Unconnected || houseArrest_ != nullptr || !idevice_) return nullptr;
    lockdownd_service_descriptor descriptor{port_, static_cast<uint8_t>(ssl_ ? 1 : 0), nullptr};
    service_client_t client = nullptr;
    if (service_client_new(idevice_.get(), &descriptor, &client) != SERVICE_E_SUCCESS) {
        return nullptr;
    }
    raw_ = client;
    mode_ = Mode::Raw;
    return raw_;
}

afc_client_t Link::OpenAfc() {
    std::shared_lock<std::shared_mutex> clients(clients_);
    std::lock_guard<std::mutex> lock(connectMutex_);
    if (invalidated_.load() || mode_ != Mode::Unconnected) return nullptr;
    afc_client_t client = nullptr;
    if (houseArrest_ != nullptr) {
        if (afc_client_new_from_house_arrest_client(houseArrest_, &client) != AFC_E_SUCCESS) {
            return nullptr;
        }
    } else {
        if (!idevice_) return nullptr;
        lockdownd_service_descriptor descriptor{port_, static_cast<uint8_t>(ssl_ ? 1 : 0), nullptr};
        if (afc_client_new(idevice_.get(), &descriptor, &client) != AFC_E_SUCCESS) return nullptr;
    }
    afc_ = client;
    mode_ = Mode::Afc;
    return afc_;
}

int Link::Send(const void* bytes, size_t length) {
    if (bytes == nullptr && length > 0) return -1;
    std::shared_lock<std::shared_mutex> clients(clients_);
    service_client_t client = RawClient();
    if (client == nullptr) return -1;
    std::lock_guard<std::mutex> lock(sendMutex_);
    const auto* data = static_cast<const char*>(bytes);
    // The count is an int: one call moves at most 1 GiB.
    const size_t total = std::min<size_t>(length, size_t{1} << 30);
    size_t done = 0;
    while (done < total) {
        uint32_t sent = 0;
        if (service_send(client, data + done, static_cast<uint32_t>(total - done), &sent) !=
                SERVICE_E_SUCCESS ||
            sent == 0) {
            return done > 0 ? static_cast<int>(done) : -1;
        }
        done += sent;
    }
    return static_cast<int>(done);
}

int Link::Receive(void* bytes, size_t length) {
    if (bytes == nullptr && length > 0) return -1;
    std::shared_lock<std::shared_mutex> clients(clients_);
    service_client_t client = RawClient();
    if (client == nullptr) return -1;
    std::lock_guard<std::mutex> lock(receiveMutex_);
    const auto wanted = static_cast<uint32_t>(std::min<size_t>(length, size_t{1} << 30));
    if (wanted == 0) return 0;
    uint32_t received = 0;
    const service_error_t error = service_receive_with_timeout(
        client, static_cast<char*>(bytes), wanted, &received, kReceiveTimeoutMs);
    if (received > 0) return static_cast<int>(received);
    return error == SERVICE_E_SUCCESS ? 0 : -1;
}

bool Link::SendMessage(plist_t message) {
    char* body = nullptr;
    uint32_t length = 0;
    plist_to_bin(message, &body, &length);
    if (body == nullptr) return false;
    std::vector<unsigned char> frame;
    if (length > 0 && length <= kMaxMessageBytes) {
        const auto header = FrameHeader(length);
        frame.assign(header.begin(), header.end());
        frame.insert(frame.end(), body, body + length);
    }
    std::free(body);
    if (frame.empty()) return false;
    return Send(frame.data(), frame.size()) == static_cast<int>(frame.size());
}

bool Link::ReadExact(unsigned char* bytes, uint32_t length, unsigned int idleMilliseconds) {
    uint32_t done = 0;
    unsigned int idle = 0;
    while (done < length) {
        if (invalidated_.load()) return false;
        std::shared_lock<std::shared_mutex> clients(clients_);
        service_client_t client = RawClient();
        if (client == nullptr) return false;
        uint32_t received = 0;
        const service_error_t error = service_receive_with_timeout(
            client, reinterpret_cast<char*>(bytes) + done, length - done, &received, kPollMs);
        done += received;
        if (received > 0) {
            idle = 0;
        } else if (error == SERVICE_E_TIMEOUT) {
            idle += kPollMs;
            if (idleMilliseconds != 0 && idle >= idleMilliseconds) return false;
        } else {
            return false;  // an error, or the phone closed the link
        }
    }
    return true;
}

plist_t Link::ReceiveMessage(unsigned int idleMilliseconds) {
    std::lock_guard<std::mutex> lock(receiveMutex_);
    std::array<unsigned char, 4> header{};
    if (!ReadExact(header.data(), 4, idleMilliseconds)) return nullptr;
    const std::optional<uint32_t> length = FrameBodyLength(header);
    if (!length) return nullptr;
    std::vector<unsigned char> body(*length);
    if (!ReadExact(body.data(), *length, idleMilliseconds)) return nullptr;
    plist_t message = nullptr;
    plist_from_memory(reinterpret_cast<const char*>(body.data()), *length, &message);
    return message;
}

bool Link::StartListening(NotificationProxyCallback callback, void* context) {
    std::lock_guard<std::mutex> lock(connectMutex_);
    if (invalidated_.load() || listener_.joinable()) return false;
    listener_ = std::thread(
        [self = shared_from_this(), callback, context] { self->Listen(callback, context); });
    return true;
}

void Link::Listen(NotificationProxyCallback callback, void* context) {
    while (!invalidated_.load()) {
        PlistOwner message(ReceiveMessage(0));
        if (message.node == nullptr) return;
        const std::optional<std::string> command = PlistString(message.node, "Command");
        if (command == "ProxyDeath") return;
        if (command != "RelayNotification") continue;
        const std::optional<std::string> name = PlistString(message.node, "Name");
        if (!name || name->empty() || name->size() > 1024) continue;
        CFOwner text(MakeString(*name));
        if (text.value == nullptr || invalidated_.load()) continue;
        callback(static_cast<CFStringRef>(text.value), context);
    }
}

AMDServiceConnectionRef MakeServiceConnection(std::shared_ptr<Link> link) {
    if (!link) return nullptr;
    auto* payload = new ConnectionPayload;
    CFTypeRef object = BwSimCFCreateForeign(payload, FinalizeConnection);
    if (object == nullptr) {
        delete payload;
        return nullptr;
    }
    payload->object = object;
    LinkTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    tables.connections[object] = std::move(link);
    return static_cast<AMDServiceConnectionRef>(const_cast<void*>(object));
}

std::shared_ptr<Link> LinkOfConnection(const void* reference) {
    LinkTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    const auto found = tables.connections.find(reference);
    return found != tables.connections.end() ? found->second : nullptr;
}

bool IsServiceConnection(const void* reference) {
    return LinkOfConnection(reference) != nullptr;
}

std::shared_ptr<Link> LinkOfNumber(intptr_t number) {
    LinkTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    if (number < kFirstLinkNumber || number >= tables.nextNumber) return nullptr;
    const auto found = tables.pinned.find(static_cast<int>(number));
    return found != tables.pinned.end() ? found->second : nullptr;
}

int PinLink(const std::shared_ptr<Link>& link) {
    LinkTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    tables.pinned[link->number()] = link;
    return link->number();
}

int StartServicePort(AMDeviceRef reference, const std::string& service, StartedService& started) {
    Device* device = FindDevice(reference);
    if (device == nullptr || service.empty()) return kAmdInvalidArgument;
    std::lock_guard<std::mutex> lock(device->mutex);
    if (device->lockdown == nullptr) return kAmdNotConnected;
    started.idevice = device->OpenIdevice();
    if (!started.idevice || device->lockdown == nullptr) return kAmdNotConnected;
    lockdownd_service_descriptor_t descriptor = nullptr;
    const int status =
        AmdFromLockdown(lockdownd_start_service(device->lockdown, service.c_str(), &descriptor));
    if (status != kAmdSuccess) return status;
    started.port = descriptor != nullptr ? descriptor->port : 0;
    started.ssl = descriptor != nullptr && descriptor->ssl_enabled != 0;
    lockdownd_service_descriptor_free(descriptor);
    return started.port != 0 ? kAmdSuccess : kAmdStartServiceError;
}

int StartLink(AMDeviceRef reference, const std::string& service, std::shared_ptr<Link>& link) {
    StartedService started;
    const int status = StartServicePort(reference, service, started);
    if (status != kAmdSuccess) return status;
    link = std::make_shared<Link>(started.idevice, started.port, started.ssl, service);
    return kAmdSuccess;
}

}  // namespace bw::imd

using namespace bw::imd;

BW_IMD_EXPORT int AMDeviceStartService(AMDeviceRef reference, CFStringRef name, ServiceHandle* out,
                                       unsigned int*) {
    if (out == nullptr) return kAmdInvalidArgument;
    *out = nullptr;
    const std::optional<std::string> service = TextOf(name, 256);
    if (!service) return kAmdInvalidArgument;
    std::shared_ptr<Link> link;
    if (const int status = StartLink(reference, *service, link); status != kAmdSuccess) {
        return status;
    }
    AMDServiceConnectionRef connection = MakeServiceConnection(std::move(link));
    if (connection == nullptr) return kAmdNoResources;
    *out = connection;
    LinkTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    tables.plainStarts.insert(connection);
    return kAmdSuccess;
}

BW_IMD_EXPORT int AMDeviceSecureStartService(AMDeviceRef reference, CFStringRef name,
                                             CFDictionaryRef, AMDServiceConnectionRef* out) {
    if (out == nullptr) return kAmdInvalidArgument;
    ServiceHandle handle = nullptr;
    const int status = AMDeviceStartService(reference, name, &handle, nullptr);
    *out = static_cast<AMDServiceConnectionRef>(handle);
    if (handle != nullptr) {
        LinkTables& tables = Tables();
        std::lock_guard<std::mutex> lock(tables.mutex);
        tables.plainStarts.erase(handle);
    }
    return status;
}

BW_IMD_EXPORT AMDServiceConnectionRef AMDServiceConnectionCreate(int socket, void* secureContext,
                                                                 CFDictionaryRef) {
    std::shared_ptr<Link> link = LinkOfNumber(socket);
    if (!link || !link->usable()) return nullptr;
    // A context names the link it came from; one of another link is a caller's mistake.
    if (secureContext != nullptr && secureContext != link.get()) return nullptr;
    const std::shared_ptr<Link> made = link;
    AMDServiceConnectionRef connection = MakeServiceConnection(std::move(link));
    if (connection == nullptr) return nullptr;
    LinkTables& tables = Tables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    for (const void* started : tables.plainStarts) {
        const auto found = tables.connections.find(started);
        if (found == tables.connections.end() || found->second != made) continue;
        static_cast<ConnectionPayload*>(BwSimCFForeignPayload(connection))->takenOver = started;
        tables.plainStarts.erase(started);
        break;
    }
    return connection;
}

BW_IMD_EXPORT int AMDServiceConnectionGetSocket(AMDServiceConnectionRef connection) {
    const std::shared_ptr<Link> link = LinkOfConnection(connection);
    if (!link || !link->usable()) return -1;
    return PinLink(link);
}

// The secure context is the link itself: libimobiledevice encrypts the links that need it, so
// the token only tells the caller that the link is usable and lets the AFC side check it.
BW_IMD_EXPORT void* AMDServiceConnectionGetSecureIOContext(AMDServiceConnectionRef connection) {
    const std::shared_ptr<Link> link = LinkOfConnection(connection);
    return link && link->usable() ? link.get() : nullptr;
}

BW_IMD_EXPORT int AMDServiceConnectionSend(AMDServiceConnectionRef connection, const void* bytes,
                                           size_t length) {
    const std::shared_ptr<Link> link = LinkOfConnection(connection);
    return link ? link->Send(bytes, length) : -1;
}

BW_IMD_EXPORT int AMDServiceConnectionReceive(AMDServiceConnectionRef connection, void* bytes,
                                              size_t length) {
    const std::shared_ptr<Link> link = LinkOfConnection(connection);
    return link ? link->Receive(bytes, length) : -1;
}

BW_IMD_EXPORT void AMDServiceConnectionInvalidate(AMDServiceConnectionRef connection) {
    if (const std::shared_ptr<Link> link = LinkOfConnection(connection)) link->Invalidate();
}
