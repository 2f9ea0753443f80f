// The schemas of the private-data stores as phones create them: tables, indexes and triggers in
// their stored text, so that what the library reads and edits behaves as on a phone.
#pragma once

namespace bw::sim {

// The iOS 5 message store: the "madrid" tables, seven triggers calling read().
extern const char kSmsSchemaIos5[];
// The iOS 6 message store: chats, handles, messages and attachments joined by tables, nine
// triggers, one calling delete_attachment_path().
extern const char kSmsSchemaIos6[];
// The iOS 7 message store: the iOS 6 one with the columns its upgrades add (chat.display_name;
// attachment.user_info, transfer_name, total_bytes).
extern const char kSmsSchemaIos7[];
// The call history of iOS 5 to 7 (only the version property differs).
extern const char kCallHistorySchema[];
// The address book of iOS 5 to 7. The full-text index uses SQLite's own tokenizer, so a stock
// SQLite opens, checks and reads the file; its content table is ABPersonFullTextSearch_content
// with columns c0First ... c22Date.
extern const char kAddressBookSchema[];

}  // namespace bw::sim
