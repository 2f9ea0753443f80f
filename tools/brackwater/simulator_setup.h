// --sim: points this process at the simulated device. A temporary registry file names the
// simulator's runtime libraries, and the image to attach is handed to the simulator through its
// environment variable before the library loads it.
#pragma once

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

  private:
    std::string registryFile_;
};

// The demo iPhone in the cache folder, made when missing or made by an older builder.
bool MakeDemoImage(std::string& image, std::string& error);

// This program's cache folder ($XDG_CACHE_HOME/brackwater, else ~/.cache/brackwater); empty
// without a home.
std::string CacheFolder();

// The folder of this program's executable.
std::string ProgramFolder();

}  // namespace cli
