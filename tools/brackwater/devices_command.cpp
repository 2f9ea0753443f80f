// brackwater devices [--wait SECONDS] [--json]
#include <cstdio>
#include <cstdlib>

#include "cli.h"
#include "device_session.h"
#include "text.h"

namespace cli {

int RunDevices(Arguments& args) {
    constexpr const char* kUsage = "brackwater [--sim[=IMAGE]] devices [--wait SECONDS] [--json]";
    std::string wait = "2";
    bool missing = false;
    TakeOption(args.words, "--wait", wait, missing);
    if (missing) return UsageError("--wait needs a number of seconds", kUsage);
    char* end = nullptr;
    const long seconds = std::strtol(wait.c_str(), &end, 10);
    if (wait.empty() || *end != '\0' || seconds < 0 || seconds > 86400) {
        return UsageError("--wait needs a number of seconds", kUsage);
    }
    if (!args.words.empty()) return UsageError("unexpected argument " + args.words[0], kUsage);

    DeviceSession session;
    std::string error;
    if (!session.Start(args, static_cast<int>(seconds), error)) return Fail(error);
    const std::vector<CIPhone*> devices = session.Devices();
    if (!args.json && devices.empty()) std::printf("%s\n", NoDeviceText(args).c_str());
    for (CIPhone* device : devices) {
        const std::string udid = DeviceText(device, "UniqueDeviceID");
        const std::string name = DeviceText(device, "DeviceName");
        const std::string type = DeviceText(device, "ProductType");
        const std::string version = DeviceText(device, "ProductVersion");
        const char* link = BrackwaterDeviceInterfaceType(device) == 2 ? "network" : "USB";
        if (args.json) {
            std::printf(
                "{\"udid\":%s,\"name\":%s,\"productType\":%s,\"productVersion\":%s,"
                "\"connection\":\"%s\"}\n",
                JsonString(udid).c_str(), JsonString(name).c_str(), JsonString(type).c_str(),
                JsonString(version).c_str(), link);
        } else {
            std::printf("%s  %-20s %-10s %-8s %s\n", Printable(udid).c_str(),
                        Printable(name).c_str(), Printable(type).c_str(),
                        Printable(version).c_str(), link);
        }
    }
    return 0;
}

}  // namespace cli
