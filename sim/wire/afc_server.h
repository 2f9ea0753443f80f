// The AFC wire protocol served from the simulator's AFC functions.
#pragma once

#include "mobiledevice/MobileDevice.h"

namespace bw::sim::wire {

// Serves AFC requests read from `fd` with `connection` until the peer closes, then returns. It
// neither closes fd nor the connection.
void ServeAfc(int fd, AFCConnectionRef connection);

}  // namespace bw::sim::wire
