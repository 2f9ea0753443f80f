// One started service: the device side (the Service) and the byte stream between it and the
// host, framed as plist services frame their messages (a 4-byte big-endian length, then a binary
// or XML property list).
#pragma once

#include <plist/plist.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "service.h"

namespace bw::sim::md {

class Device;

class Channel {
  public:
    Channel(Device& device, std::string name, std::unique_ptr<Service> service, int socket,
            uintptr_t secureContext);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    Device& device() const { return device_; }
    const std::string& name() const { return name_; }
    Service& service() const { return *service_; }
    int socket() const { return socket_; }
    uintptr_t secureContext() const { return secureContext_; }

    // Not closed, and the device is still attached.
    bool IsOpen() const;
    // Closes the stream (once); receivers waiting for bytes wake up.
    void Close();

    // Bytes from the host; every message they complete goes to the service. False when the
    // channel was closed, the service takes no messages, or the bytes break the framing (the
    // device then drops the connection).
    bool Send(const void* bytes, size_t length);

    // Bytes for the host: up to `length`; 0 once closed with nothing left; -1 when nothing
    // arrived within `wait`.
    long Receive(void* buffer, size_t length, std::chrono::milliseconds wait);

    // A message from the service to the host.
    void Reply(plist_t message, bool binary);

  private:
    bool TakeMessage(std::string& message);  // with mutex_ held

    Device& device_;
    const std::string name_;
    const int socket_;
    const uintptr_t secureContext_;

    std::mutex dispatch_;  // one request at a time reaches the service, in order
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    bool closed_ = false;
    std::string inbox_;   // host bytes not yet a whole message
    std::string outbox_;  // framed messages for the host
    size_t outboxRead_ = 0;

    // Last, so that it goes first: a service may reach the channel until it is destroyed.
    const std::unique_ptr<Service> service_;
};

}  // namespace bw::sim::md
