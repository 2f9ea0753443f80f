#include "contact_stores.h"

#include "private_data.h"
#include "private_schemas.h"
#include "seeded_random.h"
#include "sqlite_build.h"

namespace bw::sim {
namespace {

constexpr int64_t kCallFlags[] = {0, 4, 5, 9, 16, 20, 64, 65};
constexpr int kCallCount = 24;

// The first character of a name, whole: the section an index of names files it under.
std::string FirstCharacter(const std::string& text) {
    size_t end = text.empty() ? 0 : 1;
    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80)
        ++end;
    return text.substr(0, end);
}

bool WriteDatabase(ImageWriter& writer, SqliteBuild& db, const char* path) {
    std::string bytes;
    if (!db.Bytes(bytes)) return writer.Fail(std::string(path) + ": " + db.error());
    return writer.File(path, bytes);
}

}  // namespace

bool AddCallHistory(ImageWriter& writer, const ImageOptions& options) {
    const DeviceIdentity& identity = writer.identity();
    const int major = identity.release->major;
    SeededRandom random(options.seed, "call-history");
    const std::vector<Contact> contacts = MakeContacts(options.seed);
    const std::vector<std::string> strangers = StrangerNumbers(options.seed, 12);

    SqliteBuild db;
    db.Exec(kCallHistorySchema);
    db.Exec("BEGIN");
    constexpr char kProperty[] = "INSERT INTO _SqliteDatabaseProperties (key, value) VALUES (?, ?)";
    // The timer triggers add to these rows, so they exist before the first call.
    for (const char* key : {"timer_last", "timer_outgoing", "timer_incoming", "timer_all",
                            "timer_lifetime", "data_up_last", "data_down_last", "data_up_all",
                            "data_down_all", "data_up_lifetime", "data_down_lifetime"})
        db.Run(kProperty, {SqlValue::Text(key), SqlValue::Text("0")});
    db.Run(kProperty, {SqlValue::Text("call_history_limit"), SqlValue::Text("100")});
    db.Run(kProperty, {SqlValue::Text("timer_last_reset"), SqlValue::Text("0")});
    db.Run(kProperty, {SqlValue::Text("_UniqueIdentifier"), SqlValue::Text(UpperUuid(random))});
    db.Run(kProperty, {SqlValue::Text("_ClientVersion"), SqlValue::Text(major == 5   ? "9"
                                                                        : major == 6 ? "11"
                                                                                     : "12")});

    constexpr char kInsertCall[] =
        "INSERT INTO call (address, date, duration, flags, id, name, country_code, network_code, "
        "read, assisted, face_time_data, originalAddress) VALUES (?, ?, ?, ?, ?, '', ?, ?, 1, 0, "
        "NULL, ?)";
    int64_t clock = identity.now - 20 * 86400;
    size_t contactTurn = 0, strangerTurn = 0;
    for (int i = 0; i < kCallCount; ++i) {
        std::string address;
        int64_t person = -1;
        if (i == 17) {
            // A call whose number was withheld.
        } else if (i % 5 == 2 || i % 5 == 4) {
            address = strangers[strangerTurn++ % strangers.size()];
        } else {
            const Contact* contact = nullptr;
            while (contact == nullptr || contact->phones.empty())
                contact = &contacts[contactTurn++ % contacts.size()];
            const std::string& phone =
                contact->phones[static_cast<size_t>(i) % contact->phones.size()];
            // The phone stores some numbers as dialled, without the country code.
            address = i % 3 == 0 ? phone.substr(2) : phone;
            person = contact->docid;
        }
        const int64_t duration = i % 3 == 1 ? 0 : random.Between(5, 1800);
        clock += random.Between(3600, 80000);
        db.Run(kInsertCall,
               {SqlValue::Text(address), SqlValue::Int(clock), SqlValue::Int(duration),
                SqlValue::Int(kCallFlags[static_cast<size_t>(i) % std::size(kCallFlags)]),
                SqlValue::Int(person), SqlValue::Text(identity.region->countryCode),
                SqlValue::Text(identity.region->networkCode), SqlValue::Text(address)});
    }
    db.Exec("COMMIT");
    return WriteDatabase(writer, db, kCallHistoryPath);
}

bool AddAddressBook(ImageWriter& writer, const ImageOptions& options) {
    const DeviceIdentity& identity = writer.identity();
    SeededRandom random(options.seed, "address-book");
    const std::vector<Contact> contacts = MakeContacts(options.seed);

    SqliteBuild db;
    db.Exec(kAddressBookSchema);
    db.Exec("BEGIN");
    db.Run("INSERT INTO _SqliteDatabaseProperties (key, value) VALUES ('_UniqueIdentifier', ?)",
           {SqlValue::Text(UpperUuid(random))});
    constexpr char kLabel[] = "INSERT INTO ABMultiValueLabel (value) VALUES (?)";
    db.Run(kLabel, {SqlValue::Text("_$!<Mobile>!$_")});  // rowid 1
    db.Run(kLabel, {SqlValue::Text("_$!<Home>!$_")});    // rowid 2

    constexpr char kPerson[] =
        "INSERT INTO ABPerson (ROWID, First, Last, Kind, FirstSort, LastSort, CreationDate, "
        "ModificationDate, StoreID, FirstSortSection, LastSortSection, FirstSortLanguageIndex, "
        "LastSortLanguageIndex) VALUES (?, ?, ?, 0, ?, ?, ?, ?, 0, ?, ?, 0, 0)";
    constexpr char kValue[] =
        "INSERT INTO ABMultiValue (record_id, property, identifier, label, value) VALUES (?, ?, "
        "?, ?, ?)";
    constexpr char kLastFour[] = "INSERT INTO ABPhoneLastFour (multivalue_id, value) VALUES (?, ?)";
    constexpr char kFullText[] =
        "INSERT INTO ABPersonFullTextSearch (docid, First, Last, Phone, Email) VALUES (?, ?, ?, ?, "
        "?)";
    const int64_t created = identity.now - kAppleEpoch - 400 * 86400;
    for (const Contact& contact : contacts) {
        const int64_t modified = created + random.Between(0, 300 * 86400);
        db.Run(kPerson,
               {SqlValue::Int(contact.docid), SqlValue::Text(contact.first),
                SqlValue::Text(contact.last), SqlValue::Text(contact.first + " " + contact.last),
                SqlValue::Text(contact.last + " " + contact.first), SqlValue::Int(created),
                SqlValue::Int(modified), SqlValue::Text(FirstCharacter(contact.first)),
                SqlValue::Text(FirstCharacter(contact.last))});
        int identifier = 0;
        for (const std::string& phone : contact.phones) {
            db.Run(kValue,
                   {SqlValue::Int(contact.docid), SqlValue::Int(3), SqlValue::Int(identifier++),
                    SqlValue::Int(1), SqlValue::Text(NationalFormat(phone))});
            db.Run(kLastFour, {SqlValue::Int(sqlite3_last_insert_rowid(db.handle())),
                               SqlValue::Text(phone.substr(phone.size() - 4))});
        }
        if (!contact.email.empty()) {
            db.Run(kValue,
                   {SqlValue::Int(contact.docid), SqlValue::Int(4), SqlValue::Int(identifier++),
                    SqlValue::Int(2), SqlValue::Text(contact.email)});
        }
        db.Run(kFullText,
               {SqlValue::Int(contact.docid), SqlValue::Text(contact.first),
                SqlValue::Text(contact.last),
                contact.phones.empty() ? SqlValue::Null()
                                       : SqlValue::Text(FullTextPhones(contact.phones)),
                contact.email.empty() ? SqlValue::Null() : SqlValue::Text(contact.email)});
    }
    db.Exec("COMMIT");
    return WriteDatabase(writer, db, kAddressBookPath);
}

}  // namespace bw::sim
