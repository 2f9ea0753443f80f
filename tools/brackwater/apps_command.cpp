// brackwater apps [--icons DIR] [--json]: the user applications installed on the device, with
// their names and icons.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "brackwater/apps.h"
#include "cli.h"
#include "device_session.h"
#include "output_file.h"
#include "text.h"

namespace cli {

namespace {

// A bundle identifier as a file name: anything but letters, digits, "." and "-" becomes "_", so
// an identifier can never name a path outside the folder.
std::string FileNameOf(const std::string& identifier) {
    std::string name;
    for (char c : identifier) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-';
        name.push_back(plain ? c : '_');
    }
    // A leading '_' instead of inserting one: g++ 12 at -O3 reports a false overlapping copy in
    // std::string::insert.
    if (name.empty() || name[0] == '.') name = std::string(1, '_').append(name);
    return name + ".png";
}

}  // namespace

int RunApps(Arguments& args) {
    constexpr const char* kUsage = "brackwater [--sim[=IMAGE]] apps [--icons DIR] [--json]";
    std::string icons;
    bool missing = false;
    TakeOption(args.words, "--icons", icons, missing);
    if (missing) return UsageError("--icons needs a DIR", kUsage);
    if (const std::string unknown = UnknownOption(args.words); !unknown.empty()) {
        return UsageError("unknown option " + unknown, kUsage);
    }
    if (!args.words.empty()) return UsageError("unexpected argument " + args.words[0], kUsage);

    DeviceSession session;
    std::string error;
    CIPhone* device = session.Open(args, error);
    if (device == nullptr) return Fail(error);

    if (!icons.empty()) {
        std::error_code failed;
        std::filesystem::create_directories(icons, failed);
        if (failed) return Fail(icons + ": cannot make the folder");
    }
    const int count = BrackwaterDeviceApplications(device, nullptr, 0);
    std::vector<IAppInfo*> apps(static_cast<size_t>(count > 0 ? count : 0));
    const int filled = apps.empty() ? 0
                                    : BrackwaterDeviceApplications(device, apps.data(),
                                                                   static_cast<int>(apps.size()));
    apps.resize(static_cast<size_t>(std::max(0, std::min(filled, count))));
    for (IAppInfo* app : apps) {
        if (app == nullptr) continue;
        const std::string name = Text(app, &IAppInfo::GetName);
        const std::string identifier = Text(app, &IAppInfo::GetIdentifier);
        const size_t iconBytes = app->GetIconData(nullptr);
        std::string iconFile;
        if (!icons.empty() && iconBytes > 0) {
            std::vector<unsigned char> png(iconBytes);
            app->GetIconData(png.data());
            iconFile = icons + "/" + FileNameOf(identifier);
            std::string failure;
            const std::string_view bytes(reinterpret_cast<const char*>(png.data()), png.size());
            if (!WriteOutputFile(iconFile, bytes, failure)) return Fail(iconFile + ": " + failure);
        }
        if (args.json) {
            std::printf("{\"name\":%s,\"identifier\":%s,\"iconBytes\":%zu%s}\n",
                        JsonString(name).c_str(), JsonString(identifier).c_str(), iconBytes,
                        iconFile.empty() ? "" : (",\"icon\":" + JsonString(iconFile)).c_str());
        } else {
            std::printf(
                "%-40s %-24s %s\n", Printable(identifier).c_str(), Printable(name).c_str(),
                iconBytes > 0 ? (std::to_string(iconBytes) + " bytes of icon").c_str() : "no icon");
        }
    }
    return 0;
}

}  // namespace cli
