// XML property lists, parsed with libxml2 into a document tree and then walked element by element.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <ctime>
#include <limits>
#include <memory>

#include "formats/base64.h"
#include "formats/plist_codec_internal.h"
#include "platform/clock.h"

namespace bw::plist_internal {

namespace {

struct DocumentDeleter {
    void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
using Document = std::unique_ptr<xmlDoc, DocumentDeleter>;

bool NameIs(const xmlNode* node, const char* name) {
    return xmlStrcmp(node->name, reinterpret_cast<const xmlChar*>(name)) == 0;
}

// Element children only: whitespace text, comments and processing instructions between the
// elements of a dict or array carry nothing.
const xmlNode* ElementFrom(const xmlNode* node) {
    while (node != nullptr && node->type != XML_ELEMENT_NODE)
        node = node->next;
    return node;
}

const xmlNode* NextElement(const xmlNode* node) {
    return ElementFrom(node->next);
}

// The element's own text and CDATA children. References to entities declared in a DTD are left
// out on purpose: expanding them (as xmlNodeGetContent would) lets a few hundred bytes of nested
// declarations grow into gigabytes. The predefined entities and character references are already
// part of the text nodes.
std::string ElementText(const xmlNode* element) {
    std::string text;
    for (const xmlNode* child = element->children; child != nullptr; child = child->next) {
        if ((child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) &&
            child->content != nullptr)
            text += reinterpret_cast<const char*>(child->content);
    }
    return text;
}

std::string_view Trim(std::string_view text) {
    constexpr std::string_view kSpace = " \t\r\n";
    const size_t first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// The digits are read as an unsigned 64-bit number and kept as its 64-bit pattern, so values up
// to 2^64-1 survive (above 2^63-1 they show as negative). A leading "-" is honoured: "-5" reads as
// -5, down to -2^63. Text that is not a decimal number, or does not fit, gives no value rather
// than an invented 0.
std::optional<int64_t> ParseInteger(std::string_view text) {
    text = Trim(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (!negative) return static_cast<int64_t>(magnitude);
    if (magnitude > uint64_t{1} << 63) return std::nullopt;
    return static_cast<int64_t>(uint64_t{0} - magnitude);
}

// std::from_chars instead of strtod: it does not depend on the process locale's decimal point.
// Text that is not a number, or overflows a double, gives no value.
std::optional<double> ParseReal(std::string_view text) {
    text = Trim(text);
    if (text == "+infinity") return std::numeric_limits<double>::infinity();
    if (text == "-infinity") return -std::numeric_limits<double>::infinity();
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') return std::nullopt;
    }
    if (text.empty()) return std::nullopt;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

bool ReadDigits(std::string_view text, size_t at, size_t count, int& value) {
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// "YYYY-MM-DDTHH:MM:SSZ", the UTC instant written. Fields out of range (month 13, February 30,
// hour 24) give no value instead of being rolled over into the next unit.
std::optional<PlistDate> ParseDate(std::string_view text) {
    text = Trim(text);
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
        text[13] != ':' || text[16] != ':' || text[19] != 'Z')
        return std::nullopt;
    int year, month, day, hour, minute, second;
    if (!ReadDigits(text, 0, 4, year) || !ReadDigits(text, 5, 2, month) ||
        !ReadDigits(text, 8, 2, day) || !ReadDigits(text, 11, 2, hour) ||
        !ReadDigits(text, 14, 2, minute) || !ReadDigits(text, 17, 2, second))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59)
        return std::nullopt;
    std::tm calendar{};
    calendar.tm_year = year - 1900;
    calendar.tm_mon = month - 1;
    calendar.tm_mday = day;
    calendar.tm_hour = hour;
    calendar.tm_min = minute;
    calendar.tm_sec = second;
    return PlistDate{platform::UnixSecondsFromUtc(calendar)};
}

bool ParseElement(const xmlNode* element, int depth, PlistValue& value);

// Children come in pairs: a "key" element and the value element after it. A key followed by
// another key, or by nothing, is dropped; a value element without a key before it is skipped.
// When a key repeats, the last value wins.
bool ParseDictionary(const xmlNode* element, int depth, PlistValue& value) {
    PlistValue::Dictionary& dictionary = value.EmplaceDictionary();
    const xmlNode* child = ElementFrom(element->children);
    while (child != nullptr) {
        if (!NameIs(child, "key")) {
            child = NextElement(child);
            continue;
        }
        const xmlNode* valueElement = NextElement(child);
        if (valueElement == nullptr) break;
        if (NameIs(valueElement, "key")) {
            child = valueElement;
            continue;
        }
        PlistValue& slot = dictionary[ElementText(child)];
        slot.Clear();
        if (!ParseElement(valueElement, depth + 1, slot)) return false;
        child = NextElement(valueElement);
    }
    return true;
}

// Elements of unknown kind stay in the array as empty values, so positions are kept.
bool ParseArray(const xmlNode* element, int depth, PlistValue& value) {
    PlistValue::Array& array = value.EmplaceArray();
    for (const xmlNode* child = ElementFrom(element->children); child != nullptr;
         child = NextElement(child)) {
        if (!ParseElement(child, depth + 1, array.emplace_back())) return false;
    }
    return true;
}

// False only when the nesting is too deep (the whole read fails); an element whose text does not
// parse, "null" and unknown element names leave `value` empty.
bool ParseElement(const xmlNode* element, int depth, PlistValue& value) {
    if (depth > kMaxDepth) return false;
    if (NameIs(element, "dict")) return ParseDictionary(element, depth, value);
    if (NameIs(element, "array")) return ParseArray(element, depth, value);
    if (NameIs(element, "string")) {
        value = ElementText(element);
    } else if (NameIs(element, "integer")) {
        if (const auto number = ParseInteger(ElementText(element))) value = *number;
    } else if (NameIs(element, "real")) {
        if (const auto number = ParseReal(ElementText(element))) value = *number;
    } else if (NameIs(element, "true")) {
        value = true;
    } else if (NameIs(element, "false")) {
        value = false;
    } else if (NameIs(element, "date")) {
        if (const auto date = ParseDate(ElementText(element))) value = *date;
    } else if (NameIs(element, "data")) {
        if (auto bytes = Base64DecodeBytes(ElementText(element))) value = std::move(*bytes);
    }
    return true;
}

void InitializeLibxml() {
    static const bool initialized = [] {
        xmlInitParser();
        return true;
    }();
    (void)initialized;
}

}  // namespace

bool ReadXmlPlist(const uint8_t* bytes, size_t length, PlistValue& value) {
    // Whitespace before the XML declaration is not well-formed XML, but property lists written by
    // some tools carry it and every other reader accepts them.
    while (length > 0 && (*bytes == ' ' || *bytes == '\t' || *bytes == '\r' || *bytes == '\n')) {
        ++bytes;
        --length;
    }
    if (length > static_cast<size_t>(INT_MAX)) return false;
    InitializeLibxml();
    // No entity substitution, no DTD loading, no network: a property list needs none of them, and
    // each would let a file pull in or blow up content. libxml2's default limits on depth and text
    // size stay on.
    constexpr int kOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    const Document document(xmlReadMemory(reinterpret_cast<const char*>(bytes),
                                          static_cast<int>(length), nullptr, nullptr, kOptions));
    if (!document) return false;
    const xmlNode* root = xmlDocGetRootElement(document.get());
    if (root == nullptr || !NameIs(root, "plist")) return false;
    const xmlNode* top = ElementFrom(root->children);
    if (top == nullptr) return false;
    PlistValue parsed;
    if (!ParseElement(top, 1, parsed) || parsed.IsEmpty()) return false;
    value = std::move(parsed);
    return true;
}

}  // namespace bw::plist_internal
