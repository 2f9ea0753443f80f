#include "private_data.h"

#include <cstdio>

#include "seeded_random.h"

namespace bw::sim {
namespace {

struct ContactRow {
    const char* first;
    const char* last;
    int phones;           // how many numbers
    const char* mailbox;  // null: no e-mail address
};

// Names in several scripts and one with an apostrophe, so that text reaches every reader intact.
constexpr ContactRow kContacts[] = {
    {"Anna", "Berg", 1, "anna.berg"},
    {"J\xc3\xb6rg", "M\xc3\xbcller", 2, nullptr},
    {"Zo\xc3\xab", "Laurent", 1, "zoe.laurent"},
    {"\xe5\xa8\x9c", "\xe6\x9d\x8e", 1, nullptr},
    {"\xd0\x9e\xd0\xbb\xd0\xb5\xd0\xb3", "\xd0\x9f\xd0\xb5\xd1\x82\xd1\x80\xd0\xbe\xd0\xb2", 1,
     "oleg.petrov"},
    {"Sam", "Okafor", 2, nullptr},
    {"Priya", "Natarajan", 1, "priya.n"},
    {"Mateo",
     "Garc\xc3\xad"
     "a",
     1, nullptr},
    {"Hannah", "Schmidt", 1, nullptr},
    {"Yuki", "Tanaka", 1, "yuki.tanaka"},
    {"Chlo\xc3\xa9", "Dubois", 1, nullptr},
    {"Liam", "O'Brien", 1, nullptr},
    {"Grace", "Kim", 0, "grace.kim"},  // reachable by e-mail only
    {"Omar", "Haddad", 1, nullptr},
};
constexpr int kContactCount = static_cast<int>(std::size(kContacts));

constexpr const char* kMailDomains[] = {"example.com", "example.org", "example.net"};
constexpr const char* kAreaCodes[] = {"415", "212", "312", "617", "206", "503"};

constexpr const char* kTexts[] = {
    "Are we still on for tonight?",
    "On my way",
    "Running 10 minutes late, sorry!",
    "Gr\xc3\xbc\xc3\x9f"
    "e aus K\xc3\xb6ln",
    "\xc3\x87"
    "a marche \xf0\x9f\x91\x8d",
    "\xe6\x98\x8e\xe5\xa4\xa9\xe8\xa7\x81",
    "Can you call me when you get this?",
    "Thanks again for dinner",
    "Did you see the game last night?",
    "Happy birthday! \xf0\x9f\x8e\x82",
    "Ok",
    "Your code is 482913",
    "Let's meet at the caf\xc3\xa9 on 5th",
    "\xd0\x94\xd0\xbe \xd0\xb2\xd1\x81\xd1\x82\xd1\x80\xd0\xb5\xd1\x87\xd0\xb8!",
    "Sent you the photos",
    "Where did you park?",
};

struct AttachmentKind {
    const char* prefix;
    const char* extension;
    const char* mimeType;
    const char* uti;
};
constexpr AttachmentKind kAttachmentKinds[] = {
    {"IMG_", "JPG", "image/jpeg", "public.jpeg"},
    {"IMG_", "PNG", "image/png", "public.png"},
    {"IMG_", "MOV", "video/quicktime", "com.apple.quicktime-movie"},
    {"contact", "vcf", "text/vcard", "public.vcard"},
};

}  // namespace

std::string UpperUuid(SeededRandom& random) {
    std::string hex = random.LowerHex(32);
    for (char& c : hex)
        if (c >= 'a') c = static_cast<char>(c - 'a' + 'A');
    return hex.substr(0, 8) + '-' + hex.substr(8, 4) + '-' + hex.substr(12, 4) + '-' +
           hex.substr(16, 4) + '-' + hex.substr(20);
}

namespace {

// Bytes that begin as the kind's files begin, so that a reader sniffing the type sees it.
std::string AttachmentBytes(SeededRandom& random, const AttachmentKind& kind) {
    const std::string_view extension = kind.extension;
    std::string head;
    if (extension == "JPG") head = std::string("\xff\xd8\xff\xe0\x00\x10JFIF\x00", 11);
    if (extension == "PNG") head = std::string("\x89PNG\r\n\x1a\n", 8);
    if (extension == "MOV")
        head = std::string(
            "\x00\x00\x00\x14"
            "ftypqt  ",
            12);
    if (extension == "vcf") return "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Card\r\nEND:VCARD\r\n";
    return head + random.FromAlphabet("0123456789abcdefghijklmnopqrstuvwxyz",
                                      static_cast<size_t>(random.Between(800, 6000)));
}

MessageAttachment MakeAttachment(SeededRandom& random, int ordinal) {
    const AttachmentKind& kind = kAttachmentKinds[ordinal % std::size(kAttachmentKinds)];
    MessageAttachment attachment;
    attachment.guid = UpperUuid(random);
    char number[8];
    std::snprintf(number, sizeof number, "%04d", static_cast<int>(random.Between(1, 9999)));
    attachment.name = std::string(kind.prefix) +
                      (std::string_view(kind.extension) == "vcf" ? "" : number) + "." +
                      kind.extension;
    attachment.mimeType = kind.mimeType;
    attachment.uti = kind.uti;
    attachment.bytes = AttachmentBytes(random, kind);
    return attachment;
}

Party PartyOf(const Contact& contact, bool byEmail, int phone = 0) {
    return {byEmail ? contact.email : contact.phones[static_cast<size_t>(phone)], contact.docid};
}

// The 30 fixed conversations: contacts by SMS (those with a number), then by iMessage (by e-mail
// address where they have one), strangers, and two groups.
std::vector<Conversation> FixedConversations(const std::vector<Contact>& contacts,
                                             const std::vector<std::string>& strangers) {
    std::vector<Conversation> list;
    for (const Contact& contact : contacts) {
        if (contact.phones.empty()) continue;
        list.push_back({false, {PartyOf(contact, false)}, {}, {}, {}});
    }
    for (const int index : {0, 1, 2, 4, 6, 9, 12, 5, 13}) {
        const Contact& contact = contacts[static_cast<size_t>(index)];
        // Jörg and Sam write from their second number.
        const int phone = contact.phones.size() > 1 ? 1 : 0;
        list.push_back({true, {PartyOf(contact, !contact.email.empty(), phone)}, {}, {}, {}});
    }
    for (size_t i = 0; i < 6; ++i)
        list.push_back({i == 5, {{strangers[i], -1}}, {}, {}, {}});
    list.push_back(
        {true,
         {PartyOf(contacts[0], true), PartyOf(contacts[1], false), PartyOf(contacts[5], false)},
         "",
         "Weekend \xe2\x9b\xba",
         {}});
    list.push_back({true,
                    {PartyOf(contacts[2], true), PartyOf(contacts[7], false),
                     PartyOf(contacts[8], false), PartyOf(contacts[13], false)},
                    "",
                    "",
                    {}});
    return list;
}

}  // namespace

std::string NationalFormat(const std::string& phone) {
    if (phone.size() != 12 || !phone.starts_with("+1")) return phone;
    return "(" + phone.substr(2, 3) + ") " + phone.substr(5, 3) + "-" + phone.substr(8);
}

std::string FullTextPhones(const std::vector<std::string>& phones) {
    std::string text;
    for (const std::string& phone : phones) {
        if (!text.empty()) text += ' ';
        text += phone + ' ' + phone.substr(2) + ' ' + NationalFormat(phone);
    }
    return text;
}

std::vector<Contact> MakeContacts(uint64_t seed) {
    SeededRandom random(seed, "contacts");
    const std::string area = random.Pick(kAreaCodes);
    std::vector<Contact> contacts;
    int line = static_cast<int>(random.Between(0, 40));
    for (int i = 0; i < kContactCount; ++i) {
        const ContactRow& row = kContacts[i];
        Contact contact;
        contact.docid = i + 1;
        contact.first = row.first;
        contact.last = row.last;
        // 555-0100 to 555-0199 are the numbers set aside for fiction.
        for (int k = 0; k < row.phones; ++k) {
            char number[16];
            std::snprintf(number, sizeof number, "+1%s55501%02d", area.c_str(), line++ % 100);
            contact.phones.emplace_back(number);
        }
        if (row.mailbox != nullptr)
            contact.email = std::string(row.mailbox) + "@" + random.Pick(kMailDomains);
        contacts.push_back(std::move(contact));
    }
    return contacts;
}

std::vector<std::string> StrangerNumbers(uint64_t seed, size_t count) {
    SeededRandom random(seed, "strangers");
    std::vector<std::string> numbers;
    for (size_t i = 0; i < count; ++i) {
        // Another area than the contacts' and a running tail, so that no stranger is a contact.
        char number[16];
        std::snprintf(number, sizeof number, "+1%s5550%03zu", random.Pick(kAreaCodes), 200 + i);
        numbers.emplace_back(number);
    }
    return numbers;
}

std::string MessageAttachment::RelativePath() const {
    const uint64_t hash = StableHash(guid);
    char folders[16];
    std::snprintf(folders, sizeof folders, "%02x/%02u/", static_cast<unsigned>(hash & 0xff),
                  static_cast<unsigned>((hash >> 8) % 100));
    return folders + guid + "/" + name;
}

MessageCorpus MakeMessageCorpus(const ImageOptions& options, int64_t now) {
    SeededRandom random(options.seed, "messages");
    const std::vector<Contact> contacts = MakeContacts(options.seed);
    MessageCorpus corpus;
    corpus.conversations = FixedConversations(contacts, StrangerNumbers(options.seed, 12));

    int attachmentOrdinal = 0;
    int iMessageOrdinal = 0;
    for (size_t i = 0; i < corpus.conversations.size(); ++i) {
        Conversation& conversation = corpus.conversations[i];
        if (conversation.parties.size() > 1) conversation.roomName = "chat" + random.Digits(18);
        int64_t clock = now - static_cast<int64_t>(corpus.conversations.size() - i) * 86400 -
                        random.Between(0, 40000);
        const int count = 3 + static_cast<int>(i * 5 % 6);
        const int ordinal = conversation.iMessage ? iMessageOrdinal++ : -1;
        for (int m = 0; m < count; ++m) {
            Message message;
            message.guid = UpperUuid(random);
            clock += random.Between(30, 3000);
            message.unixDate = clock;
            message.fromMe = m % 2 == 1;
            message.sender = message.fromMe ? 0 : m % static_cast<int>(conversation.parties.size());
            // The last message of every fourth conversation is still unread.
            message.read = message.fromMe || m + 1 < count || i % 4 != 0;
            message.text = random.Pick(kTexts);
            // iMessages carry the attachments: the second message of each, and two on the third
            // of every third conversation.
            int attachments = 0;
            if (ordinal >= 0 && m == 1) attachments = 1;
            if (ordinal >= 0 && ordinal % 3 == 0 && m == 2) attachments = 2;
            for (int a = 0; a < attachments; ++a) {
                MessageAttachment attachment = MakeAttachment(random, attachmentOrdinal);
                attachment.fileMissing = attachmentOrdinal == 4 || attachmentOrdinal == 11;
                ++attachmentOrdinal;
                message.attachments.push_back(std::move(attachment));
            }
            if (attachments > 0 && m == 2) message.text.clear();  // pictures alone
            conversation.messages.push_back(std::move(message));
        }
    }
    for (int i = 0; i < 3; ++i) {
        const MessageAttachment stray = MakeAttachment(random, i);
        corpus.strayFiles.emplace_back(stray.RelativePath(), stray.bytes);
    }

    // Benchmark images: conversations with strangers, SMS only, short texts.
    const int64_t steps = options.scale - 1;
    for (int64_t step = 0; step < steps; ++step) {
        for (int k = 0; k < 2; ++k) {
            char number[16];
            std::snprintf(number, sizeof number, "+1800%07lld",
                          static_cast<long long>(step * 2 + k));
            Conversation conversation{false, {{number, -1}}, {}, {}, {}};
            int64_t clock = now - 400 * 86400 + step * 1000;
            for (int m = 0; m < 50; ++m) {
                Message message;
                message.guid = UpperUuid(random);
                message.unixDate = clock += 7;
                message.fromMe = m % 3 == 0;
                message.text = "Message " + std::to_string(m);
                conversation.messages.push_back(std::move(message));
            }
            corpus.conversations.push_back(std::move(conversation));
        }
    }
    return corpus;
}

}  // namespace bw::sim
