// CiPhoneFile, one open file on the device, and the file-information read it shares with CIPhone.
#pragma once

#include <cstdint>
#include <string>

#include "device/iphone.h"
#include "device/runtime_types.h"

namespace bw {

// AFCFileInfoOpen of the path and its key-value pairs in `info`. `path` and `name` are filled in
// any case; true when the device answered.
bool ReadDeviceFileInfo(rt::AFCConnectionRef connection, const std::string& devicePath,
                        DeviceFileInfo& info);

// Reads a whole device file (relative to the object's root) over its file service into one
// buffer of the file's size; false when it is a folder, larger than `maxBytes`, or does not
// arrive whole. AFC may hand a file over in several pieces; a file that ends early gives nothing
// rather than a part.
bool ReadWholeDeviceFile(CIPhone& phone, const std::string& devicePath, uint64_t maxBytes,
                         std::string& bytes);

class CiPhoneFile {
  public:
    // Opens the file (mode rt::kAfcMode...); `status` is the runtime's answer, 0 = open.
    CiPhoneFile(rt::AFCConnectionRef connection, std::string path, int32_t mode);
    // Does not close: the connection may be gone by then. Callers call Close.
    virtual ~CiPhoneFile() = default;
    CiPhoneFile(const CiPhoneFile&) = delete;
    CiPhoneFile& operator=(const CiPhoneFile&) = delete;

    void Close();
    // Bytes read; 0 at the end of the file, -1 when the device reports an error.
    int64_t Read(void* buffer, size_t size);
    bool Write(const void* buffer, size_t size);
    bool Stat(DeviceFileInfo& info);
    uint64_t Size();

    rt::AFCFileRef file = 0;
    std::string path;
    int32_t mode = 0;
    int32_t status = -1;
    rt::AFCConnectionRef connection = nullptr;
};

}  // namespace bw
