// Web mail: the offline copies of messages that two mail sites keep in the browser's web
// databases. The browser's database index ("WebKit/Databases/Databases.db") names each site's
// database; the two site formats are read into one mail model per site, and the selected
// messages are removed from the deep clean's working copies.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "brackwater/privacy.h"
#include "formats/sqlite_table.h"
#include "scanner/device_junk.h"
#include "scanner/scan_records.h"

namespace bw {

class CConfigureTool;

enum class MailSite { kFirst, kSecond };  // origins naming "yahoo", and "google"

class CMailMessage : public IMailMessage {
  public:
    size_t GetMessageId(BwChar* buffer) override { return CopyTextOut(messageId, buffer); }
    size_t GetGroupId(BwChar* buffer) override { return CopyTextOut(groupId, buffer); }
    size_t GetSubject(BwChar* buffer) override { return CopyTextOut(subject, buffer); }
    size_t GetSender(BwChar* buffer) override { return CopyTextOut(sender, buffer); }
    size_t GetRecipients(BwChar* buffer) override { return CopyTextOut(recipients, buffer); }
    int64_t GetReceivedTime() override { return receivedTime; }
    size_t GetReceivedDateText(BwChar* buffer) override { return CopyTextOut(dateText, buffer); }
    unsigned char Select(unsigned char toggle) override;

    std::u16string messageId;
    std::u16string groupId;
    std::u16string subject;
    std::u16string sender;
    std::u16string recipients;
    int64_t receivedTime = 0;
    std::u16string dateText;
    uint8_t selected = 1;
    SqlValue storedId;  // the identifier as the database holds it, to bind back
};

class CMailModel : public IMailModel {
  public:
    size_t GetOrigin(BwChar* buffer) override { return CopyTextOut(origin, buffer); }
    size_t GetPath(BwChar* buffer) override { return CopyTextOut(path, buffer); }
    int32_t GetMessageCount() override { return static_cast<int32_t>(messages.size()); }
    IMailMessage* GetMessage(int32_t index) override;
    unsigned char Select(unsigned char toggle) override;

    std::u16string origin;
    std::u16string path;
    MailSite site = MailSite::kFirst;
    uint8_t selected = 1;
    uint32_t total = 0;  // the count the database gave before its rows were read
    std::vector<std::unique_ptr<CMailMessage>> messages;
    std::string workingCopy;
};

// One row of the database index that names a mail site's database.
struct MailDatabaseEntry {
    MailSite site;
    std::string origin;
    std::string path;  // the file name below the origin's folder
};

// The database index: the first database of each of the two sites, the first site's first.
class CWebMailDataBase {
  public:
    static std::vector<MailDatabaseEntry> FindMailDatabases(const std::string& indexPath);
};

// The readers of the two site formats. ReadMessages fills `model` from the database at
// `model.workingCopy`, with dates moved by `offsetSeconds`; DeleteMessages removes the selected
// messages (all of a selected model) and returns how many it removed.
class CMailSiteDB {
  public:
    virtual ~CMailSiteDB() = default;
    void ReadMessages(CMailModel& model, int64_t offsetSeconds, CDeviceJunk* owner) const;
    size_t DeleteMessages(const CMailModel& model) const;

  protected:
    virtual const char* CountQuery() const = 0;
    virtual const char* MessagesQuery() const = 0;
    virtual const char* DeletePrefix() const = 0;
    virtual std::unique_ptr<CMailMessage> MakeMessage(const TableRow& row,
                                                      int64_t offsetSeconds) const = 0;
};

class CYahooMailDB : public CMailSiteDB {
  protected:
    const char* CountQuery() const override;
    const char* MessagesQuery() const override;
    const char* DeletePrefix() const override;
    std::unique_ptr<CMailMessage> MakeMessage(const TableRow& row,
                                              int64_t offsetSeconds) const override;
};

class CGMailDB : public CMailSiteDB {
  protected:
    const char* CountQuery() const override;
    const char* MessagesQuery() const override;
    const char* DeletePrefix() const override;
    std::unique_ptr<CMailMessage> MakeMessage(const TableRow& row,
                                              int64_t offsetSeconds) const override;
};

const CMailSiteDB& MailSiteReader(MailSite site);

// "%Y-%m-%d %H:%M:%S" of Unix seconds moved by the offset; empty for a time never set.
std::u16string MailDateText(int64_t unixSeconds, int64_t offsetSeconds);

class CWebEmailHistory {
  public:
    CWebEmailHistory(std::string indexPath, std::string udid, int64_t offsetSeconds,
                     CDeviceJunk* owner, CConfigureTool* configuration);
    CWebEmailHistory(const CWebEmailHistory&) = delete;
    CWebEmailHistory& operator=(const CWebEmailHistory&) = delete;
    virtual ~CWebEmailHistory() = default;

    void SearchMailDatabases();
    void DeleteSelected();
    void ResetCounters() { processed_ = total_ = 0; }

    const std::vector<CMailModel*>& Models() const { return models_; }
    size_t MessageCount() const;
    const std::string& Udid() const { return udid_; }

  private:
    std::string WorkingCopyOf(const MailDatabaseEntry& entry) const;

    std::string indexPath_;
    std::string udid_;
    int64_t offsetSeconds_;
    uint32_t processed_ = 0;
    uint32_t total_ = 0;
    std::vector<CMailModel*> models_;  // owned by the owner's result list
    CDeviceJunk* owner_;
    CConfigureTool* configuration_;
};

class CWebEmailJunk : public CDeviceJunk {
  public:
    void Scan(CIPhone* device) override;
    void Clean() override;

    CWebEmailHistory* History() const { return history_.get(); }
    // Tests set up a configuration of their own; null uses the process-wide one.
    CConfigureTool* configuration = nullptr;

  private:
    CConfigureTool& Configuration();

    std::unique_ptr<CWebEmailHistory> history_;
};

}  // namespace bw
