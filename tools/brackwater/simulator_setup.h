// --sim: points this process at the simulated device. A temporary registry file names the
// simulator's runtime libraries, and the image to attach is handed to the simulator through its
// environment variable before the library loads it.
//
// --wire: the simulator runs as a child process that serves the images over the real device
// protocols on a private usbmuxd socket, and the registry names the device runtime over
// libimobiledevice, which reaches that socket through USBMUXD_SOCKET_ADDRESS.
//
// Neither: when no registry file says which runtime to load, the device runtime over
// libimobiledevice is used if it came with this program, so real phones work out of the box.
#pragma once

#include <sys/types.h>

#include <string>

namespace cli {

class SimulatorSetup {
  public:
    SimulatorSetup() = default;
    ~SimulatorSetup();
    SimulatorSetup(const SimulatorSetup&) = delete;
    SimulatorSetup& operator=(const SimulatorSetup&) = delete;

    // `images`: image folders separated by ":"; empty: the demo iPhone, made on first use in the
    // cache folder and made again when the image builder has changed since.
    bool Prepare(const std::string& images, std::string& error);
    // The same images behind the wire-level simulator.
    bool PrepareWire(const std::string& images, std::string& error);
    // No option given: the device runtime, unless a registry file chooses the runtime.
    bool PrepareDefault(std::string& error);

  private:
    bool UseRegistry(const std::string& installDir, const std::string& library, std::string& error);
    // The images named, made absolute, the demo iPhone for an empty request.
    static bool ResolveImages(const std::string& requested, std::string& images,
                              std::string& error);

    std::string registryFile_;
    std::string socketFile_;
    pid_t server_ = -1;
    int serverOutput_ = -1;
};

// The demo iPhone in the cache folder, made when missing or made by an older builder.
bool MakeDemoImage(std::string& image, std::string& error);

// This program's cache folder ($XDG_CACHE_HOME/brackwater, else ~/.cache/brackwater); empty
// without a home.
std::string CacheFolder();

// The folder of this program's executable.
std::string ProgramFolder();

// True once this process was pointed at the device runtime over libimobiledevice (--wire, or no
// option and no registry of the user's), which has no AirTraffic library and no backup tool.
bool UsingDeviceRuntime();

// What a feature needs that the device runtime over libimobiledevice lacks, as the end of a
// message: ": <what> needs Apple's <library>, which the libimobiledevice runtime does not have";
// empty on any other runtime.
std::string MissingFromDeviceRuntime(const std::string& what, const std::string& library);

// The folder of the device runtime over libimobiledevice ($BRACKWATER_DEVICE_RUNTIME, else
// beside the program in the build tree, else where an install puts it); empty when there is none.
std::string DeviceRuntimeFolder();

}  // namespace cli
