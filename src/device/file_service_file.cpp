#include "device/iphone_file.h"
#include "device/iphone_operation.h"

#include "device/runtime.h"

namespace bw {

CiPhoneFile::CiPhoneFile(rt::AFCConnectionRef afc, std::string filePath, int32_t openMode)
    : path(std::move(filePath)), mode(openMode), connection(afc) {
    if (!RuntimeLoaded() || connection == nullptr) return;
    status = Runtime().AFCFileRefOpen(connection, path.c_str(), static_cast<uint64_t>(mode), &file);
    if (status != 0) file = 0;
}

void CiPhoneFile::Close() {
    if (file == 0) return;
    Runtime().AFCFileRefClose(connection, file);
    file = 0;
}

int64_t CiPhoneFile::Read(void* buffer, size_t size) {
    if (file == 0 || buffer == nullptr) return -1;
    size_t length = size;
    if (Runtime().AFCFileRefRead(connection, file, buffer, &length) != 0) return -1;
    // More than was asked for can only be a broken answer; the buffer holds no more.
    if (length > size) return -1;
    return static_cast<int64_t>(length);
}

bool CiPhoneFile::Write(const void* buffer, size_t size) {
    if (file == 0 || (buffer == nullptr && size > 0)) return false;
    return Runtime().AFCFileRefWrite(connection, file, buffer, size) == 0;
}

bool CiPhoneFile::Stat(DeviceFileInfo& info) {
    return ReadDeviceFileInfo(connection, path, info);
}

uint64_t CiPhoneFile::Size() {
    DeviceFileInfo info;
    Stat(info);
    return info.size;
}

bool ReadWholeDeviceFile(CIPhone& phone, const std::string& devicePath, uint64_t maxBytes,
                         std::string& bytes) {
    bytes.clear();
    DeviceOperation operation(phone);
    if (!operation || phone.afcConnection == nullptr) return false;
    const std::string path = phone.MakeDevicePath(devicePath);
    DeviceFileInfo info;
    if (!phone.GetFileInfo(phone.afcConnection, path, info) || info.fileType == kDeviceFolder ||
        info.size > maxBytes) {
        return false;
    }
    CiPhoneFile file(phone.afcConnection, path, static_cast<int32_t>(rt::kAfcModeRead));
    if (file.status != 0) {
        file.Close();
        return false;
    }
    std::string buffer(static_cast<size_t>(info.size), '\0');
    size_t filled = 0;
    while (filled < buffer.size()) {
        const int64_t count = file.Read(buffer.data() + filled, buffer.size() - filled);
        if (count <= 0) break;
        filled += static_cast<size_t>(count);
    }
    file.Close();
    if (filled != buffer.size()) return false;
    bytes = std::move(buffer);
    return true;
}

}  // namespace bw
