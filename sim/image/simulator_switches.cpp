// Changing one behaviour switch of an existing image.
#include <optional>

#include "device_plist.h"
#include "device_values.h"
#include "image/image_builder.h"

namespace bw::sim {
namespace {

enum class SwitchType { Flag, Count, Interface };

std::optional<SwitchType> TypeOfSwitch(const std::string& name) {
    if (name == switches::kInterfaceType) return SwitchType::Interface;
    if (name == switches::kFsTotalBytes || name == switches::kFsFreeBytes ||
        name == switches::kRestartSeconds)
        return SwitchType::Count;
    if (name == switches::kPaired || name == switches::kRefusesPairing ||
        name == switches::kHasAfc2 || name == switches::kPasscodeLocked)
        return SwitchType::Flag;
    return std::nullopt;
}

bool Fail(std::string& error, std::string message) {
    error = std::move(message);
    return false;
}

// The node for a value of the switch's type, or null with `error`.
plist_t SwitchNode(const std::string& name, SwitchType type, const SwitchValue& value,
                   std::string& error) {
    switch (type) {
        case SwitchType::Flag:
            if (const bool* flag = std::get_if<bool>(&value)) return plist_new_bool(*flag ? 1 : 0);
            error = "the switch " + name + " takes a boolean";
            return nullptr;
        case SwitchType::Count:
            if (const int64_t* count = std::get_if<int64_t>(&value); count && *count >= 0)
                return plist_new_uint(static_cast<uint64_t>(*count));
            error = "the switch " + name + " takes a byte count of 0 or more";
            return nullptr;
        case SwitchType::Interface:
            if (const std::string* text = std::get_if<std::string>(&value);
                text && (*text == "USB" || *text == "Network"))
                return plist_new_string(text->c_str());
            error = "the switch " + name + " takes \"USB\" or \"Network\"";
            return nullptr;
    }
    return nullptr;
}

}  // namespace

bool SetSimulatorSwitch(const std::string& folder, const std::string& name,
                        const SwitchValue& value, std::string& error) {
    const std::optional<SwitchType> type = TypeOfSwitch(name);
    if (!type) return Fail(error, "unknown switch \"" + name + "\"");
    const PlistTree values = ReadDevicePlist(folder, error);
    if (values == nullptr) return false;
    const plist_t simulator = plist_dict_get_item(values.get(), kSimulatorKey);
    if (simulator == nullptr || plist_get_node_type(simulator) != PLIST_DICT)
        return Fail(error, folder + " is not a device image");

    const plist_t node = SwitchNode(name, *type, value, error);
    if (node == nullptr) return false;
    plist_dict_set_item(simulator, name.c_str(), node);
    // A locked phone says so in its lockdown values too.
    if (name == switches::kPasscodeLocked) {
        plist_dict_set_item(values.get(), "PasswordProtected",
                            plist_new_bool(std::get<bool>(value) ? 1 : 0));
    }
    return WriteDevicePlist(folder, values.get(), std::nullopt, error);
}

}  // namespace bw::sim
