// One link of the AirTraffic host library to a device's "com.apple.atc": started through the
// mobile device library's public functions, read by a thread of its own into a message queue.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "cf/CoreFoundation.h"
#include "mobiledevice/MobileDevice.h"

namespace bw::sim::ath {

// Statuses of the send functions: the mobile device library's codes, so a host that logs them
// sees familiar numbers.
inline constexpr int kStatusInvalidArgument = static_cast<int>(0xE8000007u);
inline constexpr int kStatusNotConnected = static_cast<int>(0xE800000Bu);
inline constexpr int kStatusWriteFailed = static_cast<int>(0xE8000005u);

class HostConnection {
  public:
    // The connection to the attached device `udid`, with its reader running; null when the
    // device is unknown or refuses the session or the service.
    static std::shared_ptr<HostConnection> Open(const std::string& udid);

    explicit HostConnection(AMDServiceConnectionRef service) : service_(service) {}
    ~HostConnection();
    HostConnection(const HostConnection&) = delete;
    HostConnection& operator=(const HostConnection&) = delete;

    // Frames and sends one message dictionary; a status.
    int Send(CFDictionaryRef message);

    // The next device message (+1), or null after the bounded wait, or at once when the host
    // invalidated the connection or the link is gone and its last notice was delivered.
    CFDictionaryRef Read();

    // Ends the link: waiting readers return, the service connection closes, the reader thread
    // stops. Safe to call more than once and from several threads.
    void Invalidate();

    uint32_t session() const { return session_; }

  private:
    enum class Received { Whole, Closed, Stopped };

    void ReadLoop();
    Received ReceiveExactly(std::string& bytes, size_t length);
    void LinkEnded();

    const AMDServiceConnectionRef service_;
    std::atomic<uint32_t> session_{0};
    std::atomic<bool> invalidated_{false};

    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<CFDictionaryRef> queue_;  // +1 each
    bool linkDead_ = false;

    std::mutex sendMutex_;  // one framed message at a time
    std::mutex joinMutex_;
    std::thread reader_;
};

}  // namespace bw::sim::ath
