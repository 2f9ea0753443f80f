// The call history (/var/wireless/Library/CallHistory/call_history.db, where phones keep it and
// the wireless backup domain finds it) and the address book
// (/var/mobile/Library/AddressBook/AddressBook.sqlitedb) of an image.
#pragma once

#include "image/image_builder.h"
#include "image_writer.h"

namespace bw::sim {

inline constexpr char kCallHistoryPath[] = "/var/wireless/Library/CallHistory/call_history.db";
inline constexpr char kAddressBookPath[] = "/var/mobile/Library/AddressBook/AddressBook.sqlitedb";

// 24 calls: 15 from or to contacts (person id = the contact's docid, by the number as stored or
// in its national form), 8 with strangers (person id -1) and one without a number. Flags cycle
// through 0, 4, 5, 9, 16, 20, 64, 65; every third call lasted 0 seconds.
bool AddCallHistory(ImageWriter& writer, const ImageOptions& options);

// The 14 contacts, in ABPerson, ABMultiValue and the full-text index (c15Phone: every number in
// three forms).
bool AddAddressBook(ImageWriter& writer, const ImageOptions& options);

}  // namespace bw::sim
