// The people and conversations of an image, from which its message store, call history and
// address book are written: the three agree on who is who (a call's person id and a contact's
// full-text docid are the same number; a conversation's handle is one of the contact's numbers or
// addresses). The shape is fixed (how many conversations, messages, attachments and which of them
// lack their file); names of the fixed contacts too, while numbers, identifiers, texts and times
// come from the seed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/image_builder.h"

namespace bw::sim {

// 2001-01-01 in Unix seconds: the epoch of the dates of iMessage and of the iOS 6 and 7 store.
inline constexpr int64_t kAppleEpoch = 978307200;

class SeededRandom;

// "0A1B2C3D-...": the form of the identifiers the stores give messages, chats and attachments.
std::string UpperUuid(SeededRandom& random);

struct Contact {
    int64_t docid = 0;  // ABPerson ROWID, the full-text docid and the call history's person id
    std::string first, last;
    std::vector<std::string> phones;  // "+14155550123"
    std::string email;                // empty: none
};

// A phone number as people write it: "(415) 555-0123" for "+14155550123".
std::string NationalFormat(const std::string& phone);
// The forms the address book's full-text index keeps of every number, space-separated.
std::string FullTextPhones(const std::vector<std::string>& phones);

std::vector<Contact> MakeContacts(uint64_t seed);

// Numbers of no contact, for conversations and calls with strangers.
std::vector<std::string> StrangerNumbers(uint64_t seed, size_t count);

struct MessageAttachment {
    std::string guid;  // upper-case UUID, also the folder of the file
    std::string name;  // "IMG_0412.JPG"
    std::string mimeType, uti;
    std::string bytes;
    bool fileMissing = false;  // the row stays, the file is gone (deleted by hand, never loaded)

    // "<hh>/<nn>/<GUID>/<name>" below /var/mobile/Library/SMS/Attachments.
    std::string RelativePath() const;
};

struct Message {
    std::string guid;
    int64_t unixDate = 0;
    bool fromMe = false;
    bool read = true;
    int sender = 0;  // index into the conversation's parties, for messages not from me
    std::string text;
    std::vector<MessageAttachment> attachments;
};

struct Party {
    std::string address;   // "+14155550123" or an e-mail address
    int64_t contact = -1;  // docid, or -1 for a stranger
};

struct Conversation {
    bool iMessage = false;
    std::vector<Party> parties;  // one, or several for a group chat
    std::string roomName;        // groups only: "chat123456789"
    std::string displayName;     // a group's name, or empty
    std::vector<Message> messages;
};

struct MessageCorpus {
    std::vector<Conversation> conversations;
    // Files in the attachment folder that no row names: "<hh>/<nn>/<GUID>/<name>" and bytes.
    std::vector<std::pair<std::string, std::string>> strayFiles;
};

// Fixed shape: 30 conversations (22 with contacts by SMS and iMessage, phone numbers and e-mail
// addresses; 6 with strangers; 2 iMessage groups), 165 messages, 20 attachments on 16 messages,
// 2 of whose files are missing, and 3 stray files. Each `scale` step above 1 adds 2 SMS
// conversations with strangers of 50 messages each, without attachments.
MessageCorpus MakeMessageCorpus(const ImageOptions& options, int64_t now);

}  // namespace bw::sim
