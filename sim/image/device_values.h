// The content of device.plist: the lockdown values of the default domain, the domains, and the
// "Simulator" dictionary of behaviour switches.
#pragma once

#include "common/plist_tree.h"
#include "device_identity.h"
#include "image/image_builder.h"

namespace bw::sim {

inline constexpr char kSimulatorKey[] = "Simulator";
inline constexpr char kBuilderKey[] = "ImageBuilder";

PlistTree MakeDeviceValues(const ImageOptions& options, const DeviceIdentity& identity);

}  // namespace bw::sim
