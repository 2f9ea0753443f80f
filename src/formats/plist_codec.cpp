#include "formats/plist_codec.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "formats/plist_codec_internal.h"
#include "platform/files.h"

namespace bw {

double PlistDate::SecondsSince2001() const {
    // Subtracting in integers first keeps every date within 2^53 seconds of 2001 exact; only the
    // few values where that would overflow take the approximate way.
    if (unixSeconds < std::numeric_limits<int64_t>::min() + kUnixSecondsAt2001)
        return static_cast<double>(unixSeconds) - static_cast<double>(kUnixSecondsAt2001);
    return static_cast<double>(unixSeconds - kUnixSecondsAt2001);
}

std::optional<PlistDate> PlistDate::FromSecondsSince2001(double seconds) {
    constexpr double kLimit = 4611686018427387904.0;  // 2^62
    if (!(seconds > -kLimit && seconds < kLimit)) return std::nullopt;
    return PlistDate{static_cast<int64_t>(std::floor(seconds)) + kUnixSecondsAt2001};
}

PlistValue::PlistValue(const PlistValue& other) = default;
PlistValue::PlistValue(PlistValue&& other) noexcept = default;
PlistValue& PlistValue::operator=(const PlistValue& other) = default;
PlistValue& PlistValue::operator=(PlistValue&& other) noexcept = default;
PlistValue::~PlistValue() = default;

const PlistValue* PlistValue::Find(std::string_view key) const {
    const Dictionary* dictionary = AsDictionary();
    if (dictionary == nullptr) return nullptr;
    const auto it = dictionary->find(key);
    return it == dictionary->end() ? nullptr : &it->second;
}

PlistValue* PlistValue::Find(std::string_view key) {
    return const_cast<PlistValue*>(std::as_const(*this).Find(key));
}

bool operator==(const PlistValue& a, const PlistValue& b) {
    if (a.storage_.index() != b.storage_.index()) return false;
    if (const double* x = std::get_if<double>(&a.storage_)) {
        const double y = std::get<double>(b.storage_);
        return *x == y || (std::isnan(*x) && std::isnan(y));
    }
    return a.storage_ == b.storage_;
}

bool ReadPlist(const std::string& path, PlistValue& value) {
    value.Clear();
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes, plist_internal::kMaxInputBytes)) return false;
    return ReadPlistFromMemory(bytes.data(), bytes.size(), value);
}

bool ReadPlistFromMemory(const void* bytes, size_t length, PlistValue& value) {
    value.Clear();
    if (bytes == nullptr || length == 0 || length > plist_internal::kMaxInputBytes) return false;
    const auto* data = static_cast<const uint8_t*>(bytes);
    constexpr char kBinaryMagic[] = "bplist00";
    if (length >= 8 && std::memcmp(data, kBinaryMagic, 8) == 0)
        return plist_internal::ReadBinaryPlist(data, length, value);
    return plist_internal::ReadXmlPlist(data, length, value);
}

bool WritePlistBinary(const std::string& path, const PlistValue& value) {
    const std::optional<std::string> bytes = EncodePlistBinary(value);
    return bytes && platform::WriteFileAtomic(path, *bytes);
}

}  // namespace bw
