// The AFC service as a phone serves it on its socket, answered by the simulated runtime's AFC
// functions: what a host speaking the wire protocol (libimobiledevice's AFC client) talks to.
#pragma once

#include "mobiledevice/MobileDevice.h"

namespace bw::sim::wire {

// Serves AFC requests arriving on fd (a connected stream socket) from `connection` (an AFC
// connection opened on the simulated runtime with AFCConnectionOpen) until the peer closes, the
// connection fails or a packet breaks the protocol; then closes the files it opened for the peer
// and returns. It closes neither fd nor the connection.
//
// The peer sees file handles of its own (numbered from 1, never reused), never the runtime's. A
// read asking for more than kAfcMaxTransfer bytes is answered with that many at most.
void ServeAfc(int fd, AFCConnectionRef connection);

}  // namespace bw::sim::wire
