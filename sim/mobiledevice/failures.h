// Failures that tests inject into the runtime's functions (BwSimInjectFailure).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cf/CoreFoundation.h"

namespace bw::sim::md {

// Arms `count` failures of `function` with `status`; an empty optional detail matches any call.
void InjectFailure(std::string function, std::optional<std::string> detail, int status, int count);
void ClearFailures();

// The status to return when a failure is armed for this call, and one use of it taken. A call
// without a detail only matches failures armed for any call.
std::optional<int> TakeFailure(std::string_view function,
                               std::optional<std::string_view> detail = std::nullopt);

// The same with a C string as the detail (NULL: no detail).
std::optional<int> TakeFailure(std::string_view function, const char* detail);

// The same with a CF string as the detail (NULL or unreadable: no detail).
std::optional<int> TakeFailure(std::string_view function, CFStringRef detail);

}  // namespace bw::sim::md
