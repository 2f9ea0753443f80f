// The cookie tree the host reads and marks: the file, its pages and their cookies. Each cookie
// keeps its record as read, so a clean writes back exactly what it does not remove.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "brackwater/privacy.h"
#include "formats/binary_cookies.h"

namespace bw {

class CCookieContentModel : public ICookieContentModel {
  public:
    explicit CCookieContentModel(CookieRecord cookie) : record(std::move(cookie)) {}

    uint32_t GetOffset() override { return record.offset; }
    uint32_t GetRecordSize() override { return record.size; }
    size_t GetCreationDateText(BwChar* buffer) override;
    size_t GetExpirationDateText(BwChar* buffer) override;
    size_t GetFlags(unsigned char* buffer) override;
    unsigned char Select(unsigned char toggle) override;
    size_t GetNameBytes(unsigned char* buffer) override { return BytesOut(kCookieName, buffer); }
    uint32_t GetNameOffset() override { return record.stringOffsets[kCookieName]; }
    size_t GetName(BwChar* buffer) override { return TextOut(kCookieName, buffer); }
    unsigned char GetStringField(int32_t index, const char** name, uint32_t* offset) override;
    int32_t GetStringFieldCount() override { return static_cast<int32_t>(kCookieFieldCount); }
    size_t GetPathBytes(unsigned char* buffer) override { return BytesOut(kCookiePath, buffer); }
    uint32_t GetPathOffset() override { return record.stringOffsets[kCookiePath]; }
    size_t GetPath(BwChar* buffer) override { return TextOut(kCookiePath, buffer); }
    size_t GetReserved1(unsigned char* buffer) override;
    size_t GetUrlBytes(unsigned char* buffer) override { return BytesOut(kCookieUrl, buffer); }
    uint32_t GetUrlOffset() override { return record.stringOffsets[kCookieUrl]; }
    size_t GetUrl(BwChar* buffer) override { return TextOut(kCookieUrl, buffer); }
    size_t GetValueBytes(unsigned char* buffer) override { return BytesOut(kCookieValue, buffer); }
    uint32_t GetValueOffset() override { return record.stringOffsets[kCookieValue]; }
    size_t GetValue(BwChar* buffer) override { return TextOut(kCookieValue, buffer); }
    size_t GetEndOfHeader(unsigned char* buffer) override;
    size_t GetReserved2(unsigned char* buffer) override;
    double GetCreationDate() override { return record.Creation(); }
    double GetExpirationDate() override { return record.Expiration(); }

    // The field's bytes without their zero bytes, as host text.
    std::u16string Text(CookieField field) const;

    CookieRecord record;
    uint8_t selected = 1;

  private:
    size_t BytesOut(CookieField field, unsigned char* buffer) const;
    size_t TextOut(CookieField field, BwChar* buffer) const;
};

class CCookiePageModel : public ICookiePageModel {
  public:
    ICookieContentModel* GetCookie(int32_t index) override;
    int32_t GetCookieCount() override { return static_cast<int32_t>(cookies.size()); }
    size_t GetHeader(unsigned char* buffer) override;
    unsigned char Keep(unsigned char toggle) override;
    size_t GetName(BwChar* buffer) override;
    uint32_t GetPageSize() override { return pageSize; }
    size_t GetFooter(unsigned char* buffer) override;

    CookieWord header{};
    CookieWord footer{};
    uint32_t pageSize = 0;
    std::u16string name;
    uint8_t keep = 1;
    std::vector<std::unique_ptr<CCookieContentModel>> cookies;
    // Records a stop left unread: not shown, written back with the page as they are.
    std::vector<CookieRecord> unread;
};

class CCookieModel : public ICookieModel {
  public:
    ICookiePageModel* GetPage(int32_t index) override;
    int32_t GetPageCount() override { return static_cast<int32_t>(pages.size()); }
    int64_t GetTotal() override { return total; }
    size_t GetTrailer(unsigned char* buffer) override;
    size_t GetMagic(unsigned char* buffer) override;

    void Clear();
    size_t CookieCount() const;

    std::vector<std::unique_ptr<CCookiePageModel>> pages;
    // Pages a stop left unread: not shown, written back after the others as they are.
    std::vector<CookiePage> unreadPages;
    int64_t total = 0;
    std::string trailer;
    CookieWord magic{'c', 'o', 'o', 'k'};
};

// A date of the file shown as local time: 2001-01-01 00:00:00 local time plus the seconds,
// rounded; empty for a value no calendar holds.
std::u16string CookieDateText(double seconds);

}  // namespace bw
