// The triggers of the SMS database that call functions only the phone registers. The desktop
// drops them before it edits the tables they watch (a deletion would otherwise fail on the missing
// function) and puts them back, with the text the phone stores, before the database is closed.
#pragma once

#include <array>
#include <string_view>

namespace bw {

// iOS 5 ("madrid" tables): the seven triggers on `message`, which call `read(flags)`. Dropped and
// created in this order.
inline constexpr std::array<std::string_view, 7> kSms5DropTriggers = {
    "DROP TRIGGER delete_message;",        "DROP TRIGGER delete_newest_message;",
    "DROP TRIGGER delete_pieces;",         "DROP TRIGGER insert_newest_message;",
    "DROP TRIGGER insert_unread_message;", "DROP TRIGGER mark_message_read;",
    "DROP TRIGGER mark_message_unread;",
};

inline constexpr std::array<std::string_view, 7> kSms5CreateTriggers = {
    "CREATE TRIGGER delete_message AFTER DELETE ON message WHEN NOT read(old.flags) BEGIN UPDATE "
    "msg_group SET unread_count = (SELECT unread_count FROM msg_group WHERE ROWID = old.group_id) "
    "- 1 WHERE ROWID = old.group_id; END;",
    "CREATE TRIGGER delete_newest_message AFTER DELETE ON message WHEN old.ROWID = (SELECT "
    "newest_message FROM msg_group WHERE ROWID = old.group_id) BEGIN UPDATE msg_group SET "
    "newest_message = (SELECT ROWID FROM message WHERE group_id = old.group_id AND ROWID = (SELECT "
    "max(ROWID) FROM message WHERE group_id = old.group_id)) WHERE ROWID = old.group_id; END;",
    "CREATE TRIGGER delete_pieces AFTER DELETE ON message BEGIN DELETE from msg_pieces where "
    "old.ROWID == msg_pieces.message_id; END;",
    "CREATE TRIGGER insert_newest_message AFTER INSERT ON message WHEN new.ROWID >= "
    "IFNULL((SELECT MAX(ROWID) FROM message WHERE message.group_id = new.group_id), 0) BEGIN "
    "UPDATE msg_group SET newest_message = new.ROWID WHERE ROWID = new.group_id; END;",
    "CREATE TRIGGER insert_unread_message AFTER INSERT ON message WHEN NOT read(new.flags) BEGIN "
    "UPDATE msg_group SET unread_count = (SELECT unread_count FROM msg_group WHERE ROWID = "
    "new.group_id) + 1 WHERE ROWID = new.group_id; END;",
    "CREATE TRIGGER mark_message_read AFTER UPDATE ON message WHEN NOT read(old.flags) AND "
    "read(new.flags) BEGIN UPDATE msg_group SET unread_count = (SELECT unread_count FROM "
    "msg_group WHERE ROWID = new.group_id) - 1 WHERE ROWID = new.group_id; END;",
    "CREATE TRIGGER mark_message_unread AFTER UPDATE ON message WHEN read(old.flags) AND NOT "
    "read(new.flags) BEGIN UPDATE msg_group SET unread_count = (SELECT unread_count FROM "
    "msg_group WHERE ROWID = new.group_id) + 1 WHERE ROWID = new.group_id; END;",
};

// iOS 6 and 7: the trigger on `attachment` that calls `delete_attachment_path(filename)`, which
// removes the attachment's file on the phone.
inline constexpr std::string_view kSms6DropTrigger = "DROP TRIGGER delete_attachment_files;";
// The text both scanners put back; the phone's own stores blanks differently after BEGIN, which
// SQLite ignores.
inline constexpr std::string_view kSms6CreateTrigger =
    "CREATE TRIGGER delete_attachment_files AFTER DELETE ON attachment BEGIN SELECT "
    "delete_attachment_path(old.filename); END;";

}  // namespace bw
