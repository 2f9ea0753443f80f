// Exported device information and restart. Nothing is thrown across the export.
#include <string>

#include "brackwater/device_info.h"
#include "device/app_info.h"
#include "device/connect_listener.h"
#include "device/device_info.h"
#include "device/device_utilities.h"
#include "exports/host_text.h"
#include "platform/text.h"

extern "C" {

BRACKWATER_API IDeviceInfo* CDeviceInfoNew(CIPhone* device) {
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr) return nullptr;
        return new bw::CDeviceInfo(phone);
    } catch (...) {
        return nullptr;
    }
}

BRACKWATER_API void CDeviceInfoDelete(IDeviceInfo* info) {
    delete info;
}

BRACKWATER_API void RestartDevice(CIPhone* device) {
    try {
        bw::RestartDevice(bw::FromHost(device));
    } catch (...) {
    }
}

BRACKWATER_API size_t BrackwaterDeviceInfoValue(IDeviceInfo* info, const BwChar* key,
                                                BwChar* buffer) {
    bw::exports::ClearLastError();
    try {
        auto* object = static_cast<bw::CDeviceInfo*>(info);
        if (object == nullptr || object->phone == nullptr || key == nullptr) return 0;
        const std::optional<std::string> value =
            object->phone->CachedValue(bw::WideToUtf8(std::u16string_view(key)));
        if (!value) return 0;
        return bw::CopyTwoCallText(*value, buffer);
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
