// The simulated devices on real sockets: a multiplexer socket that Linux clients of iOS devices
// reach with USBMUXD_SOCKET_ADDRESS=UNIX:/path, lockdown on each device's port 62078, and the
// services lockdown starts. It is a host of the simulated runtime: everything it serves comes from
// the runtime's exported functions, so the simulator's counters show what the clients hold.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace bw::sim::wire {

class WireServer {
  public:
    // Listens on a Unix socket at socketPath (mode 0600, refuses to replace anything that is not
    // a stale socket) and serves every device the simulated runtime of this process has attached,
    // now and later (through AMDeviceNotificationSubscribe). Null with `error` set on failure.
    static std::unique_ptr<WireServer> Start(const std::string& socketPath, std::string& error);
    ~WireServer();  // closes every link, releases everything it holds of the simulator, joins
                    // threads
    WireServer(const WireServer&) = delete;
    WireServer& operator=(const WireServer&) = delete;

    // Client links (usbmuxd clients, lockdown and service connections) still open on our side,
    // and services lockdown started that no client has connected to yet.
    size_t OpenLinks() const;
    // Clients that sent "Listen" and still listen.
    size_t Listeners() const;

    struct State;

  private:
    explicit WireServer(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace bw::sim::wire
