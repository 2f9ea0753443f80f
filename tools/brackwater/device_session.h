// The connection listener for one command: starts it, waits for devices and picks the one the
// command works on.
#pragma once

#include <string>
#include <vector>

#include "brackwater/device.h"
#include "cli.h"
#include "simulator_setup.h"

namespace cli {

// What to tell a person who asked for a device when none is there, and what to do about it.
std::string NoDeviceText(const Arguments& args);

class DeviceSession {
  public:
    DeviceSession() = default;
    ~DeviceSession();
    DeviceSession(const DeviceSession&) = delete;
    DeviceSession& operator=(const DeviceSession&) = delete;

    // Sets up --sim when asked, creates and starts the listener and waits up to `seconds` for a
    // first device.
    bool Start(const Arguments& args, int seconds, std::string& error);

    std::vector<CIPhone*> Devices();
    // The device the command works on: the one with --udid, or the only one; with --afc2 its
    // whole-file-system twin.
    CIPhone* Choose(const Arguments& args, std::string& error);
    // Start and Choose in one: the device a command works on, or null with the reason in `error`.
    CIPhone* Open(const Arguments& args, std::string& error, int seconds = 3);
    // Arrivals and removals from now on, on the runtime's notification thread.
    void SetCallback(DeviceCallback callback, void* context);

  private:
    SimulatorSetup simulator_;
    IConnectListener* listener_ = nullptr;
};

// A text value of a device (empty when it has none).
std::string DeviceText(CIPhone* device, const char* key);

}  // namespace cli
