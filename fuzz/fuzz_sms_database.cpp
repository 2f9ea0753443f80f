// The message database loaders of both schemas on any bytes as the backup's "sms.db", then the
// clean of everything they listed: nothing crashes, the records' counts agree with their lists,
// and no connection stays open.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "formats/sqlite_table.h"
#include "fuzz_seeds.h"
#include "platform/files.h"
#include "privacy/sms_database.h"
#include "privacy/sms_models.h"
#include "scanner/result_list.h"
#include "sqlite_seed.h"

namespace {

std::string gFolder;

std::string MakeDatabase(const char* sql) {
    return bw::fuzz::DatabaseBytes(gFolder, sql);
}

void CheckCounts(const bw::ResultList& chats) {
    for (size_t i = 0; i < chats.size(); ++i) {
        auto* chat = chats.At<bw::CSMSChatModel>(i);
        if (static_cast<size_t>(chat->GetMessageCount()) != chat->messages.size()) std::abort();
        char16_t buffer[64];
        if (chat->GetChatIdentifier(nullptr) <= 64) chat->GetChatIdentifier(buffer);
    }
}

void LoadAndClean(const std::string& path, bool ios5) {
    auto database = bw::CreateSmsDatabase(ios5 ? "5.1.1" : "6.1.3", path, "udid", nullptr, nullptr);
    bw::ResultList chats;
    database->LoadChats(chats);
    CheckCounts(chats);
    database->DeleteChats(chats);
    if (bw::IsDatabaseOpen()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string pattern = "/tmp/bw-fuzz-sms-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    gFolder = pattern;
    bw::fuzz::MaybeWriteSeeds({
        MakeDatabase(
            "CREATE TABLE madrid_chat (ROWID INTEGER PRIMARY KEY, chat_identifier, service_name);"
            "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text, subject, date, madrid_handle,"
            " madrid_date_read, madrid_date_delivered, madrid_attachmentInfo);"
            "CREATE TABLE madrid_attachment (ROWID INTEGER PRIMARY KEY, attachment_guid,"
            " created_date, start_date, filename, uti_type, mime_type, transfer_state);"
            "INSERT INTO madrid_chat VALUES (1, 'a', 'SMS');"
            "INSERT INTO message VALUES (1, 't', 's', 5, 'a', 0, 0, x'00');"
            "INSERT INTO madrid_attachment VALUES (1, 'g', 0, 0, 'f', '', '', 0);"),
        MakeDatabase("CREATE TABLE chat (ROWID INTEGER PRIMARY KEY, guid, chat_identifier);"
                     "CREATE TABLE message (ROWID INTEGER PRIMARY KEY, text, subject, date,"
                     " date_read, is_finished, cache_has_attachments, is_read, is_sent);"
                     "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY, guid, created_date,"
                     " start_date, filename);"
                     "CREATE TABLE chat_message_join (chat_id, message_id);"
                     "CREATE TABLE message_attachment_join (message_id, attachment_id);"
                     "INSERT INTO chat VALUES (1, 'g', 'a');"
                     "INSERT INTO message VALUES (1, 't', 's', 1, 2, 1, 1, 0, 1);"
                     "INSERT INTO attachment VALUES (1, 'h', 0, 0, 'f');"
                     "INSERT INTO chat_message_join VALUES (1, 1);"
                     "INSERT INTO message_attachment_join VALUES (1, 1);"),
        std::string("SQLite format 3\0", 16),
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = gFolder + "/sms.db";
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (bool ios5 : {true, false}) {
        if (!bw::platform::WriteFileAtomic(path, bytes)) return 0;
        LoadAndClean(path, ios5);
    }
    bw::platform::RemoveFile(path);
    bw::platform::RemoveFile(path + "-journal");
    bw::platform::RemoveFile(path + "-wal");
    bw::platform::RemoveFile(path + "-shm");
    return 0;
}
