// Property lists through the external plist library: a tree of CDicValueObj values that device
// messages and backup files are read into and written from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bw {

// Type codes of CDicValueObj.
enum PlistTypeCode : int32_t {
    kPlistNone = -1,  // a default-constructed value: nothing was read
    kPlistDictionary = 0,
    kPlistArray = 1,
    kPlistString = 2,
    kPlistInteger = 3,
    kPlistReal = 4,
    kPlistFalse = 5,
    kPlistTrue = 6,
    kPlistData = 7,
    kPlistDate = 8,
};

// Containers nested deeper than this are refused by the readers and the writers: the external
// library recurses once per level when it parses, writes and frees a list. Real lists nest a
// dozen levels at most.
inline constexpr int kPlistMaxNesting = 128;

// Larger inputs are refused before parsing; the external library counts lengths in 32 bits and
// needs several times the input size while it parses.
inline constexpr size_t kPlistMaxInputBytes = 128u << 20;

// The nine calendar fields of a date, seconds first, as std::tm holds them (UTC): year counts
// from 1900 and month from 0. Dates between the years 1 and 9999 are kept to the second.
struct PlistCalendar {
    int32_t second = 0, minute = 0, hour = 0, day = 0, month = 0, year = 0, weekday = 0,
            yearDay = 0, isDst = 0;
};

// Dates as property lists count them, in whole seconds since 2001-01-01T00:00:00Z, clamped to
// the years 1 to 9999.
PlistCalendar PlistCalendarFromReferenceSeconds(int64_t seconds);
int64_t PlistReferenceSecondsFromCalendar(const PlistCalendar& date);

class CDicValueObj;
using PlistArray = std::vector<CDicValueObj>;
// Keys keep the order of the list they were read from.
using PlistDictionary = std::vector<std::pair<std::string, CDicValueObj>>;

// One property-list value. Copies are shallow: they share the payload.
// Text (keys, strings) is UTF-8 inside the library. A UID of a binary list (the references of
// keyed archives) reads as the dictionary {"CF$UID": integer}, the way XML spells it.
class CDicValueObj {
  public:
    CDicValueObj() = default;
    virtual ~CDicValueObj() = default;

    int32_t type = kPlistNone;

    static CDicValueObj MakeDictionary();
    static CDicValueObj MakeArray();
    static CDicValueObj MakeString(std::string text);
    static CDicValueObj MakeInteger(int64_t value);
    // An integer above INT64_MAX keeps its value: Integer() gives its bit pattern (as it gives
    // every integer's), IsUnsignedInteger() tells it from the negative number of the same bits,
    // and the writers spell it unsigned (binary lists as a 16-byte integer). Values up to
    // INT64_MAX make an ordinary integer.
    static CDicValueObj MakeUnsignedInteger(uint64_t value);
    static CDicValueObj MakeReal(double value);
    static CDicValueObj MakeBool(bool value);
    static CDicValueObj MakeData(std::string bytes);
    static CDicValueObj MakeDate(const PlistCalendar& date);

    // Typed views: null unless the type code is the expected one and the payload is present.
    const PlistDictionary* Dictionary() const;
    PlistDictionary* Dictionary();
    const PlistArray* Array() const;
    PlistArray* Array();
    const std::string* String() const;
    const int64_t* Integer() const;
    const double* Real() const;
    const std::string* Data() const;
    const PlistCalendar* Date() const;
    bool IsBool() const { return type == kPlistFalse || type == kPlistTrue; }
    // True for an integer above INT64_MAX (whose Integer() reads negative).
    bool IsUnsignedInteger() const;

    // Dictionary access: the value of the first entry with this key, or null (also for
    // non-dictionaries). Set replaces an existing key's value in its place or appends a new
    // entry; on a kPlistNone value it first makes an empty dictionary, on other types it does
    // nothing. Remove takes the key's entry out and keeps the order of the rest; true when there
    // was one. Set and Find take constant time on average however large the dictionary: a key
    // index is kept beside the entries once a dictionary has grown past a few keys. Entries
    // changed through the non-const Dictionary() are seen too (the index is dropped there and
    // rebuilt on the next Set), as long as the reference is not held across a Set or Remove.
    const CDicValueObj* Find(std::string_view key) const;
    void Set(std::string key, CDicValueObj value);
    bool Remove(std::string_view key);

    // The value of a key when it is present with the expected type code, else nothing, so that
    // `value = dict.GetInteger("Key").value_or(value);` keeps the caller's default.
    std::optional<std::string> GetString(std::string_view key) const;
    std::optional<int64_t> GetInteger(std::string_view key) const;
    std::optional<double> GetReal(std::string_view key) const;
    std::optional<bool> GetBool(std::string_view key) const;
    std::optional<std::string> GetData(std::string_view key) const;
    std::optional<PlistCalendar> GetDate(std::string_view key) const;

    // Releases the payload (and with it the tree below, unless another copy shares it); the
    // value reads as kPlistNone afterwards.
    void Release();

  private:
    struct Payload;
    std::shared_ptr<Payload> payload_;
};

// Readers fill `tree` (it keeps kPlistNone when the input is not a property list). plistType is
// accepted for the callers' sake; XML and binary are told apart by their bytes. Text stops at a
// NUL and broken UTF-8 becomes U+FFFD; a repeated key keeps its first place and its last value.
void readPlistFromFile(std::string path, CDicValueObj& tree);
void readPlistFromString(const std::string& bytes, CDicValueObj& tree, int plistType);
void readPlistFromByteArry(const void* bytes, int length, CDicValueObj& tree, int plistType);

// Writers. The file writers replace the file atomically; an unwritable tree or path leaves the
// old file in place. The string writers leave `out` empty on failure. Entries that hold nothing
// (kPlistNone) are left out, and {"CF$UID": n} with n below 2^32 becomes a UID in binary lists.
void writeXmlFile(const CDicValueObj& tree, std::string path);
void writeBinaryFile(const CDicValueObj& tree, std::string path);
void writeXmlutf8(const CDicValueObj& tree, std::string& out);
void writeBinary(const CDicValueObj& tree, std::string& out);

void FreePListDictionary(CDicValueObj& tree);

// Same type codes and same contents, dictionaries in the same key order.
bool PlistEquals(const CDicValueObj& a, const CDicValueObj& b);

}  // namespace bw
