// Exported deep-clean functions over the process-wide configuration object. Nothing is thrown
// across these functions.
#include <string>

#include "backup/configure_tool.h"
#include "brackwater/deepclean.h"
#include "device/connect_listener.h"
#include "platform/text.h"

extern "C" {

BRACKWATER_API unsigned char CreateConfigureToolExIn(CIPhone* device, const BwChar* workPath) {
    try {
        bw::CIPhone* phone = device != nullptr ? bw::FromHost(device) : nullptr;
        const std::string path =
            workPath != nullptr ? bw::WideToUtf8(std::u16string_view(workPath)) : std::string();
        // Earlier working folders are archived, never deleted: the backup preparation does not
        // yet offer its delete-current flag to the library, and keeping them loses nothing.
        return bw::CConfigureTool::Instance().CreateIn(phone, path, false) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API unsigned char CreateBackupInfo(void) {
    try {
        return bw::CConfigureTool::Instance().WriteBackupInfo() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

BRACKWATER_API unsigned char DeepCleanComplete(void) {
    try {
        return bw::CConfigureTool::Instance().Complete() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
