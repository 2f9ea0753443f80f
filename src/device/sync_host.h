// The sync host: an AirTraffic connection to the device whose message thread hands the device's
// "assetmetrics" message to the handler that started it. One sync host runs per process.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "device/iphone.h"
#include "device/runtime_values.h"

namespace bw {

// The version the host announces when the music application's files cannot be read.
inline constexpr char kDefaultSyncHostVersion[] = "11.0.5.5";
// Computer names are announced with at most this many characters, as Windows keeps them.
inline constexpr size_t kSyncHostNameLength = 15;

// A device that never answers must not hold the message thread (and the connection) forever:
// after this long without the handler ending it, the thread ends the connection itself.
inline constexpr std::chrono::milliseconds kSyncHostTimeLimit{30000};

// The version text the sync host announces.
std::string SyncHostVersion();

// The host-info dictionary a sync host announces: "LibraryID", "SyncHostName" (the computer
// name), "SyncedDataclasses" (an array of `dataclasses`) and "Version". Null when the runtime
// cannot make it.
CFOwned<rt::CFMutableDictionaryRef> MakeSyncHostInfo(rt::CFStringRef libraryId,
                                                     rt::CFStringRef version,
                                                     const std::vector<std::string>& dataclasses);

// Ends the device's sync host connection, once: invalidates it and drops both references the
// start took (the connection's own and the one Retain added). Safe from any thread; true when
// this call ended it.
bool EndSyncHost(CIPhone& phone);

// Waits until the message thread of the last start has ended.
void JoinSyncHostThread();

// For tests: the time limit of the next starts (kSyncHostTimeLimit when not set).
void SetSyncHostTimeLimit(std::chrono::milliseconds limit);

}  // namespace bw
