// The status codes the runtime answers with: AMD errors for devices and services, AFC protocol
// codes for files. Callers compare against these exact values, so they follow the codes the
// desktop runtime is known to return.
#pragma once

#include <cstdint>

namespace bw::imd {

constexpr int AmdError(uint32_t code) {
    return static_cast<int>(0xE8000000u | code);
}

inline constexpr int kAmdSuccess = 0;
inline constexpr int kAmdUndefined = AmdError(0x01);
inline constexpr int kAmdNoResources = AmdError(0x03);
inline constexpr int kAmdReadError = AmdError(0x04);
inline constexpr int kAmdWriteError = AmdError(0x05);
inline constexpr int kAmdInvalidArgument = AmdError(0x07);
inline constexpr int kAmdNotFound = AmdError(0x08);
inline constexpr int kAmdNotConnected = AmdError(0x0B);
inline constexpr int kAmdTimeout = AmdError(0x0C);
inline constexpr int kAmdUnsupported = AmdError(0x0F);
inline constexpr int kAmdInvalidResponse = AmdError(0x13);
inline constexpr int kAmdMissingKey = AmdError(0x14);
inline constexpr int kAmdMissingValue = AmdError(0x15);
inline constexpr int kAmdGetProhibited = AmdError(0x16);
inline constexpr int kAmdSetProhibited = AmdError(0x17);
inline constexpr int kAmdPasswordProtected = AmdError(0x1A);
inline constexpr int kAmdMissingHostId = AmdError(0x1B);
inline constexpr int kAmdInvalidHostId = AmdError(0x1C);
inline constexpr int kAmdSessionActive = AmdError(0x1D);
inline constexpr int kAmdSessionInactive = AmdError(0x1E);
inline constexpr int kAmdMissingService = AmdError(0x21);
inline constexpr int kAmdInvalidService = AmdError(0x22);
inline constexpr int kAmdMissingPairRecord = AmdError(0x25);
inline constexpr int kAmdStartServiceError = AmdError(0x32);
inline constexpr int kAmdMuxError = AmdError(0x35);
inline constexpr int kAmdUserDeniedPairing = AmdError(0x95);

inline constexpr int kAfcSuccess = 0;
inline constexpr int kAfcUndefined = 1;
inline constexpr int kAfcNoResources = 3;
inline constexpr int kAfcReadError = 4;
inline constexpr int kAfcWriteError = 5;
inline constexpr int kAfcInvalidArgument = 7;
inline constexpr int kAfcNotFound = 8;
inline constexpr int kAfcIsDirectory = 9;
inline constexpr int kAfcPermissionDenied = 10;
inline constexpr int kAfcNotConnected = 11;
inline constexpr int kAfcOverrun = 13;
inline constexpr int kAfcUnsupported = 15;
inline constexpr int kAfcIoError = 20;

}  // namespace bw::imd
