// The notification proxy's side of the control API.
#pragma once

#include <string>

namespace bw::sim::md {

class Device;

// Posts `name` on the device: every open proxy of it that observes the name relays it. The
// number of proxies that do.
int PostOnDevice(const Device& device, const std::string& name);

// A post from the host: counted on the device, then posted there.
void PostFromHost(Device& device, const std::string& name);

}  // namespace bw::sim::md
