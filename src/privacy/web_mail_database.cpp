// The database index and the two mail-site formats.
#include <algorithm>
#include <cctype>

#include "device/host_utils.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "privacy/web_cells.h"
#include "privacy/web_mail.h"

namespace bw {
namespace {

using web::Integer;
using web::Text;

constexpr char kSelectMailDatabases[] = "SELECT * FROM Databases WHERE origin like '%mail.%'";
// Columns of the index's "Databases" table: guid, origin, name, displayName, estimatedSize, path.
constexpr size_t kOriginColumn = 1;
constexpr size_t kPathColumn = 5;

}  // namespace

std::u16string MailDateText(int64_t unixSeconds, int64_t offsetSeconds) {
    if (unixSeconds == 0) return {};
    return Utf8ToWide(FormatDateTime(platform::UtcCalendar(unixSeconds + offsetSeconds)));
}

std::vector<MailDatabaseEntry> CWebMailDataBase::FindMailDatabases(const std::string& indexPath) {
    std::vector<MailDatabaseEntry> found;
    if (!platform::IsFile(indexPath) || !OpenDatabase(indexPath)) return found;
    CTable rows;
    if (TableExists("Databases") && QueryToTable(kSelectMailDatabases)) rows = CopyResultTable();
    CloseDatabase();
    bool first = false;
    bool second = false;
    for (const TableRow& row : rows.rows) {
        const std::string origin = Text(row, kOriginColumn);
        const std::string lower = AsciiLower(origin);
        if (!first && lower.find("yahoo") != std::string::npos) {
            first = true;
            found.push_back({MailSite::kFirst, origin, Text(row, kPathColumn)});
        } else if (!second && lower.find("google") != std::string::npos) {
            second = true;
            found.push_back({MailSite::kSecond, origin, Text(row, kPathColumn)});
        }
        if (first && second) break;
    }
    // The first site's model comes first, whichever row the index listed first.
    std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return a.site == MailSite::kFirst && b.site != MailSite::kFirst;
    });
    return found;
}

void CMailSiteDB::ReadMessages(CMailModel& model, int64_t offsetSeconds, CDeviceJunk* owner) const {
    if (!platform::IsFile(model.workingCopy) || !OpenDatabase(model.workingCopy)) return;
    if (QueryToTable(CountQuery())) {
        TableRow row;
        if (GetTableRow(CopyResultTable(), 0, row)) {
            model.total = static_cast<uint32_t>(std::max<int64_t>(0, Integer(row, 0)));
        }
    }
    CTable rows;
    if (QueryToTable(MessagesQuery())) rows = CopyResultTable();
    CloseDatabase();
    uint32_t processed = 0;
    for (const TableRow& row : rows.rows) {
        if (owner != nullptr && owner->StopRequested()) break;
        model.messages.push_back(MakeMessage(row, offsetSeconds));
        ++processed;
        if (owner != nullptr) {
            owner->AdjustSelection(1, 0, true);
            owner->PublishProgress(processed, std::max(model.total, processed));
        }
    }
}

size_t CMailSiteDB::DeleteMessages(const CMailModel& model) const {
    std::vector<SqlValue> ids;
    for (const auto& message : model.messages) {
        if (model.selected != 0 || message->selected != 0) ids.push_back(message->storedId);
    }
    if (ids.empty() || !platform::IsFile(model.workingCopy) || !OpenDatabase(model.workingCopy)) {
        return 0;
    }
    const bool deleted = web::ExecuteInChunks(DeletePrefix(), ids);
    CloseDatabase();
    return deleted ? ids.size() : 0;
}

namespace {

// The first five columns, the same for both sites: the message's id (text or number), its folder
// or conversation, subject, sender and recipients.
std::unique_ptr<CMailMessage> MessageFromSharedColumns(const TableRow& row) {
    auto message = std::make_unique<CMailMessage>();
    message->storedId = web::Bindable(row, 0);
    message->messageId = web::WideText(row, 0);
    if (message->messageId.empty())
        message->messageId = Utf8ToWide(std::to_string(Integer(row, 0)));
    message->groupId = web::WideText(row, 1);
    if (message->groupId.empty()) message->groupId = Utf8ToWide(std::to_string(Integer(row, 1)));
    message->subject = web::WideText(row, 2);
    message->sender = web::WideText(row, 3);
    message->recipients = web::WideText(row, 4);
    return message;
}

}  // namespace

const char* CYahooMailDB::CountQuery() const {
    return "SELECT Count(mid) FROM message";
}
const char* CYahooMailDB::MessagesQuery() const {
    return "SELECT mid,fid,subject,fromEmail,toEmail,xapparentlyto,receivedDate FROM message";
}
const char* CYahooMailDB::DeletePrefix() const {
    return "DELETE FROM message WHERE mid IN ";
}

// The site keeps the received date in Unix seconds; the recipients are the "To" addresses, or
// the address the message was delivered to when it names none.
std::unique_ptr<CMailMessage> CYahooMailDB::MakeMessage(const TableRow& row,
                                                        int64_t offsetSeconds) const {
    std::unique_ptr<CMailMessage> message = MessageFromSharedColumns(row);
    if (message->recipients.empty()) message->recipients = web::WideText(row, 5);
    message->receivedTime = Integer(row, 6);
    message->dateText = MailDateText(message->receivedTime, offsetSeconds);
    return message;
}

const char* CGMailDB::CountQuery() const {
    return "SELECT  Count(messageId) FROM cached_messages";
}
const char* CGMailDB::MessagesQuery() const {
    return "SELECT  messageId,conversationid,subject,address_from,address_to,receivedDateMs,"
           "localUpdate FROM cached_messages";
}
const char* CGMailDB::DeletePrefix() const {
    return "DELETE FROM cached_messages WHERE messageId IN ";
}

// The site keeps the received date in Unix milliseconds.
std::unique_ptr<CMailMessage> CGMailDB::MakeMessage(const TableRow& row,
                                                    int64_t offsetSeconds) const {
    std::unique_ptr<CMailMessage> message = MessageFromSharedColumns(row);
    message->receivedTime = Integer(row, 5) / 1000;
    message->dateText = MailDateText(message->receivedTime, offsetSeconds);
    return message;
}

const CMailSiteDB& MailSiteReader(MailSite site) {
    static const CYahooMailDB first;
    static const CGMailDB second;
    if (site == MailSite::kFirst) return first;
    return second;
}

}  // namespace bw
