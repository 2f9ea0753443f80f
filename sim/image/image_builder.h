// Device images for the simulator: a folder holding device.plist (lockdown values and behaviour
// switches) and fs/ (the device's file system). The same options always give the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace bw::sim {

struct ImageOptions {
    std::string iosVersion = "7.1.2";  // one of SupportedIosVersions()
    std::string name;                  // "DeviceName"; empty: a name chosen from the seed
    std::string udid;                  // 40 hexadecimal digits; empty: derived from the seed
    uint64_t seed = 1;
    int scale = 1;  // 1 to kMaxScale; reserved for large benchmark images

    // Behaviour switches, written to the "Simulator" dictionary of device.plist.
    std::string interfaceType = "USB";  // "USB" or "Network"
    bool paired = true;
    bool refusesPairing = false;
    bool hasAfc2 = false;
    bool passcodeLocked = false;

    // Device state the library reads.
    bool hasSim = true;            // a SIM card: "IntegratedCircuitCardIdentity", "PhoneNumber"
    bool backupEncrypted = false;  // "WillEncrypt" of "com.apple.mobile.backup"
    bool findMyPhone = false;      // "IsAssociated" of "com.apple.fmip"
};

inline constexpr int kMaxScale = 1000;

// The iOS versions an image can be made for, oldest first.
const std::vector<std::string>& SupportedIosVersions();

// Checks the options without writing anything; error says what is wrong.
bool ValidateOptions(const ImageOptions& options, std::string& error);

// Makes the image in `folder`. The folder may be missing, empty, or an image this builder made
// (which is replaced as a whole); any other folder is refused and left untouched. The new image is
// built beside the folder and moved into place, so a failure leaves the old state.
bool CreateImage(const std::string& folder, const ImageOptions& options, std::string& error);

// True when `folder` is an image this builder made: it holds the builder's marker file (a
// regular file with the builder's content) and a device.plist whose top level has a "Simulator"
// dictionary.
bool IsImage(const std::string& folder);

// Changes on every change of what CreateImage writes: the builder's revision number (bumped by
// hand with each change of content), the folder, file and link tables, the libvips version
// that encodes the photos and the SQLite version that writes the private-data stores. Also stored
// as "ImageBuilder" in the "Simulator" dictionary.
std::string BuilderVersion();

// The service roots of an image, as device paths below fs/.
enum class ImageRoot {
    FileSystem,    // "com.apple.afc2": all of fs/
    Media,         // "com.apple.afc": /var/mobile/Media
    Home,          // the home domain: /var/mobile/Library
    CrashReports,  // "com.apple.crashreportcopymobile": /var/mobile/Library/Logs/CrashReporter
    Applications,  // the application containers: /var/mobile/Applications
    Wireless,      // the wireless domain: /var/wireless
};

// The device path of a root ("/" for FileSystem).
std::string RootDevicePath(ImageRoot root);

// The host path of `devicePath` as the service of `root` sees it: the path is taken relative to
// the root, "." and empty parts are dropped and ".." stops at the root, the way the services
// treat the paths they are given. Links are not resolved.
std::string ImagePath(const std::string& folder, std::string_view devicePath,
                      ImageRoot root = ImageRoot::FileSystem);

// The behaviour switches of the "Simulator" dictionary.
namespace switches {
inline constexpr char kInterfaceType[] = "InterfaceType";    // string "USB" or "Network"
inline constexpr char kPaired[] = "Paired";                  // boolean
inline constexpr char kRefusesPairing[] = "RefusesPairing";  // boolean
inline constexpr char kHasAfc2[] = "HasAFC2";                // boolean
inline constexpr char kPasscodeLocked[] = "PasscodeLocked";  // boolean
inline constexpr char kFsTotalBytes[] = "FSTotalBytes";      // integer
inline constexpr char kFsFreeBytes[] = "FSFreeBytes";        // integer
inline constexpr char kRestartSeconds[] = "RestartSeconds";  // integer
}  // namespace switches

using SwitchValue = std::variant<bool, int64_t, std::string>;

// Sets one switch in the device.plist of an existing image, rewriting the file atomically. Only
// the switches above are accepted, each with its own type ("InterfaceType" only "USB" or
// "Network", the byte counts not negative). "PasscodeLocked" also sets the lockdown value
// "PasswordProtected", which a locked device reports.
bool SetSimulatorSwitch(const std::string& folder, const std::string& name,
                        const SwitchValue& value, std::string& error);

}  // namespace bw::sim
