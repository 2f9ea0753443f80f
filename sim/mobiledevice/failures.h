// Failures that tests inject into the runtime's functions (BwSimInjectFailure), and the one call
// a test may hold to order its threads against the runtime (BwSimBlockCall).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cf/CoreFoundation.h"

namespace bw::sim::md {

// Arms `count` failures of `function` with `status`; an empty optional detail matches any call.
void InjectFailure(std::string function, std::optional<std::string> detail, int status, int count);
void ClearFailures();

// Arms the hold: the `nth` next call of `function` matching `detail` waits before it does
// anything, until ReleaseHeldCall. False when a hold is armed or a call is held already.
bool HoldCall(std::string function, std::optional<std::string> detail, int nth);
// True once a call waits at the hold; false when `timeoutMs` passed first.
bool WaitForHeldCall(int timeoutMs);
// Lets the held call go on, or disarms a hold that no call reached yet.
void ReleaseHeldCall();

// The status to return when a failure is armed for this call, and one use of it taken. A held
// call waits here first. A call without a detail only matches failures armed for any call.
std::optional<int> TakeFailure(std::string_view function,
                               std::optional<std::string_view> detail = std::nullopt);

// Whether any failure or hold is armed: a caller that would have to build a detail for
// TakeFailure first asks this, so that an unarmed runtime builds none.
bool AnyArmed();

// The same with a C string as the detail (NULL: no detail).
std::optional<int> TakeFailure(std::string_view function, const char* detail);

// The same with a CF string as the detail (NULL or unreadable: no detail).
std::optional<int> TakeFailure(std::string_view function, CFStringRef detail);

}  // namespace bw::sim::md
