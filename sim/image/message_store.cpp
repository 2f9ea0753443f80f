#include "message_store.h"

#include <map>

#include "private_data.h"
#include "private_schemas.h"
#include "seeded_random.h"
#include "sqlite_build.h"

namespace bw::sim {
namespace {

constexpr size_t kInfoEarlyStart = 66;
constexpr size_t kInfoLateStart = 103;
constexpr char kOwnAddress[] = "me@icloud.example.com";

// The archive's header bytes before the list: never '$' or '?', which mark the list.
std::string InfoHeader(size_t length) {
    std::string header = "bplist00";
    constexpr std::string_view kFiller = "\xd4\x01\x02\x03\x04\x05\x06\x07X$versionT$top";
    while (header.size() < length) {
        const char c = kFiller[header.size() % kFiller.size()];
        header += c == '$' ? '_' : c;
    }
    return header;
}

SqlValue TextOrNull(const std::string& text) {
    return text.empty() ? SqlValue::Null() : SqlValue::Text(text);
}

std::string DeviceFileName(const MessageAttachment& attachment) {
    return std::string("~/Library/SMS/Attachments/") + attachment.RelativePath();
}

int64_t LastRowid(SqliteBuild& db) {
    return sqlite3_last_insert_rowid(db.handle());
}

void Properties(SqliteBuild& db, const char* version, SeededRandom& random) {
    constexpr char kInsert[] = "INSERT INTO _SqliteDatabaseProperties (key, value) VALUES (?, ?)";
    db.Run(kInsert, {SqlValue::Text("_ClientVersion"), SqlValue::Text(version)});
    db.Run(kInsert, {SqlValue::Text("_UniqueIdentifier"), SqlValue::Text(UpperUuid(random))});
}

// ---- iOS 5: msg_group for SMS, madrid_chat and madrid_* columns for iMessage ----

constexpr char kInsertGroup[] =
    "INSERT INTO msg_group (type, newest_message, unread_count, hash) VALUES (0, 0, 0, ?)";
constexpr char kInsertMember[] =
    "INSERT INTO group_member (group_id, address, country) VALUES (?, ?, 'us')";
constexpr char kInsertSms5[] =
    "INSERT INTO message (address, date, text, flags, replace, group_id, association_id, height, "
    "UIFlags, version, country, read, is_madrid) VALUES (?, ?, ?, ?, 0, ?, 0, 0, 0, 0, 'us', ?, "
    "0)";
constexpr char kInsertMadridChat[] =
    "INSERT INTO madrid_chat (style, state, account_id, chat_identifier, service_name, guid, "
    "room_name, account_login) VALUES (?, 3, ?, ?, 'Madrid', ?, ?, ?)";
constexpr char kInsertMadrid[] =
    "INSERT INTO message (date, text, flags, replace, group_id, association_id, height, UIFlags, "
    "version, read, madrid_handle, madrid_version, madrid_guid, madrid_type, madrid_roomname, "
    "madrid_service, madrid_account, madrid_flags, madrid_attachmentInfo, madrid_error, "
    "is_madrid, madrid_date_read, madrid_date_delivered, madrid_account_guid) VALUES (?, ?, ?, "
    "0, 0, 0, 0, 0, 0, ?, ?, 1, ?, ?, ?, 'Madrid', ?, ?, ?, 0, 1, ?, ?, ?)";
constexpr char kInsertMadridAttachment[] =
    "INSERT INTO madrid_attachment (attachment_guid, created_date, start_date, filename, "
    "uti_type, mime_type, transfer_state, message_id) VALUES (?, ?, ?, ?, ?, ?, 5, ?)";

// Received SMS are 2 once read, 0 while unread; sent ones 3.
int64_t SmsFlags(const Message& message) {
    return message.fromMe ? 3 : message.read ? 2 : 0;
}

void WriteIos5(SqliteBuild& db, const MessageCorpus& corpus, SeededRandom& random) {
    const std::string accountGuid = UpperUuid(random);
    int withoutAttachments = 0, withAttachments = 0;
    for (const Conversation& conversation : corpus.conversations) {
        const bool group = conversation.parties.size() > 1;
        if (!conversation.iMessage) {
            db.Run(kInsertGroup, {SqlValue::Int(static_cast<int64_t>(random.Below(1u << 30)))});
            const int64_t groupId = LastRowid(db);
            for (const Party& party : conversation.parties)
                db.Run(kInsertMember, {SqlValue::Int(groupId), SqlValue::Text(party.address)});
            for (const Message& message : conversation.messages) {
                const int64_t flags = SmsFlags(message);
                db.Run(kInsertSms5, {SqlValue::Text(conversation.parties[0].address),
                                     SqlValue::Int(message.unixDate), SqlValue::Text(message.text),
                                     SqlValue::Int(flags), SqlValue::Int(groupId),
                                     SqlValue::Int(MessageFlagsRead(flags))});
            }
            continue;
        }
        const std::string identifier =
            group ? conversation.roomName : conversation.parties[0].address;
        db.Run(kInsertMadridChat,
               {SqlValue::Int(group ? 43 : 45), SqlValue::Text(accountGuid),
                SqlValue::Text(identifier),
                SqlValue::Text(std::string(group ? "iMessage;+;" : "iMessage;-;") + identifier),
                group ? SqlValue::Text(conversation.roomName) : SqlValue::Null(),
                SqlValue::Text(std::string("E:") + kOwnAddress)});
        for (const Message& message : conversation.messages) {
            SqlValue info = SqlValue::Null();
            if (!message.attachments.empty()) {
                std::vector<std::string> guids;
                for (const MessageAttachment& attachment : message.attachments)
                    guids.push_back(attachment.guid);
                // Both header lengths occur, as archives of different messages differ.
                info = SqlValue::Blob(AttachmentInfoBlob(guids, withAttachments++ % 2 == 1));
            } else if (withoutAttachments++ % 2 == 0) {
                info = SqlValue::Blob(AttachmentInfoBlob({}, false));
            }
            const int64_t date = message.unixDate - kAppleEpoch;
            const std::string& handle =
                conversation.parties[static_cast<size_t>(message.sender)].address;
            db.Run(kInsertMadrid,
                   {SqlValue::Int(date), TextOrNull(message.text), SqlValue::Int(0),
                    SqlValue::Int(message.read ? 1 : 0),
                    message.fromMe && group ? SqlValue::Null() : SqlValue::Text(handle),
                    SqlValue::Text(message.guid), SqlValue::Int(group ? 1 : 0),
                    group ? SqlValue::Text(conversation.roomName) : SqlValue::Null(),
                    SqlValue::Text(kOwnAddress), SqlValue::Int(message.fromMe ? 36869 : 12289),
                    info, message.read ? SqlValue::Int(date + 60) : SqlValue::Int(0),
                    SqlValue::Int(date + 2), SqlValue::Text(accountGuid)});
            const int64_t messageId = LastRowid(db);
            for (const MessageAttachment& attachment : message.attachments) {
                db.Run(kInsertMadridAttachment,
                       {SqlValue::Text(attachment.guid), SqlValue::Int(date), SqlValue::Int(date),
                        SqlValue::Text(DeviceFileName(attachment)), SqlValue::Text(attachment.uti),
                        SqlValue::Text(attachment.mimeType), SqlValue::Int(messageId)});
            }
        }
    }
}

// ---- iOS 6 and 7: handles, chats, messages, attachments and their joins ----

constexpr char kInsertHandle[] =
    "INSERT INTO handle (id, country, service, uncanonicalized_id) VALUES (?, 'us', ?, ?)";
constexpr char kInsertChat6[] =
    "INSERT INTO chat (guid, style, state, account_id, chat_identifier, service_name, room_name, "
    "account_login) VALUES (?, ?, 3, ?, ?, ?, ?, ?)";
constexpr char kInsertChat7[] =
    "INSERT INTO chat (guid, style, state, account_id, chat_identifier, service_name, room_name, "
    "account_login, display_name) VALUES (?, ?, 3, ?, ?, ?, ?, ?, ?)";
constexpr char kInsertChatHandle[] =
    "INSERT INTO chat_handle_join (chat_id, handle_id) VALUES (?, ?)";
constexpr char kInsertMessage[] =
    "INSERT INTO message (guid, text, handle_id, service, account, account_guid, date, "
    "date_read, date_delivered, is_delivered, is_finished, is_from_me, is_read, is_sent) VALUES "
    "(?, ?, ?, ?, ?, ?, ?, ?, ?, 1, 1, ?, ?, ?)";
constexpr char kInsertChatMessage[] =
    "INSERT INTO chat_message_join (chat_id, message_id) VALUES (?, ?)";
constexpr char kInsertAttachment6[] =
    "INSERT INTO attachment (guid, created_date, start_date, filename, uti, mime_type, "
    "transfer_state, is_outgoing) VALUES (?, ?, ?, ?, ?, ?, 5, ?)";
constexpr char kInsertAttachment7[] =
    "INSERT INTO attachment (guid, created_date, start_date, filename, uti, mime_type, "
    "transfer_state, is_outgoing, transfer_name, total_bytes) VALUES (?, ?, ?, ?, ?, ?, 5, ?, ?, "
    "?)";
constexpr char kInsertMessageAttachment[] =
    "INSERT INTO message_attachment_join (message_id, attachment_id) VALUES (?, ?)";

class HandleTable {
  public:
    explicit HandleTable(SqliteBuild& db) : db_(db) {}

    int64_t Of(const std::string& address, const char* service) {
        auto [at, added] = rowids_.try_emplace({address, service}, 0);
        if (added) {
            const bool phone = address.starts_with('+');
            db_.Run(kInsertHandle, {SqlValue::Text(address), SqlValue::Text(service),
                                    phone ? SqlValue::Text(address.substr(2)) : SqlValue::Null()});
            at->second = LastRowid(db_);
        }
        return at->second;
    }

  private:
    SqliteBuild& db_;
    std::map<std::pair<std::string, std::string>, int64_t> rowids_;
};

void WriteIos6(SqliteBuild& db, const MessageCorpus& corpus, bool seven, const std::string& own,
               SeededRandom& random) {
    HandleTable handles(db);
    const std::string smsAccount = UpperUuid(random), iMessageAccount = UpperUuid(random);
    for (const Conversation& conversation : corpus.conversations) {
        const bool group = conversation.parties.size() > 1;
        const char* service = conversation.iMessage ? "iMessage" : "SMS";
        const std::string& account = conversation.iMessage ? iMessageAccount : smsAccount;
        const std::string login =
            conversation.iMessage ? std::string("E:") + kOwnAddress : "P:" + own;
        const std::string identifier =
            group ? conversation.roomName : conversation.parties[0].address;
        const SqlValue guid =
            SqlValue::Text(std::string(service) + (group ? ";+;" : ";-;") + identifier);
        const SqlValue room = group ? SqlValue::Text(conversation.roomName) : SqlValue::Null();
        if (seven) {
            db.Run(kInsertChat7, {guid, SqlValue::Int(group ? 43 : 45), SqlValue::Text(account),
                                  SqlValue::Text(identifier), SqlValue::Text(service), room,
                                  SqlValue::Text(login), TextOrNull(conversation.displayName)});
        } else {
            db.Run(kInsertChat6, {guid, SqlValue::Int(group ? 43 : 45), SqlValue::Text(account),
                                  SqlValue::Text(identifier), SqlValue::Text(service), room,
                                  SqlValue::Text(login)});
        }
        const int64_t chatId = LastRowid(db);
        std::vector<int64_t> partyHandles;
        for (const Party& party : conversation.parties) {
            partyHandles.push_back(handles.Of(party.address, service));
            db.Run(kInsertChatHandle, {SqlValue::Int(chatId), SqlValue::Int(partyHandles.back())});
        }
        for (const Message& message : conversation.messages) {
            const int64_t date = message.unixDate - kAppleEpoch;
            // In a group a message of mine names no handle; in a chat of two the other party's.
            const int64_t handle =
                message.fromMe && group ? 0 : partyHandles[static_cast<size_t>(message.sender)];
            db.Run(kInsertMessage,
                   {SqlValue::Text(message.guid), TextOrNull(message.text), SqlValue::Int(handle),
                    SqlValue::Text(service), SqlValue::Text(login), SqlValue::Text(account),
                    SqlValue::Int(date), SqlValue::Int(message.read ? date + 60 : 0),
                    SqlValue::Int(date + 2), SqlValue::Int(message.fromMe ? 1 : 0),
                    SqlValue::Int(message.read ? 1 : 0), SqlValue::Int(message.fromMe ? 1 : 0)});
            const int64_t messageId = LastRowid(db);
            db.Run(kInsertChatMessage, {SqlValue::Int(chatId), SqlValue::Int(messageId)});
            for (const MessageAttachment& attachment : message.attachments) {
                const SqlValue outgoing = SqlValue::Int(message.fromMe ? 1 : 0);
                if (seven) {
                    db.Run(kInsertAttachment7,
                           {SqlValue::Text(attachment.guid), SqlValue::Int(date),
                            SqlValue::Int(date), SqlValue::Text(DeviceFileName(attachment)),
                            SqlValue::Text(attachment.uti), SqlValue::Text(attachment.mimeType),
                            outgoing, SqlValue::Text(attachment.name),
                            SqlValue::Int(static_cast<int64_t>(attachment.bytes.size()))});
                } else {
                    db.Run(
                        kInsertAttachment6,
                        {SqlValue::Text(attachment.guid), SqlValue::Int(date), SqlValue::Int(date),
                         SqlValue::Text(DeviceFileName(attachment)), SqlValue::Text(attachment.uti),
                         SqlValue::Text(attachment.mimeType), outgoing});
                }
                db.Run(kInsertMessageAttachment,
                       {SqlValue::Int(messageId), SqlValue::Int(LastRowid(db))});
            }
        }
    }
}

}  // namespace

std::string AttachmentInfoBlob(const std::vector<std::string>& guids, bool lateStart) {
    std::string blob = InfoHeader(lateStart ? kInfoLateStart : kInfoEarlyStart);
    for (const std::string& guid : guids)
        blob += '$' + guid + '?';
    // The archive's class names and trailer follow the list; they hold no GUID, which ends it.
    blob += "NSMutableArray\x00NSArray\x00NSObject\x00";
    blob.append(std::string_view("\x00\x08\x00\x11\x00\x1a\x00\x24", 8));
    return blob;
}

bool AddMessages(ImageWriter& writer, const ImageOptions& options) {
    const DeviceIdentity& identity = writer.identity();
    const int major = identity.release->major;
    const MessageCorpus corpus = MakeMessageCorpus(options, identity.now);
    SeededRandom random(options.seed, "message-store");

    SqliteBuild db;
    db.Exec(major == 5 ? kSmsSchemaIos5 : major == 6 ? kSmsSchemaIos6 : kSmsSchemaIos7);
    db.Exec("BEGIN");
    Properties(db, major == 5 ? "21" : major == 6 ? "38" : "7006", random);
    if (major == 5) {
        WriteIos5(db, corpus, random);
    } else {
        // Without a SIM card the phone still has sent SMS from its former number.
        const std::string own =
            identity.phoneNumber.empty() ? std::string("+14155550100") : identity.phoneNumber;
        WriteIos6(db, corpus, major >= 7, own, random);
    }
    db.Exec("COMMIT");
    std::string bytes;
    if (!db.Bytes(bytes)) return writer.Fail("sms.db: " + db.error());
    if (!writer.File(kSmsDatabasePath, bytes)) return false;

    const std::string folder = std::string(kSmsAttachmentsPath) + "/";
    for (const Conversation& conversation : corpus.conversations) {
        for (const Message& message : conversation.messages) {
            for (const MessageAttachment& attachment : message.attachments) {
                if (!attachment.fileMissing &&
                    !writer.File(folder + attachment.RelativePath(), attachment.bytes))
                    return false;
            }
        }
    }
    for (const auto& [path, bytes] : corpus.strayFiles) {
        if (!writer.File(folder + path, bytes)) return false;
    }
    return true;
}

}  // namespace bw::sim
