// The contacts of a backup's address book, read once for the call and message scanners so that a
// call or a conversation can show the name of the person behind an address.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

struct ContactRecord {
    std::u16string phone;  // every number of the contact, as the search index joins them
    std::u16string name;   // first name, one blank, last name
    int32_t docid = 0;
};

class CContactManage {
  public:
    CContactManage() = default;
    CContactManage(const CContactManage&) = delete;
    CContactManage& operator=(const CContactManage&) = delete;
    virtual ~CContactManage() = default;

    // Reads the contacts of the address book database at `path` (a working copy of the backup's
    // "AddressBook.sqlitedb"); false, with no contacts, when it cannot be read. The database is
    // opened and closed here.
    bool Load(const std::string& path);

    // The name for an address book identifier or, with the identifier -1, for an address found
    // in a contact's numbers; empty when no contact matches, "Unknown" for an empty address.
    std::u16string LookUpName(int32_t identifier, std::u16string_view address) const;

    const std::vector<ContactRecord>& Contacts() const { return contacts_; }

  private:
    std::vector<ContactRecord> contacts_;
};

}  // namespace bw
