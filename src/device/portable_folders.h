// The camera rolls of simulated devices, as folders the portable-device layer serves. A real
// runtime has none: its phones reach the computer over PTP, which the platform layer finds itself.
#pragma once

#include <vector>

#include "platform/portable_device.h"

namespace bw {

// One folder per device the loaded runtime simulates, in the runtime's order; empty when no
// runtime is loaded or it is not the simulator. Entries without a friendly name, a serial number
// or an absolute folder are left out.
std::vector<platform::PortableFolder> SimulatedPortableFolders();

}  // namespace bw
