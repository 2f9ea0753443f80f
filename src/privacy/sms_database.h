// The backup's message database in its two schemas: iOS 5 (madrid_chat, message,
// madrid_attachment) and iOS 6 and 7 (chat, message, attachment and their join tables). Each
// loads the conversations into the scanner's result list and deletes the selected ones.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

class CConfigureTool;
class CDeviceJunk;
class CMatchAttachmentFile;
class CMessageModel;
class CSMSChatModel;
class ResultList;

// Row ids as an SQL list: decimal numbers separated by "," and closed by ")".
std::string RowIdListClosed(const std::vector<int32_t>& rowIds);

class CSMSDBAbstract {
  public:
    // `owner` shows messages and selection totals; `configure` serves the address book and the
    // backup manifest and takes the attachment files to remove. Both outlive the object.
    CSMSDBAbstract(std::string path, std::string udid, CDeviceJunk* owner,
                   CConfigureTool* configure);
    CSMSDBAbstract(const CSMSDBAbstract&) = delete;
    CSMSDBAbstract& operator=(const CSMSDBAbstract&) = delete;
    virtual ~CSMSDBAbstract();

    // Appends every conversation, with its messages and attachments, to `list`.
    virtual void LoadChats(ResultList& list) = 0;
    // Deletes the selected conversations and messages of `list` (items of this schema's loader).
    virtual void DeleteChats(ResultList& list);
    virtual void DropTriggers() = 0;
    virtual void CreateTriggers() = 0;

    void RequestStop() { stop_.store(1, std::memory_order_relaxed); }
    bool StopRequested() const { return stop_.load(std::memory_order_relaxed) != 0; }
    const std::string& Path() const { return path_; }
    const std::string& Udid() const { return udid_; }
    uint32_t Processed() const { return processed_; }
    uint32_t Total() const { return total_; }

  protected:
    // Deletes the selected messages of one conversation; false when a statement failed.
    virtual bool DeleteMessages(CSMSChatModel& chat) = 0;
    virtual std::string DeleteChatStatement(int32_t rowId) const = 0;
    // Whether a failing statement ends the deletion (and skips the sequence counters).
    virtual bool FailureEndsDeletion() const = 0;
    virtual void UpdateSequenceCounters() = 0;

    // The backup's attachment files, read from its manifest.
    CMatchAttachmentFile MatchAttachments() const;
    // Gives each conversation of `list` its name from the backup's address book.
    void LookUpContacts(ResultList& list, size_t first) const;
    // Hands the backup files of the messages' attachments to the configuration for removal.
    void RemoveAttachmentFiles(const std::vector<CMessageModel*>& messages) const;
    void AddProcessed(uint32_t count);

    std::string path_;
    std::string udid_;
    CDeviceJunk* owner_;
    CConfigureTool* configure_;
    std::atomic<uint8_t> stop_{0};
    uint32_t processed_ = 0;
    uint32_t total_ = 0;
};

class CSMSDataBase_5 : public CSMSDBAbstract {
  public:
    using CSMSDBAbstract::CSMSDBAbstract;
    void LoadChats(ResultList& list) override;
    void DropTriggers() override;
    void CreateTriggers() override;

  protected:
    bool DeleteMessages(CSMSChatModel& chat) override;
    std::string DeleteChatStatement(int32_t rowId) const override;
    bool FailureEndsDeletion() const override { return true; }
    void UpdateSequenceCounters() override;

  private:
    void LoadMessages(CSMSChatModel& chat, const CMatchAttachmentFile& files);
    bool hasMessageTable_ = false;
    bool hasAttachmentTable_ = false;
};

class CSMSDataBase_6 : public CSMSDBAbstract {
  public:
    using CSMSDBAbstract::CSMSDBAbstract;
    void LoadChats(ResultList& list) override;
    void DropTriggers() override;
    void CreateTriggers() override;

  protected:
    bool DeleteMessages(CSMSChatModel& chat) override;
    std::string DeleteChatStatement(int32_t rowId) const override;
    bool FailureEndsDeletion() const override { return false; }
    void UpdateSequenceCounters() override;

  private:
    void LoadMessages(CSMSChatModel& chat, const CMatchAttachmentFile& files);
    void ReadMessagesWithAttachments();
    bool hasAttachmentTable_ = false;
    // Sorted ids of the messages that the attachment join table names at all.
    std::vector<int32_t> messagesWithAttachments_;
};

// The schema for a device's "ProductVersion": its first character "5" gives iOS 5, "6" or "7"
// iOS 6; anything else (a two-digit major version too) gives none.
std::unique_ptr<CSMSDBAbstract> CreateSmsDatabase(std::string_view productVersion, std::string path,
                                                  std::string udid, CDeviceJunk* owner,
                                                  CConfigureTool* configure);

}  // namespace bw
