// The notifications the device keeps for each application: one push store per application
// ("<bundle identifier>.pushstore", a keyed archive of an array of notifications), listed with
// its messages; the clean has the configuration delete the selected stores from the backup.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "brackwater/privacy.h"
#include "formats/plist_library.h"
#include "scanner/device_junk.h"
#include "scanner/scan_records.h"

namespace bw {

inline constexpr char kPushStoreExtension[] = ".pushstore";

// "%Y-%m-%d %H:%M:%S" of 2001-01-01 00:00:00 local time plus `seconds`.
std::u16string ReferenceDateText(double seconds);

class CPushMessageModel : public IPushMessageModel {
  public:
    double GetCreationTime() override { return creationTime; }
    size_t GetDateText(BwChar* buffer) override { return CopyTextOut(dateText, buffer); }
    size_t GetMessageText(BwChar* buffer) override { return CopyTextOut(message, buffer); }

    double creationTime = 0.0;
    std::u16string dateText;
    std::u16string message;
};

class CAppPushStoreModel : public IAppPushStoreModel {
  public:
    size_t GetIconData(unsigned char* buffer) override;
    size_t GetDisplayName(BwChar* buffer) override { return CopyTextOut(displayName, buffer); }
    size_t GetBundleIdentifier(BwChar* buffer) override {
        return CopyTextOut(bundleIdentifier, buffer);
    }
    size_t GetFilePath(BwChar* buffer) override { return CopyTextOut(filePath, buffer); }
    uint64_t GetFileSize() override { return fileSize; }
    unsigned char Select(unsigned char toggle) override;
    int32_t GetMessageCount() override { return static_cast<int32_t>(messages.size()); }
    IPushMessageModel* GetMessage(int32_t index) override;

    std::string iconData;
    std::u16string displayName;
    std::u16string bundleIdentifier;
    std::u16string filePath;
    std::string path;  // the working copy, UTF-8
    uint64_t fileSize = 0;
    uint8_t selected = 1;
    std::vector<std::unique_ptr<CPushMessageModel>> messages;
};

// Fills `store` from the bytes of its file: the messages, and the display name from their titles.
// False when the archive decodes to nothing, which leaves the store out of the list.
bool ReadPushStore(const std::string& bytes, CAppPushStoreModel& store);

class CPushStoreManage {
  public:
    // `owner` receives the stores in its result list and the counts in its status record.
    CPushStoreManage(std::vector<std::string> paths, CIPhone* device, CDeviceJunk* owner);
    CPushStoreManage(const CPushStoreManage&) = delete;
    CPushStoreManage& operator=(const CPushStoreManage&) = delete;

    void ReadStores();
    // Adds a delete entry to the configuration for each selected store.
    void DeleteSelected();

    const std::vector<CAppPushStoreModel*>& Stores() const { return stores_; }

  private:
    std::vector<std::string> paths_;
    CIPhone* device_;
    uint32_t processed_ = 0;
    uint32_t total_ = 0;
    std::vector<CAppPushStoreModel*> stores_;  // owned by the owner's result list
    CDeviceJunk* owner_;
};

class CAppNotificationJunk : public CDeviceJunk {
  public:
    void Scan(CIPhone* device) override;
    void Clean() override;
    // The worker reads the scanner's own stop flag, which the inherited Stop leaves to the
    // session: nothing of the worker is touched from the stopping thread.

    CPushStoreManage* Manage() const { return manage_.get(); }

  private:
    std::unique_ptr<CPushStoreManage> manage_;
};

}  // namespace bw
