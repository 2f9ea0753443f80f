#include "privacy/safari_cookie_models.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "device/host_utils.h"
#include "platform/clock.h"
#include "platform/text.h"
#include "scanner/scan_records.h"

namespace bw {
namespace {

// Dates further than this from 2001 (about 3000 years) are not shown: the file is from outside
// and a calendar for such values says nothing a person could use.
constexpr double kLargestShownSeconds = 1.0e11;

constexpr const char* kFieldNames[kCookieFieldCount] = {"url", "name", "path", "value"};

template <size_t N>
size_t RawOut(const std::array<uint8_t, N>& raw, unsigned char* buffer) {
    if (buffer != nullptr) std::memcpy(buffer, raw.data(), N);
    return N;
}

unsigned char Toggle(uint8_t& flag, unsigned char toggle) {
    if (toggle != 0) flag = flag != 0 ? 0 : 1;
    return flag;
}

}  // namespace

std::u16string CookieDateText(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > kLargestShownSeconds) return {};
    std::tm epoch{};
    epoch.tm_year = 101;
    epoch.tm_mday = 1;
    epoch.tm_isdst = -1;
    const int64_t unix =
        platform::UnixSecondsFromLocal(epoch) + static_cast<int64_t>(std::llround(seconds));
    return Utf8ToWide(FormatDateTime(platform::LocalCalendar(unix)));
}

size_t CCookieContentModel::GetCreationDateText(BwChar* buffer) {
    return CopyTextOut(CookieDateText(record.Creation()), buffer);
}

size_t CCookieContentModel::GetExpirationDateText(BwChar* buffer) {
    return CopyTextOut(CookieDateText(record.Expiration()), buffer);
}

size_t CCookieContentModel::GetFlags(unsigned char* buffer) {
    return RawOut(record.flags, buffer);
}

unsigned char CCookieContentModel::Select(unsigned char toggle) {
    return Toggle(selected, toggle);
}

unsigned char CCookieContentModel::GetStringField(int32_t index, const char** name,
                                                  uint32_t* offset) {
    if (index < 0 || static_cast<size_t>(index) >= kCookieFieldCount) return 0;
    const CookieField field = FieldsByOffset(record)[static_cast<size_t>(index)];
    if (name != nullptr) *name = kFieldNames[field];
    if (offset != nullptr) *offset = record.stringOffsets[field];
    return 1;
}

size_t CCookieContentModel::GetReserved1(unsigned char* buffer) {
    return RawOut(record.reserved1, buffer);
}

size_t CCookieContentModel::GetEndOfHeader(unsigned char* buffer) {
    return RawOut(record.endOfHeader, buffer);
}

size_t CCookieContentModel::GetReserved2(unsigned char* buffer) {
    return RawOut(record.reserved2, buffer);
}

std::u16string CCookieContentModel::Text(CookieField field) const {
    std::string bytes(record.String(field));
    bytes.erase(std::remove(bytes.begin(), bytes.end(), '\0'), bytes.end());
    return Utf8ToWide(bytes);
}

size_t CCookieContentModel::BytesOut(CookieField field, unsigned char* buffer) const {
    const std::string_view bytes = record.String(field);
    if (buffer != nullptr) std::memcpy(buffer, bytes.data(), bytes.size());
    return bytes.size();
}

size_t CCookieContentModel::TextOut(CookieField field, BwChar* buffer) const {
    return CopyTextOut(Text(field), buffer);
}

ICookieContentModel* CCookiePageModel::GetCookie(int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= cookies.size()) return nullptr;
    return cookies[static_cast<size_t>(index)].get();
}

size_t CCookiePageModel::GetHeader(unsigned char* buffer) {
    return RawOut(header, buffer);
}

unsigned char CCookiePageModel::Keep(unsigned char toggle) {
    return Toggle(keep, toggle);
}

size_t CCookiePageModel::GetName(BwChar* buffer) {
    return CopyTextOut(name, buffer);
}

size_t CCookiePageModel::GetFooter(unsigned char* buffer) {
    return RawOut(footer, buffer);
}

ICookiePageModel* CCookieModel::GetPage(int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= pages.size()) return nullptr;
    return pages[static_cast<size_t>(index)].get();
}

size_t CCookieModel::GetTrailer(unsigned char* buffer) {
    if (buffer != nullptr) std::memcpy(buffer, trailer.data(), trailer.size());
    return trailer.size();
}

size_t CCookieModel::GetMagic(unsigned char* buffer) {
    return RawOut(magic, buffer);
}

void CCookieModel::Clear() {
    pages.clear();
    unreadPages.clear();
    total = 0;
    trailer.clear();
    magic = {'c', 'o', 'o', 'k'};
}

size_t CCookieModel::CookieCount() const {
    size_t count = 0;
    for (const auto& page : pages)
        count += page->cookies.size();
    return count;
}

}  // namespace bw
