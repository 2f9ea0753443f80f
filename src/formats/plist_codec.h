// The library's own property-list codec: XML and binary ("bplist00") property lists are read into
// a tree of PlistValue, and a tree is written as a binary property list. Used for the photo-sync
// files, independently of the external property-list library.
#pragma once

#include <compare>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace bw {

// A calendar time in whole seconds since 1970-01-01 00:00:00 UTC.
struct PlistDate {
    // Property lists count seconds from 2001-01-01 00:00:00 UTC.
    static constexpr int64_t kUnixSecondsAt2001 = 978307200;

    int64_t unixSeconds = 0;

    double SecondsSince2001() const;
    // Fractions of a second are dropped towards the past (floor), so an instant always maps to the
    // second that contains it. Not-a-number, infinities and magnitudes beyond 2^62 give nullopt.
    static std::optional<PlistDate> FromSecondsSince2001(double seconds);

    friend auto operator<=>(const PlistDate&, const PlistDate&) = default;
};

enum class PlistKind {
    kNone,
    kDictionary,
    kArray,
    kString,
    kInteger,
    kReal,
    kBoolean,
    kDate,
    kData
};

// One property-list value, or no value at all (kNone: nothing was read, or the element was of an
// unknown kind). Copies are deep.
class PlistValue {
  public:
    // Keys in byte order; std::less<> allows lookups by std::string_view.
    using Dictionary = std::map<std::string, PlistValue, std::less<>>;
    using Array = std::vector<PlistValue>;
    using Data = std::vector<uint8_t>;

    PlistValue() = default;
    // Out of line: inlined into callers, g++ 12 reports the variant's copy and move code as
    // reading uninitialised members (a false -Wmaybe-uninitialized).
    PlistValue(const PlistValue& other);
    PlistValue(PlistValue&& other) noexcept;
    PlistValue& operator=(const PlistValue& other);
    PlistValue& operator=(PlistValue&& other) noexcept;
    ~PlistValue();

    PlistValue(Dictionary value) : storage_(std::move(value)) {}
    PlistValue(Array value) : storage_(std::move(value)) {}
    PlistValue(std::string value) : storage_(std::move(value)) {}
    PlistValue(std::string_view value) : storage_(std::string(value)) {}
    PlistValue(const char* value) : storage_(std::string(value)) {}
    // Unsigned values above 2^63-1 keep their 64-bit pattern, as property lists store them.
    template <std::integral T>
    requires(!std::same_as<T, bool>) PlistValue(T value) : storage_(static_cast<int64_t>(value)) {}
    PlistValue(double value) : storage_(value) {}
    PlistValue(bool value) : storage_(value) {}
    PlistValue(PlistDate value) : storage_(value) {}
    PlistValue(Data value) : storage_(std::move(value)) {}

    PlistKind Kind() const { return static_cast<PlistKind>(storage_.index()); }
    bool IsEmpty() const { return storage_.index() == 0; }
    void Clear() { storage_ = std::monostate{}; }

    // Typed views: null or nullopt unless the value is of that kind.
    const Dictionary* AsDictionary() const { return std::get_if<Dictionary>(&storage_); }
    Dictionary* AsDictionary() { return std::get_if<Dictionary>(&storage_); }
    const Array* AsArray() const { return std::get_if<Array>(&storage_); }
    Array* AsArray() { return std::get_if<Array>(&storage_); }
    const std::string* AsString() const { return std::get_if<std::string>(&storage_); }
    std::string* AsString() { return std::get_if<std::string>(&storage_); }
    const Data* AsData() const { return std::get_if<Data>(&storage_); }
    Data* AsData() { return std::get_if<Data>(&storage_); }
    std::optional<int64_t> AsInteger() const { return Get<int64_t>(); }
    std::optional<double> AsReal() const { return Get<double>(); }
    std::optional<bool> AsBoolean() const { return Get<bool>(); }
    std::optional<PlistDate> AsDate() const { return Get<PlistDate>(); }

    // The value stored under `key` when this is a dictionary holding it, else null.
    const PlistValue* Find(std::string_view key) const;
    PlistValue* Find(std::string_view key);

    // Replace the content with an empty container, string or data and return it for filling.
    Dictionary& EmplaceDictionary() { return storage_.emplace<Dictionary>(); }
    Array& EmplaceArray() { return storage_.emplace<Array>(); }
    std::string& EmplaceString() { return storage_.emplace<std::string>(); }
    Data& EmplaceData() { return storage_.emplace<Data>(); }

    // Deep equality. Reals compare with ==, except that two NaNs are equal, so a tree that holds
    // a NaN still equals its own copy.
    friend bool operator==(const PlistValue& a, const PlistValue& b);

  private:
    template <typename T>
    std::optional<T> Get() const {
        if (const T* value = std::get_if<T>(&storage_)) return *value;
        return std::nullopt;
    }

    // The alternatives are in PlistKind order.
    std::variant<std::monostate, Dictionary, Array, std::string, int64_t, double, bool, PlistDate,
                 Data>
        storage_;
};

// Larger inputs are refused before any parsing (a file before it is read); no property list the
// library deals with comes near this, and it keeps every size computation far from overflow.
inline constexpr size_t kPlistCodecMaxInputBytes = size_t{512} << 20;

// Reads the whole file and parses it with ReadPlistFromMemory.
bool ReadPlist(const std::string& path, PlistValue& value);

// Binary when the bytes begin with "bplist00", XML otherwise. True when a value was read; on any
// failure `value` is left empty (it is cleared first).
bool ReadPlistFromMemory(const void* bytes, size_t length, PlistValue& value);

// The value as a binary property list; nullopt for an empty value or a tree nested deeper than
// the readers accept.
std::optional<std::string> EncodePlistBinary(const PlistValue& value);

// Encodes the value and replaces the file with the bytes atomically (the old file survives any
// failure). False when the value cannot be encoded or the file cannot be written.
bool WritePlistBinary(const std::string& path, const PlistValue& value);

}  // namespace bw
