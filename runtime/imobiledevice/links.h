// Service links: a service the phone started for us, connected on first use in the way the
// caller uses it (raw bytes and property-list messages, or AFC). Callers hold a link through
// service connection objects (CF objects they release with CFRelease), through a socket number
// GetSocket handed out, or through an AFC connection.
#pragma once

#include <libimobiledevice/afc.h>
#include <libimobiledevice/house_arrest.h>
#include <libimobiledevice/service.h>
#include <plist/plist.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>

#include "devices.h"
#include "exports.h"

namespace bw::imd {

class Link : public std::enable_shared_from_this<Link> {
  public:
    Link(IdeviceHandle idevice, uint16_t port, bool ssl, std::string service);
    Link(IdeviceHandle idevice, house_arrest_client_t houseArrest);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    int number() const { return number_; }
    bool usable() const { return !invalidated_.load(); }

    // Raw bytes: the count moved, or -1 (a link that speaks AFC, or a broken one).
    int Send(const void* bytes, size_t length);
    int Receive(void* bytes, size_t length);

    // Property-list messages (4-byte big-endian length, then a binary property list). Receiving
    // gives up after `idleMilliseconds` without a byte; it returns null on any failure, including
    // a message too long or not a property list.
    bool SendMessage(plist_t message);
    plist_t ReceiveMessage(unsigned int idleMilliseconds);

    // The AFC client of the link, made on the first call; null when the link already speaks
    // something else or cannot connect. Valid until Invalidate.
    afc_client_t OpenAfc();

    // Calls `callback` for every relayed notification from a thread of the link's own.
    bool StartListening(NotificationProxyCallback callback, void* context);

    // Closes the connection for every holder; later calls fail.
    void Invalidate();

    // Shared by every call that uses the clients; Invalidate takes it exclusively.
    std::shared_mutex& clients() { return clients_; }

  private:
    enum class Mode { Unconnected, Raw, Afc };
    service_client_t RawClient();  // with `clients_` held shared
    bool ReadExact(unsigned char* bytes, uint32_t length, unsigned int idleMilliseconds);
    void Listen(NotificationProxyCallback callback, void* context);

    const IdeviceHandle idevice_;
    const uint16_t port_ = 0;
    const bool ssl_ = false;
    const std::string service_;
    const int number_;

    std::shared_mutex clients_;
    std::mutex connectMutex_;
    std::mutex sendMutex_;
    std::mutex receiveMutex_;
    Mode mode_ = Mode::Unconnected;
    service_client_t raw_ = nullptr;
    house_arrest_client_t houseArrest_ = nullptr;
    afc_client_t afc_ = nullptr;
    std::atomic<bool> invalidated_{false};
    std::thread listener_;
};

// A new service connection object (+1) holding `link`, or null.
AMDServiceConnectionRef MakeServiceConnection(std::shared_ptr<Link> link);

// The link behind a service connection object this runtime made, or behind a socket number it
// handed out; null for any other value (never dereferenced).
std::shared_ptr<Link> LinkOfConnection(const void* reference);
std::shared_ptr<Link> LinkOfNumber(intptr_t number);

// True when `reference` is a live service connection object of this runtime.
bool IsServiceConnection(const void* reference);

// A service the phone started: where to connect to it.
struct StartedService {
    IdeviceHandle idevice;
    uint16_t port = 0;
    bool ssl = false;
};

// Starts `service` on the phone through its lockdown connection (a session must be open).
int StartServicePort(AMDeviceRef reference, const std::string& service, StartedService& started);
int StartLink(AMDeviceRef reference, const std::string& service, std::shared_ptr<Link>& link);

}  // namespace bw::imd
