#include "formats/plist_library.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <variant>

#include "platform/clock.h"

namespace bw {

// Positions of a dictionary's entries by the hash of their key. The entries stay the one
// ordered store; the index only shortens the search, and every hit is checked against the key.
// It covers the first `covered` entries, so entries appended after it was built are added on the
// next Set without a rebuild.
struct DictionaryIndex {
    std::unordered_multimap<size_t, size_t> positions;
    size_t covered = 0;
};

struct CDicValueObj::Payload {
    std::variant<std::monostate, PlistDictionary, PlistArray, std::string, int64_t, double, bool,
                 PlistCalendar>
        value;
    // Only for dictionaries, made by the first Set on one past kIndexedFrom entries. Shared by
    // the copies that share the payload, like the entries.
    std::unique_ptr<DictionaryIndex> index;
    // Only for integers: the 64 bits are an unsigned number above INT64_MAX.
    bool unsignedInteger = false;

    template <typename T>
    explicit Payload(T v) : value(std::move(v)) {}
    ~Payload();
};

// A deep tree would otherwise be destroyed one nested destructor call per level. Children that
// nobody else shares are taken apart here, on the heap.
CDicValueObj::Payload::~Payload() {
    std::vector<std::shared_ptr<Payload>> pending;
    const auto takeChildren = [&pending](Payload& payload) {
        if (auto* entries = std::get_if<PlistDictionary>(&payload.value)) {
            for (auto& entry : *entries)
                pending.push_back(std::move(entry.second.payload_));
            entries->clear();
        } else if (auto* items = std::get_if<PlistArray>(&payload.value)) {
            for (auto& item : *items)
                pending.push_back(std::move(item.payload_));
            items->clear();
        }
    };
    takeChildren(*this);
    while (!pending.empty()) {
        std::shared_ptr<Payload> child = std::move(pending.back());
        pending.pop_back();
        if (child && child.use_count() == 1) takeChildren(*child);
    }
}

namespace {

// Seconds from 1970-01-01 to 2001-01-01, the reference date of property-list dates.
constexpr int64_t kReferenceDateUnix = 978307200;
// 0001-01-01T00:00:00Z and 9999-12-31T23:59:59Z in seconds since the reference date: the range
// that calendar fields and the XML spelling of dates both hold.
constexpr int64_t kFirstDate = -62135596800 - kReferenceDateUnix;
constexpr int64_t kLastDate = 253402300799 - kReferenceDateUnix;

}  // namespace

PlistCalendar PlistCalendarFromReferenceSeconds(int64_t sinceReference) {
    const std::tm utc = platform::UtcCalendar(std::clamp(sinceReference, kFirstDate, kLastDate) +
                                              kReferenceDateUnix);
    PlistCalendar date;
    date.second = utc.tm_sec;
    date.minute = utc.tm_min;
    date.hour = utc.tm_hour;
    date.day = utc.tm_mday;
    date.month = utc.tm_mon;
    date.year = utc.tm_year;
    date.weekday = utc.tm_wday;
    date.yearDay = utc.tm_yday;
    date.isDst = 0;
    return date;
}

int64_t PlistReferenceSecondsFromCalendar(const PlistCalendar& date) {
    std::tm utc{};
    utc.tm_sec = date.second;
    utc.tm_min = date.minute;
    utc.tm_hour = date.hour;
    utc.tm_mday = date.day;
    utc.tm_mon = date.month;
    utc.tm_year = date.year;
    const int64_t unixSeconds = platform::UnixSecondsFromUtc(utc);
    return std::clamp(unixSeconds, kFirstDate + kReferenceDateUnix,
                      kLastDate + kReferenceDateUnix) -
           kReferenceDateUnix;
}

CDicValueObj CDicValueObj::MakeDictionary() {
    CDicValueObj value;
    value.type = kPlistDictionary;
    value.payload_ = std::make_shared<Payload>(PlistDictionary());
    return value;
}

CDicValueObj CDicValueObj::MakeArray() {
    CDicValueObj value;
    value.type = kPlistArray;
    value.payload_ = std::make_shared<Payload>(PlistArray());
    return value;
}

CDicValueObj CDicValueObj::MakeString(std::string text) {
    CDicValueObj value;
    value.type = kPlistString;
    value.payload_ = std::make_shared<Payload>(std::move(text));
    return value;
}

CDicValueObj CDicValueObj::MakeInteger(int64_t number) {
    CDicValueObj value;
    value.type = kPlistInteger;
    value.payload_ = std::make_shared<Payload>(number);
    return value;
}

CDicValueObj CDicValueObj::MakeUnsignedInteger(uint64_t number) {
    CDicValueObj value = MakeInteger(static_cast<int64_t>(number));
    value.payload_->unsignedInteger = number > static_cast<uint64_t>(INT64_MAX);
    return value;
}

bool CDicValueObj::IsUnsignedInteger() const {
    return Integer() != nullptr && payload_->unsignedInteger;
}

CDicValueObj CDicValueObj::MakeReal(double number) {
    CDicValueObj value;
    value.type = kPlistReal;
    value.payload_ = std::make_shared<Payload>(number);
    return value;
}

CDicValueObj CDicValueObj::MakeBool(bool flag) {
    CDicValueObj value;
    value.type = flag ? kPlistTrue : kPlistFalse;
    value.payload_ = std::make_shared<Payload>(flag);
    return value;
}

CDicValueObj CDicValueObj::MakeData(std::string bytes) {
    CDicValueObj value;
    value.type = kPlistData;
    value.payload_ = std::make_shared<Payload>(std::move(bytes));
    return value;
}

// The fields are normalised the way a list read back would hold them (weekday and day of the
// year filled in, out-of-range fields carried over), clamped to the years 1 to 9999.
CDicValueObj CDicValueObj::MakeDate(const PlistCalendar& date) {
    CDicValueObj value;
    value.type = kPlistDate;
    value.payload_ = std::make_shared<Payload>(
        PlistCalendarFromReferenceSeconds(PlistReferenceSecondsFromCalendar(date)));
    return value;
}

const PlistDictionary* CDicValueObj::Dictionary() const {
    if (type != kPlistDictionary || !payload_) return nullptr;
    return std::get_if<PlistDictionary>(&payload_->value);
}

PlistDictionary* CDicValueObj::Dictionary() {
    if (type != kPlistDictionary || !payload_) return nullptr;
    // The caller may change keys or remove entries through the reference, which the index would
    // not see. Only a Set makes an index, so a tree that is only read is never written here.
    if (payload_->index != nullptr) payload_->index.reset();
    return std::get_if<PlistDictionary>(&payload_->value);
}

const PlistArray* CDicValueObj::Array() const {
    if (type != kPlistArray || !payload_) return nullptr;
    return std::get_if<PlistArray>(&payload_->value);
}

PlistArray* CDicValueObj::Array() {
    if (type != kPlistArray || !payload_) return nullptr;
    return std::get_if<PlistArray>(&payload_->value);
}

const std::string* CDicValueObj::String() const {
    if (type != kPlistString || !payload_) return nullptr;
    return std::get_if<std::string>(&payload_->value);
}

const int64_t* CDicValueObj::Integer() const {
    if (type != kPlistInteger || !payload_) return nullptr;
    return std::get_if<int64_t>(&payload_->value);
}

const double* CDicValueObj::Real() const {
    if (type != kPlistReal || !payload_) return nullptr;
    return std::get_if<double>(&payload_->value);
}

const std::string* CDicValueObj::Data() const {
    if (type != kPlistData || !payload_) return nullptr;
    return std::get_if<std::string>(&payload_->value);
}

const PlistCalendar* CDicValueObj::Date() const {
    if (type != kPlistDate || !payload_) return nullptr;
    return std::get_if<PlistCalendar>(&payload_->value);
}

namespace {

// Small dictionaries, most of those in device messages, are searched faster than hashed.
constexpr size_t kIndexedFrom = 16;

size_t KeyHash(std::string_view key) {
    return std::hash<std::string_view>{}(key);
}

std::optional<size_t> ScanFor(const PlistDictionary& entries, std::string_view key) {
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].first == key) return i;
    }
    return std::nullopt;
}

// The first entry with the key among those the index covers.
std::optional<size_t> IndexedFind(const DictionaryIndex& index, const PlistDictionary& entries,
                                  std::string_view key) {
    std::optional<size_t> first;
    const auto [begin, end] = index.positions.equal_range(KeyHash(key));
    for (auto it = begin; it != end; ++it) {
        if (entries[it->second].first == key && (!first || it->second < *first)) {
            first = it->second;
        }
    }
    return first;
}

void Cover(DictionaryIndex& index, const PlistDictionary& entries) {
    for (; index.covered < entries.size(); ++index.covered) {
        index.positions.emplace(KeyHash(entries[index.covered].first), index.covered);
    }
}

}  // namespace

const CDicValueObj* CDicValueObj::Find(std::string_view key) const {
    const PlistDictionary* entries = Dictionary();
    if (entries == nullptr) return nullptr;
    // Find may run on a tree that other threads read too, so it never builds the index; it
    // uses one that Set left behind when it still covers every entry.
    const DictionaryIndex* index = payload_->index.get();
    const std::optional<size_t> at = index != nullptr && index->covered == entries->size()
                                         ? IndexedFind(*index, *entries, key)
                                         : ScanFor(*entries, key);
    return at ? &(*entries)[*at].second : nullptr;
}

void CDicValueObj::Set(std::string key, CDicValueObj value) {
    if (type == kPlistNone) *this = MakeDictionary();
    if (type != kPlistDictionary || !payload_) return;
    auto* entries = std::get_if<PlistDictionary>(&payload_->value);
    if (entries == nullptr) return;
    std::unique_ptr<DictionaryIndex>& index = payload_->index;
    if (index != nullptr && index->covered > entries->size()) index.reset();
    if (index == nullptr && entries->size() >= kIndexedFrom) {
        index = std::make_unique<DictionaryIndex>();
        index->positions.reserve(entries->size() * 2);
    }
    std::optional<size_t> at;
    if (index != nullptr) {
        Cover(*index, *entries);
        at = IndexedFind(*index, *entries, key);
    } else {
        at = ScanFor(*entries, key);
    }
    if (at) {
        (*entries)[*at].second = std::move(value);
        return;
    }
    entries->emplace_back(std::move(key), std::move(value));
    if (index != nullptr) Cover(*index, *entries);
}

bool CDicValueObj::Remove(std::string_view key) {
    if (type != kPlistDictionary || !payload_) return false;
    auto* entries = std::get_if<PlistDictionary>(&payload_->value);
    if (entries == nullptr) return false;
    const std::optional<size_t> at = ScanFor(*entries, key);
    if (!at) return false;
    // Every later entry moves down one place, so the index is rebuilt on the next Set.
    payload_->index.reset();
    entries->erase(entries->begin() + static_cast<std::ptrdiff_t>(*at));
    return true;
}

std::optional<std::string> CDicValueObj::GetString(std::string_view key) const {
    const CDicValueObj* value = Find(key);
    if (value == nullptr || value->String() == nullptr) return std::nullopt;
    return *value->String();
}

std::optional<int64_t> CDicValueObj::GetInteger(std::string_view key) const {
    const CDicValueObj* value = Find(key);
    if (value == nullptr || value->Integer() == nullptr) return std::nullopt;
    return *value->Integer();
}

std::optional<double> CDicValueObj::GetReal(std::string_view key) const {
    const CDicValueObj* value = Find(key);
    if (value == nullptr || value->Real() == nullptr) return std::nullopt;
    return *value->Real();
}

std::optional<bool> CDicValueObj::GetBool(std::string_view key) const {
    const CDicValueObj* value = Find(key);
    if (value == nullptr || !value->IsBool()) return std::nullopt;
    return value->type == kPlistTrue;
}

std::optional<std::string> CDicValueObj::GetData(std::string_view key) const {
    const CDicValueObj* value = Find(key);
    if (value == nullptr || value->Data() == nullptr) return std::nullopt;
    return *value->Data();
}

std::optional<PlistCalendar> CDicValueObj::GetDate(std::string_view key) const {
    const CDicValueObj* value = Find(key);
    if (value == nullptr || value->Date() == nullptr) return std::nullopt;
    return *value->Date();
}

void CDicValueObj::Release() {
    payload_.reset();
    type = kPlistNone;
}

bool PlistEquals(const CDicValueObj& a, const CDicValueObj& b) {
    struct Pair {
        const CDicValueObj* left;
        const CDicValueObj* right;
        int depth;
    };
    std::vector<Pair> stack{{&a, &b, 0}};
    while (!stack.empty()) {
        const Pair pair = stack.back();
        stack.pop_back();
        const CDicValueObj& left = *pair.left;
        const CDicValueObj& right = *pair.right;
        if (left.type != right.type) return false;
        // A tree that contains itself has no end; such trees can be neither read nor written.
        if (pair.depth > kPlistMaxNesting) return false;
        const auto sameScalar = [](const auto* x, const auto* y) {
            return (x == nullptr && y == nullptr) || (x != nullptr && y != nullptr && *x == *y);
        };
        switch (left.type) {
            case kPlistDictionary: {
                const PlistDictionary* x = left.Dictionary();
                const PlistDictionary* y = right.Dictionary();
                if (x == y) break;
                if (x == nullptr || y == nullptr || x->size() != y->size()) return false;
                for (size_t i = 0; i < x->size(); ++i) {
                    if ((*x)[i].first != (*y)[i].first) return false;
                    stack.push_back({&(*x)[i].second, &(*y)[i].second, pair.depth + 1});
                }
                break;
            }
            case kPlistArray: {
                const PlistArray* x = left.Array();
                const PlistArray* y = right.Array();
                if (x == y) break;
                if (x == nullptr || y == nullptr || x->size() != y->size()) return false;
                for (size_t i = 0; i < x->size(); ++i) {
                    stack.push_back({&(*x)[i], &(*y)[i], pair.depth + 1});
                }
                break;
            }
            case kPlistString:
                if (!sameScalar(left.String(), right.String())) return false;
                break;
            case kPlistInteger:
                if (!sameScalar(left.Integer(), right.Integer())) return false;
                if (left.IsUnsignedInteger() != right.IsUnsignedInteger()) return false;
                break;
            case kPlistReal: {
                const double* x = left.Real();
                const double* y = right.Real();
                const bool bothNan = x && y && std::isnan(*x) && std::isnan(*y);
                if (!bothNan && !sameScalar(x, y)) return false;
                break;
            }
            case kPlistData:
                if (!sameScalar(left.Data(), right.Data())) return false;
                break;
            case kPlistDate: {
                const PlistCalendar* x = left.Date();
                const PlistCalendar* y = right.Date();
                if ((x == nullptr) != (y == nullptr)) return false;
                if (x && std::memcmp(x, y, sizeof *x) != 0) return false;
                break;
            }
            default:  // booleans and kPlistNone are equal by their type code
                break;
        }
    }
    return true;
}

}  // namespace bw
