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
// read asking for more than 4 MiB (kAfcMaxTransfer of afc_packet.h) is answered with that much
// at most.
//
// It waits for the peer without a time limit and learns that the device left from the next
// request (answered 11, then it returns). A caller that must end a session sooner shuts the
// socket down (shutdown(fd, SHUT_RDWR)) from another thread; ServeAfc then returns.
void ServeAfc(int fd, AFCConnectionRef connection);

}  // namespace bw::sim::wire
