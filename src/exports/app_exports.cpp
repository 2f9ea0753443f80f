// Exported application listing: the installed user applications of a device as IAppInfo records
// that the library owns. Nothing is thrown across the export.
#include <algorithm>
#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "brackwater/apps.h"
#include "device/app_info.h"
#include "device/app_install_proxy.h"
#include "device/connect_listener.h"
#include "exports/host_text.h"

namespace {

using Records = std::vector<std::unique_ptr<bw::CAppInfoModel>>;

// Records are never freed while the process runs, so a pointer the host still holds never dangles:
// the current records of each device are handed out again while its applications stay the same
// (and keep their selection); records replaced by a changed listing are kept aside.
struct RecordStore {
    std::mutex mutex;
    std::map<std::string, Records> byDevice;
    std::vector<Records> replaced;
};

RecordStore& TheRecordStore() {
    static RecordStore* store = new RecordStore;
    return *store;
}

bool SameApplications(const Records& records,
                      const std::vector<bw::InstalledApplication>& applications) {
    return std::equal(records.begin(), records.end(), applications.begin(), applications.end(),
                      [](const std::unique_ptr<bw::CAppInfoModel>& record,
                         const bw::InstalledApplication& application) {
                          return record->bundleIdentifier == application.bundleIdentifier &&
                                 record->name == application.name &&
                                 record->iconData == application.iconData;
                      });
}

}  // namespace

extern "C" {

BRACKWATER_API int BrackwaterDeviceApplications(CIPhone* device, IAppInfo** records, int capacity) {
    bw::exports::ClearLastError();
    try {
        bw::CIPhone* phone = bw::FromHost(device);
        if (phone == nullptr) return 0;
        const std::vector<bw::InstalledApplication> applications =
            bw::ListInstalledApplications(*phone);

        RecordStore& store = TheRecordStore();
        std::lock_guard<std::mutex> lock(store.mutex);
        Records& current = store.byDevice[phone->udid];
        if (!SameApplications(current, applications)) {
            if (!current.empty()) store.replaced.push_back(std::move(current));
            current.clear();
            for (const bw::InstalledApplication& application : applications) {
                current.push_back(std::make_unique<bw::CAppInfoModel>(
                    application.iconData, application.name, application.bundleIdentifier));
            }
        }
        const int count = static_cast<int>(std::min<size_t>(current.size(), INT_MAX));
        if (records != nullptr && capacity > 0) {
            const int written = std::min(count, capacity);
            for (int i = 0; i < written; ++i)
                records[i] = current[static_cast<size_t>(i)].get();
        }
        return count;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
