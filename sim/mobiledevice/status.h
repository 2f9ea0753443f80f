// The status codes the runtime answers with: AMD errors for devices and services, AFC protocol
// codes for files.
#pragma once

#include <cstdint>

namespace bw::sim::md {

constexpr int AmdError(uint32_t code) {
    return static_cast<int>(0xE8000000u | code);
}

inline constexpr int kAmdSuccess = 0;
inline constexpr int kAmdUndefined = AmdError(0x01);
inline constexpr int kAmdNoResources = AmdError(0x03);
inline constexpr int kAmdWriteError = AmdError(0x05);
inline constexpr int kAmdInvalidArgument = AmdError(0x07);
inline constexpr int kAmdNotFound = AmdError(0x08);
inline constexpr int kAmdNotConnected = AmdError(0x0B);
inline constexpr int kAmdUnsupported = AmdError(0x0F);
inline constexpr int kAmdSetProhibited = AmdError(0x17);
inline constexpr int kAmdPasswordProtected = AmdError(0x1A);
inline constexpr int kAmdSessionActive = AmdError(0x1D);
inline constexpr int kAmdSessionInactive = AmdError(0x1E);
inline constexpr int kAmdInvalidService = AmdError(0x22);
inline constexpr int kAmdMissingPairRecord = AmdError(0x25);
inline constexpr int kAmdUserDeniedPairing = AmdError(0x95);

inline constexpr int kAfcSuccess = 0;
// A device answers a request to remove a folder that still holds entries with this code.
inline constexpr int kAfcUndefined = 1;
inline constexpr int kAfcNoResources = 3;
inline constexpr int kAfcReadError = 4;
inline constexpr int kAfcWriteError = 5;
inline constexpr int kAfcInvalidArgument = 7;
inline constexpr int kAfcNotFound = 8;
inline constexpr int kAfcIsDirectory = 9;
inline constexpr int kAfcPermissionDenied = 10;
inline constexpr int kAfcNotConnected = 11;
inline constexpr int kAfcUnsupported = 15;
inline constexpr int kAfcExists = 16;
inline constexpr int kAfcBusy = 17;
inline constexpr int kAfcNoSpace = 18;
inline constexpr int kAfcWouldBlock = 19;
inline constexpr int kAfcIoError = 20;

inline constexpr int kAfcDirectoryNotEmpty = kAfcUndefined;

}  // namespace bw::sim::md
