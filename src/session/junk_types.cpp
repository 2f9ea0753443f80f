// The junk-type table: the one place where scanners are registered. A type without a row (the
// private-data types whose scanners are not part of this build yet, and every number outside 0 to
// 18) creates no scanner.
#include "privacy/app_notification_junk.h"
#include "privacy/app_remain_junk.h"
#include "privacy/call_history_junk.h"
#include "privacy/running_app_junk.h"
#include "privacy/safari_cookie_junk.h"
#include "privacy/sms_junk.h"
#include "privacy/surplus_files_junk.h"
#include "privacy/suspend_page_junk.h"
#include "privacy/web_app_cache.h"
#include "privacy/web_history_junk.h"
#include "privacy/web_mail.h"
#include "scan/app_sandbox_junk.h"
#include "scan/media_junk.h"
#include "scan/radio_junk.h"
#include "session/scan_device.h"

namespace bw {

namespace {

using ScannerFactory = std::unique_ptr<CDeviceJunk> (*)(const std::vector<std::u16string>&);

struct JunkTypeRow {
    int32_t type;
    ScannerFactory create;
};

template <class Scanner>
std::unique_ptr<CDeviceJunk> Make(const std::vector<std::u16string>&) {
    return std::make_unique<Scanner>();
}

// The sandbox scanners leave out the applications of the session's list.
template <class Scanner>
std::unique_ptr<CDeviceJunk> MakeSandbox(const std::vector<std::u16string>& applications) {
    auto scanner = std::make_unique<Scanner>();
    scanner->excludedApplications = applications;
    return scanner;
}

constexpr JunkTypeRow kJunkTypes[] = {
    {0, &MakeSandbox<CAppCachesJunk>}, {1, &MakeSandbox<CAppCookiesJunk>},
    {2, &MakeSandbox<CAppTempJunk>},   {3, &Make<CCrashLogJunk>},
    {4, &Make<CDownloadsTempJunk>},    {5, &Make<CPhotosJunk>},
    {6, &Make<CStorageJunk>},          {7, &Make<CRadioTempJunk>},
    {8, &Make<CCallHistoryJunk>},      {9, &Make<CDeviceSMSJunk>},
    {10, &Make<CSuspendPageJunk>},     {11, &Make<CSafariCookieJunk>},
    {12, &Make<CWebHistoryJunk>},      {13, &Make<CWebAppCookieJunk>},
    {14, &Make<CWebEmailJunk>},        {15, &Make<CRunningAppJunk>},
    {16, &Make<CAppNotificationJunk>}, {17, &Make<CAppRemainFilesJunk>},
    {18, &Make<CSurplusFilesJunk>},
};

}  // namespace

std::unique_ptr<CDeviceJunk> CreateJunkScanner(int32_t type,
                                               const std::vector<std::u16string>& applications) {
    for (const JunkTypeRow& row : kJunkTypes) {
        if (row.type == type && row.create != nullptr) return row.create(applications);
    }
    return nullptr;
}

}  // namespace bw
