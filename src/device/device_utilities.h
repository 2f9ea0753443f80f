// Small fixed exchanges with device services: restart, screenshot, the end of a sync.
#pragma once

#include <string>

#include "device/iphone.h"
#include "formats/plist_library.h"

namespace bw {

inline constexpr char kDiagnosticsRelayService[] = "com.apple.mobile.diagnostics_relay";
inline constexpr char kScreenshotService[] = "com.apple.mobile.screenshotr";
inline constexpr char kSyncDidFinishNotification[] = "com.apple.itunes-mobdev.syncDidFinish";

// Pairs when needed, starts a session and asks the device to restart; nothing for null.
void RestartDevice(CIPhone* phone);

// The picture of a screenshot reply: the data "ScreenShotData" of the dictionary at index 1 of
// the reply array; false and empty for anything else.
bool ScreenshotDataFromReply(const CDicValueObj& reply, std::string& image);

}  // namespace bw
