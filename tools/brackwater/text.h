// UTF-8 (the command line's text) to and from UTF-16 (the library's host interface text).
#pragma once

#include <string>
#include <string_view>

namespace cli {

std::u16string ToWide(std::string_view utf8);
std::string ToUtf8(std::u16string_view wide);

// A text of the library by its two-call rule: `get(nullptr)` answers the size of the buffer it
// needs (the length plus 2, or less than 2 when there is no text), `get(buffer)` fills it.
template <class Get>
std::string TwoCallText(Get get) {
    const size_t size = get(static_cast<char16_t*>(nullptr));
    if (size < 2) return {};
    std::u16string text(size, u'\0');
    get(text.data());
    text.resize(std::char_traits<char16_t>::length(text.c_str()));
    return ToUtf8(text);
}

// The message the library left for this thread's last call into it; empty when it left none.
std::string LibraryError();
// The library's version, "major.minor.patch".
std::string LibraryVersion();

// The same through a record's getter operation.
template <class Record, class Getter>
std::string Text(Record* record, Getter getter) {
    return TwoCallText([&](char16_t* buffer) { return (record->*getter)(buffer); });
}

// Text from a phone, a backup or a file, made safe for a terminal: control characters and DEL
// become \n, \t, \r or \xHH, so a device name cannot move the cursor or forge a line.
std::string Printable(std::string_view text);

// Whether the bytes are UTF-8 text: no stray or missing continuation bytes, no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view text);

// The library takes names as UTF-16, so a name that is not UTF-8 would reach it with its bad
// bytes turned into U+FFFD: another name, perhaps of another file. Empty for UTF-8 text; otherwise
// a one-line message that names the argument and shows the bytes as \xHH.
std::string NotUtf8Message(std::string_view argument, std::string_view text);

}  // namespace cli
