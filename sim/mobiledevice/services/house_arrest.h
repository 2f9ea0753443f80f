// House arrest: AFC inside one application's container.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cf/CoreFoundation.h"
#include "service.h"

namespace bw::sim::md {

enum class HouseArrestCommand { VendContainer, VendDocuments };

// The "Command" of the start options: NULL options vend the container; empty for a command
// this runtime does not know.
std::optional<HouseArrestCommand> ReadHouseArrestCommand(CFDictionaryRef options);

// The host folder of the container of the application `bundleId`, or empty when no application
// on the device has that identifier.
std::string FindAppContainer(const Device& device, std::string_view bundleId);

// With DeviceMutex held: an AFC service rooted at the container (or its Documents folder).
ServiceStart StartHouseArrest(Device& device, const std::string& bundleId,
                              HouseArrestCommand command);

}  // namespace bw::sim::md
