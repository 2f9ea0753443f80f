// The command-line host: shared pieces of its commands. It uses only the public headers.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "brackwater/device.h"

namespace cli {

inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// The arguments after the command name, with the global options already taken out.
struct Arguments {
    std::vector<std::string> words;
    bool json = false;
    // --sim or --sim=IMAGE: run on the simulated device (IMAGE empty: the demo iPhone).
    std::optional<std::string> sim;
    // --wire or --wire=IMAGE: the same simulated devices, served over the real device protocols
    // and reached through the device runtime over libimobiledevice.
    std::optional<std::string> wire;
    std::string udid;   // --udid: which device, when several are connected
    bool afc2 = false;  // --afc2: the device's whole file system instead of its media area
};

// One-line messages on standard error.
int Fail(std::string_view message);
int UsageError(std::string_view message, std::string_view usage);

// Takes "--name VALUE" or "--name=VALUE" out of the words; true when it was there. A missing
// VALUE is reported through `missingValue`.
bool TakeOption(std::vector<std::string>& words, std::string_view name, std::string& value,
                bool& missingValue);
bool TakeFlag(std::vector<std::string>& words, std::string_view name);
// The first word that looks like an option ("-x", "--x"), or empty.
std::string UnknownOption(const std::vector<std::string>& words);

// A JSON string literal of UTF-8 text.
std::string JsonString(std::string_view text);

// Output helpers for the library's sinks.
void WriteToFile(void* file, const char* bytes, size_t length);
void AppendToString(void* text, const char* bytes, size_t length);

int RunPlist(Arguments& args);
int RunManifest(Arguments& args);
int RunDemo(Arguments& args);
// The device part of the demo, on the simulated iPhone; working files go into `folder`. With
// `wire`, the iPhone is reached over the real device protocols through the libimobiledevice
// runtime, and what needs Apple's own libraries is named and left out.
int RunDeviceDemo(const std::string& folder, bool wire);
int RunDevices(Arguments& args);
int RunList(Arguments& args);
int RunPull(Arguments& args);
int RunPush(Arguments& args);
int RunRemove(Arguments& args);
int RunMakeDirectory(Arguments& args);
int RunApps(Arguments& args);
int RunInfo(Arguments& args);
// The information page of a device, and its screen saved as a PNG file (what info and
// screenshot do once they have the device).
int PrintDeviceInfo(CIPhone* device, bool json);
int SaveScreenshot(CIPhone* device, const std::string& file);
int RunRename(Arguments& args);
int RunScreenshot(Arguments& args);
int RunRestart(Arguments& args);
int RunPhotos(Arguments& args);
// The albums, a contact sheet of thumbnails and one copied photo of the device, into `folder`.
int PhotoDemo(CIPhone* device, const std::string& folder);
// photos add|rm|delete with the words after the action in `args.words`; `album` empty: none.
int RunPhotoChange(const std::string& action, Arguments& args, const std::string& album, bool yes);
// The demo's changes: two pictures added, one removed again, a camera-roll photo deleted.
int PhotoChangeDemo(CIPhone* device, const std::string& folder);
int RunScan(Arguments& args);
int RunClean(Arguments& args);
int RunPrivacy(Arguments& args);
int RunBackup(Arguments& args);
int RunRestore(Arguments& args);
int RunBackups(Arguments& args);
int RunVerify(Arguments& args);

}  // namespace cli
