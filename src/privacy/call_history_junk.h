// The calls of a backup's call history, grouped by the name of the contact behind each call, and
// the deletion of the selected calls from the working copy that the deep clean writes back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "brackwater/privacy.h"
#include "privacy/contact_manage.h"
#include "scanner/device_junk.h"
#include "scanner/scan_records.h"

namespace bw {

// 1 to 8 from the call's flags (only their low 16 bits) and duration; 0 for any other flags.
int32_t CallTypeOf(int32_t flags, int32_t duration);

class CCallHistoryModel : public ICallHistoryModel {
  public:
    size_t GetAddress(BwChar* buffer) override { return CopyTextOut(address, buffer); }
    int32_t GetCallType() override { return callType; }
    int32_t GetAddressBookId() override { return addressBookId; }
    double GetDate() override { return date; }
    int32_t GetDuration() override { return duration; }
    int32_t GetFlags() override { return flags; }
    unsigned char Select(unsigned char toggle) override;
    int32_t GetRowId() override { return rowId; }

    std::u16string address;
    int32_t callType = 0;
    int32_t addressBookId = -1;
    double date = 0.0;
    int32_t duration = 0;
    int32_t flags = 0;
    uint8_t selected = 1;
    int32_t rowId = 0;
};

class CCallContactModel : public ICallContactModel {
  public:
    int32_t GetCallCount() override { return static_cast<int32_t>(calls.size()); }
    ICallHistoryModel* GetCall(int32_t index) override;
    size_t GetContactName(BwChar* buffer) override { return CopyTextOut(name, buffer); }
    unsigned char Select(unsigned char toggle) override;
    int32_t GetSequenceNumber() override { return sequence; }

    std::u16string name;
    int32_t sequence = 0;
    uint8_t selected = 1;
    std::vector<std::unique_ptr<CCallHistoryModel>> calls;
};

class CCallHistoryManage {
  public:
    // `owner` receives the groups in its result list 3 and the counts in its status record.
    CCallHistoryManage(std::string databasePath, std::string addressBookPath, CDeviceJunk* owner);
    CCallHistoryManage(const CCallHistoryManage&) = delete;
    CCallHistoryManage& operator=(const CCallHistoryManage&) = delete;
    virtual ~CCallHistoryManage() = default;

    // Reads the contacts, then the calls into groups by contact name.
    void LoadCalls();
    // Deletes the calls of every selected group and the selected calls of the others.
    void DeleteSelected();

    const std::string& DatabasePath() const { return databasePath_; }
    const std::vector<CCallContactModel*>& Groups() const { return groups_; }
    const CContactManage& Contacts() const { return contacts_; }

  private:
    bool Stopped() const { return owner_->StopRequested(); }
    CCallContactModel& GroupFor(const std::u16string& name);

    std::string databasePath_;
    std::string addressBookPath_;
    CContactManage contacts_;
    uint32_t processed_ = 0;
    uint32_t total_ = 0;
    std::vector<CCallContactModel*> groups_;  // owned by the owner's result list 3
    CDeviceJunk* owner_;
};

class CCallHistoryJunk : public CDeviceJunk {
  public:
    void Scan(CIPhone* device) override;
    void Clean() override;

    uint8_t Scanning() const { return scanning_; }
    const std::string& DatabasePath() const { return databasePath_; }
    CCallHistoryManage* Manage() const { return manage_.get(); }

  private:
    uint8_t scanning_ = 0;
    std::string databasePath_;
    std::unique_ptr<CCallHistoryManage> manage_;
};

}  // namespace bw
