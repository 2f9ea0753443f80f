// The runtime's own listening connection to usbmuxd. It is made here rather than through
// libusbmuxd's event thread so that it starts and ends exactly when asked: a host that stops
// listening right after it started leaves no connection behind.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "mapping.h"

namespace bw::imd {

class UsbmuxListener {
  public:
    struct Callbacks {
        // After each connection is made: usbmuxd announces every phone present on it next.
        std::function<void()> connected;
        std::function<void(bool attached, const MuxDevice&)> changed;
        // The connection ended without being asked to: usbmuxd is gone, and so are its phones.
        std::function<void()> lost;
    };

    // Connects and keeps the connection on a thread of its own; while usbmuxd is not there (it
    // starts when the first phone is plugged in) it tries again every second. Returns once the
    // first try is over.
    explicit UsbmuxListener(Callbacks callbacks);
    // Ends the connection and the thread; no callback runs after it returns.
    ~UsbmuxListener();
    UsbmuxListener(const UsbmuxListener&) = delete;
    UsbmuxListener& operator=(const UsbmuxListener&) = delete;

  private:
    void Run();
    // One connection: the device list, "Listen", then events until it ends.
    void Serve(int fd);

    Callbacks callbacks_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool firstTryOver_ = false;
    int fd_ = -1;  // the connection, while there is one
    std::thread thread_;
};

// A socket connected to usbmuxd: USBMUXD_SOCKET_ADDRESS ("UNIX:/path", or "a.b.c.d:port"), or
// /var/run/usbmuxd; -1 when it cannot be reached.
int ConnectUsbmuxd();

}  // namespace bw::imd
