// The AirTraffic service's side of the control API.
#pragma once

#include <string>

#include "common/plist_tree.h"

namespace bw::sim::md {

class Device;

// Queues {"Command": command, "Params": params} on every open link of the device (an empty
// command leaves "Command" out); how many.
int QueueAirTrafficMessage(const Device& device, const std::string& command, plist_t params);

// The host information of the last "HostInfo" a host sent the device, as XML; empty when none came.
std::string LastAirTrafficHostInfo(const Device& device);

// Answers to "HostInfo" on or off, and the delay of every message the device sends.
void SetAirTrafficSilent(const Device& device, bool silent);
void SetAirTrafficDelay(const Device& device, int delayMs);

// Closes every open link of the device; how many.
int DropAirTrafficLinks(const Device& device);

}  // namespace bw::sim::md
