#include "formats/binary_cookies.h"

#include <algorithm>
#include <cstring>

namespace bw {
namespace {

constexpr CookieWord kMagic{'c', 'o', 'o', 'k'};

uint32_t Big32(std::string_view bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i)
        value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

uint32_t Little32(std::string_view bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 4; i-- > 0;)
        value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

template <size_t N>
std::array<uint8_t, N> Raw(std::string_view bytes, size_t at) {
    std::array<uint8_t, N> raw{};
    std::memcpy(raw.data(), bytes.data() + at, N);
    return raw;
}

double LittleDouble(const CookieQuad& raw) {
    uint64_t bits = 0;
    for (size_t i = raw.size(); i-- > 0;)
        bits = (bits << 8) | raw[i];
    double value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void PutBig32(std::string& out, uint32_t value) {
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    out.append(bytes, 4);
}

void PutLittle32(std::string& out, uint32_t value) {
    const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                           static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
    out.append(bytes, 4);
}

template <size_t N>
void PutRaw(std::string& out, const std::array<uint8_t, N>& raw) {
    out.append(reinterpret_cast<const char*>(raw.data()), N);
}

// What a record occupies when written: the fixed part and its strings. For a record as read this
// is its size, because the reader accepts only strings that fill the record from the fixed part
// to its end.
uint64_t WrittenRecordSize(const CookieRecord& record) {
    return kCookieRecordHeaderSize + record.stringBytes.size();
}

class Reader {
  public:
    Reader(std::string_view bytes, std::string* error) : bytes_(bytes), error_(error) {}

    bool Read(BinaryCookieFile& file) {
        if (bytes_.size() < kCookieFileHeaderSize) return Fail("shorter than its header");
        file.magic = Raw<4>(bytes_, 0);
        if (file.magic != kMagic) return Fail("not a cookie file");
        const uint64_t count = Big32(bytes_, 4);
        // Every page takes four bytes of the size table and at least its own overhead, so a
        // count that cannot fit is refused before anything is reserved for it.
        if (count * (4 + kCookiePageOverhead) > bytes_.size() - kCookieFileHeaderSize)
            return Fail("more pages than the file can hold");
        size_t at = kCookieFileHeaderSize + 4 * count;
        file.pages.clear();
        file.pages.reserve(count);
        for (uint64_t i = 0; i < count; ++i) {
            const uint32_t size = Big32(bytes_, kCookieFileHeaderSize + 4 * i);
            if (size < kCookiePageOverhead) return Fail("a page shorter than its overhead");
            if (size > bytes_.size() - at) return Fail("a page past the end of the file");
            CookiePage& page = file.pages.emplace_back();
            if (!ReadPage(bytes_.substr(at, size), page)) return false;
            at += size;
        }
        file.trailer.assign(bytes_.substr(at));
        return true;
    }

  private:
    bool Fail(const char* reason) {
        if (error_ != nullptr) *error_ = reason;
        return false;
    }

    bool ReadPage(std::string_view page, CookiePage& out) {
        out.size = static_cast<uint32_t>(page.size());
        out.header = Raw<4>(page, 0);
        const uint64_t count = Little32(page, 4);
        const uint64_t recordsStart = kCookiePageOverhead + 4 * count;
        if (recordsStart > page.size()) return Fail("more cookies than the page can hold");
        out.footer = Raw<4>(page, recordsStart - 4);
        out.cookies.resize(count);
        for (uint64_t i = 0; i < count; ++i) {
            const uint32_t offset = Little32(page, 8 + 4 * i);
            if (offset < recordsStart || offset > page.size() ||
                page.size() - offset < kCookieRecordHeaderSize)
                return Fail("a cookie outside its page");
            if (!ReadRecord(page, offset, out.cookies[i])) return false;
        }
        return true;
    }

    bool ReadRecord(std::string_view page, uint32_t offset, CookieRecord& record) {
        const uint32_t size = Little32(page, offset);
        if (size < kCookieRecordHeaderSize || size > page.size() - offset)
            return Fail("a cookie record of impossible size");
        const std::string_view bytes = page.substr(offset, size);
        record.offset = offset;
        record.size = size;
        record.reserved1 = Raw<4>(bytes, 4);
        record.flags = Raw<4>(bytes, 8);
        record.reserved2 = Raw<4>(bytes, 12);
        for (size_t field = 0; field < kCookieFieldCount; ++field) {
            record.stringOffsets[field] = Little32(bytes, 16 + 4 * field);
            if (record.stringOffsets[field] > size) return Fail("a string past its record");
        }
        record.endOfHeader = Raw<8>(bytes, 32);
        record.expiration = Raw<8>(bytes, 40);
        record.creation = Raw<8>(bytes, 48);
        // Everything after the fixed part is kept, bytes before the first string included, so
        // that the record is written back whole and its size word stays true.
        record.stringBytes.assign(bytes.substr(kCookieRecordHeaderSize));
        return true;
    }

    std::string_view bytes_;
    std::string* error_;
};

}  // namespace

double CookieRecord::Expiration() const {
    return LittleDouble(expiration);
}

double CookieRecord::Creation() const {
    return LittleDouble(creation);
}

std::string_view CookieRecord::String(CookieField field) const {
    const std::array<CookieField, kCookieFieldCount> order = FieldsByOffset(*this);
    const size_t place =
        static_cast<size_t>(std::find(order.begin(), order.end(), field) - order.begin());
    const uint64_t end = kCookieRecordHeaderSize + stringBytes.size();
    const uint64_t next = place + 1 < kCookieFieldCount ? stringOffsets[order[place + 1]] : end;
    // A record made by hand may name offsets outside its strings: they give what lies inside.
    const uint64_t from = std::clamp<uint64_t>(stringOffsets[field], kCookieRecordHeaderSize, end);
    const uint64_t to = std::clamp<uint64_t>(next, from, end);
    return std::string_view(stringBytes).substr(from - kCookieRecordHeaderSize, to - from);
}

void CookieRecord::SetStrings(const std::array<std::string_view, kCookieFieldCount>& strings) {
    stringBytes.clear();
    for (size_t field = 0; field < kCookieFieldCount; ++field) {
        stringOffsets[field] = static_cast<uint32_t>(kCookieRecordHeaderSize + stringBytes.size());
        stringBytes.append(strings[field]);
    }
    size = static_cast<uint32_t>(kCookieRecordHeaderSize + stringBytes.size());
}

std::array<CookieField, kCookieFieldCount> FieldsByOffset(const CookieRecord& record) {
    std::array<CookieField, kCookieFieldCount> order{kCookieUrl, kCookieName, kCookiePath,
                                                     kCookieValue};
    std::stable_sort(order.begin(), order.end(), [&](CookieField a, CookieField b) {
        return record.stringOffsets[a] < record.stringOffsets[b];
    });
    return order;
}

bool ReadBinaryCookies(std::string_view bytes, BinaryCookieFile& file, std::string* error) {
    return Reader(bytes, error).Read(file);
}

uint32_t WrittenPageSize(const CookiePageView& page) {
    uint64_t size = kCookiePageOverhead + 4 * page.cookies.size();
    for (const CookieRecord* record : page.cookies)
        size += WrittenRecordSize(*record);
    return static_cast<uint32_t>(size);
}

std::string WriteBinaryCookies(const CookieWord& magic, const std::vector<CookiePageView>& pages,
                               std::string_view trailer) {
    std::vector<uint32_t> sizes;
    sizes.reserve(pages.size());
    uint64_t total = kCookieFileHeaderSize + 4 * pages.size() + trailer.size();
    for (const CookiePageView& page : pages) {
        sizes.push_back(WrittenPageSize(page));
        total += sizes.back();
    }
    std::string out;
    out.reserve(total);
    PutRaw(out, magic);
    PutBig32(out, static_cast<uint32_t>(pages.size()));
    for (uint32_t size : sizes)
        PutBig32(out, size);
    for (const CookiePageView& page : pages) {
        PutRaw(out, *page.header);
        PutLittle32(out, static_cast<uint32_t>(page.cookies.size()));
        uint64_t offset = kCookiePageOverhead + 4 * page.cookies.size();
        for (const CookieRecord* record : page.cookies) {
            PutLittle32(out, static_cast<uint32_t>(offset));
            offset += WrittenRecordSize(*record);
        }
        PutRaw(out, *page.footer);
        for (const CookieRecord* record : page.cookies) {
            PutLittle32(out, record->size);
            PutRaw(out, record->reserved1);
            PutRaw(out, record->flags);
            PutRaw(out, record->reserved2);
            for (uint32_t stringOffset : record->stringOffsets)
                PutLittle32(out, stringOffset);
            PutRaw(out, record->endOfHeader);
            PutRaw(out, record->expiration);
            PutRaw(out, record->creation);
            out += record->stringBytes;
        }
    }
    out.append(trailer);
    return out;
}

std::string WriteBinaryCookies(const BinaryCookieFile& file) {
    std::vector<CookiePageView> views(file.pages.size());
    for (size_t i = 0; i < file.pages.size(); ++i) {
        views[i].header = &file.pages[i].header;
        views[i].footer = &file.pages[i].footer;
        for (const CookieRecord& record : file.pages[i].cookies)
            views[i].cookies.push_back(&record);
    }
    return WriteBinaryCookies(file.magic, views, file.trailer);
}

bool RemoveCookie(BinaryCookieFile& file, size_t page, size_t cookie) {
    if (page >= file.pages.size() || cookie >= file.pages[page].cookies.size()) return false;
    std::vector<CookieRecord>& cookies = file.pages[page].cookies;
    cookies.erase(cookies.begin() + static_cast<std::ptrdiff_t>(cookie));
    return true;
}

bool RemoveCookiePage(BinaryCookieFile& file, size_t page) {
    if (page >= file.pages.size()) return false;
    file.pages.erase(file.pages.begin() + static_cast<std::ptrdiff_t>(page));
    return true;
}

}  // namespace bw
