// Exported device functions: the connection listener, device values and the file service. Every
// CIPhone pointer from the host is checked against the objects this process made; nothing is
// thrown across these functions.
#include <string>
#include <vector>

#include "brackwater/device.h"
#include "device/connect_listener.h"
#include "device/iphone.h"
#include "exports/host_text.h"
#include "platform/text.h"

namespace {

std::string Utf8(const BwChar* text) {
    if (text == nullptr) return {};
    return bw::WideToUtf8(std::u16string_view(text));
}

void FillInfo(const bw::DeviceFileInfo& from, BwDeviceFileInfo* to) {
    to->size = from.size;
    to->modifiedTime = from.modifiedTime;
    to->birthTime = from.birthTime;
    to->fileType = from.fileType;
    to->reserved = 0;
}

// The text of the last value measured on this thread (the call with a null buffer), so that the
// call with the buffer copies exactly what the host made room for, even if the device's value
// changed in between.
struct MeasuredValue {
    bw::CIPhone* device = nullptr;
    std::string domain;
    std::string key;
    std::u16string text;
};
thread_local MeasuredValue gMeasured;

}  // namespace

extern "C" {

BRACKWATER_API IConnectListener* ConnectListenerNew(unsigned char openFullFileSystemTwin,
                                                    unsigned char acceptNetworkDevices) {
    try {
        return bw::NewConnectListener(openFullFileSystemTwin != 0, acceptNetworkDevices != 0);
    } catch (...) {
        return nullptr;
    }
}

BRACKWATER_API void ConnectListenerDelete(void) {
    try {
        bw::DeleteConnectListener();
    } catch (...) {
    }
}

BRACKWATER_API void* GetDeviceHandle(CIPhone* device) {
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        return phone != nullptr ? static_cast<void*>(phone->device) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

BRACKWATER_API size_t BrackwaterDeviceValue(CIPhone* device, const BwChar* domain,
                                            const BwChar* key, BwChar* buffer) {
    bw::exports::ClearLastError();
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr || key == nullptr) return 0;
        const std::string domainText = Utf8(domain);
        const std::string keyText = Utf8(key);
        const bool measured =
            gMeasured.device == phone && gMeasured.domain == domainText && gMeasured.key == keyText;
        std::u16string text = measured
                                  ? gMeasured.text
                                  : bw::Utf8ToWide(phone->ReadDeviceValueText(domainText, keyText));
        if (buffer == nullptr) {
            if (text.empty()) return 0;
            gMeasured = MeasuredValue{phone, domainText, keyText, text};
            return text.size() + 2;
        }
        gMeasured = MeasuredValue{};
        const size_t size = bw::exports::CopyHostText(std::u16string_view(text), buffer);
        return text.empty() ? 0 : size;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API int BrackwaterDeviceInterfaceType(CIPhone* device) {
    bw::exports::ClearLastError();
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        return phone != nullptr ? phone->interfaceType : 0;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API CIPhone* BrackwaterDeviceFullFileSystem(CIPhone* device) {
    bw::exports::ClearLastError();
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        return phone != nullptr ? bw::ToHost(phone->fullFileSystemTwin) : nullptr;
    } catch (...) {
        return nullptr;
    }
}

BRACKWATER_API int BrackwaterDeviceFileInfo(CIPhone* device, const BwChar* path,
                                            BwDeviceFileInfo* info) {
    bw::exports::ClearLastError();
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr || path == nullptr || info == nullptr) return 0;
        bw::DeviceFileInfo read;
        if (!phone->GetFileInfo(phone->afcConnection, phone->MakeDevicePath(Utf8(path)), read)) {
            return 0;
        }
        FillInfo(read, info);
        return 1;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API int BrackwaterDeviceListDirectory(CIPhone* device, const BwChar* path, int withInfo,
                                                 BwDirectoryEntry entry, void* context) {
    bw::exports::ClearLastError();
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr || path == nullptr || entry == nullptr) return 0;
        if (withInfo == 0) {
            std::vector<std::string> names;
            if (!phone->ListDirectory(Utf8(path), names)) return 0;
            for (const std::string& name : names)
                entry(context, bw::Utf8ToWide(name).c_str(), nullptr);
            return 1;
        }
        std::vector<bw::DeviceFileInfo> entries;
        if (!phone->ListDirectoryInfo(Utf8(path), entries)) return 0;
        for (const bw::DeviceFileInfo& read : entries) {
            BwDeviceFileInfo info{};
            FillInfo(read, &info);
            entry(context, bw::Utf8ToWide(read.name).c_str(), read.infoRead ? &info : nullptr);
        }
        return 1;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API int BrackwaterDeviceCopyFromDevice(CIPhone* device, const BwChar* devicePath,
                                                  const BwChar* hostPath) {
    bw::exports::ClearLastError();
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr || devicePath == nullptr || hostPath == nullptr) return 0;
        return phone->CopyFileFromDevice(Utf8(devicePath), Utf8(hostPath)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API int BrackwaterDeviceCopyToDevice(CIPhone* device, const BwChar* hostPath,
                                                const BwChar* devicePath) {
    bw::exports::ClearLastError();
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr || devicePath == nullptr || hostPath == nullptr) return 0;
        return phone->CopyFileToDevice(Utf8(hostPath), Utf8(devicePath)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API void BrackwaterDeviceCancelCopy(CIPhone* device) {
    bw::exports::ClearLastError();
    try {
        if (bw::CIPhone* phone = bw::FromHost(device)) phone->CancelCopy();
    } catch (...) {
    }
}

BRACKWATER_API int BrackwaterDeviceRemove(CIPhone* device, const BwChar* path, int recursive) {
    bw::exports::ClearLastError();
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr || path == nullptr) return 0;
        const std::string target = Utf8(path);
        // The service's root cannot be removed, so a recursive removal of it would empty the
        // whole area and then report a failure; it is refused before anything changes.
        if (phone->MakeDevicePath(target) == phone->MakeDevicePath("")) return 0;
        return (recursive != 0 ? phone->RemoveTree(target) : phone->RemovePath(target)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API int BrackwaterDeviceMakeDirectory(CIPhone* device, const BwChar* path) {
    bw::exports::ClearLastError();
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr || path == nullptr) return 0;
        return phone->MakeDirectory(Utf8(path)) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
