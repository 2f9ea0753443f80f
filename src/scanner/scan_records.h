// The item records that file scanners hand to the host: one found file (CScanFileInfo) and one
// file inside an application's container (CAppDetailFile).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "brackwater/scan.h"

namespace bw {

// The two-call text getter of every result record: the length in characters plus 2, and with a
// buffer the text and its terminating zero copied into it.
size_t CopyTextOut(const std::u16string& text, BwChar* buffer);

// The Select (toggle) rule of every record: a true toggle inverts the flag; the flag is returned.
inline unsigned char ToggleSelected(uint8_t& selected, unsigned char toggle) {
    if (toggle != 0) selected = selected != 0 ? 0 : 1;
    return selected;
}

// Item `index` of a record's owned list as the host sees it; null outside 0 to count - 1.
template <class Item, class Owned>
Item* ItemAt(const std::vector<std::unique_ptr<Owned>>& items, int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= items.size()) return nullptr;
    return items[static_cast<size_t>(index)].get();
}

class CScanFileInfo : public IScanFileInfo {
  public:
    // `devicePath` is the UTF-8 path the scanner removes; the host sees it converted.
    CScanFileInfo(std::string_view name, std::string devicePath, uint64_t size);

    size_t GetName(BwChar* buffer) override { return CopyTextOut(name, buffer); }
    size_t GetPath(BwChar* buffer) override { return CopyTextOut(path, buffer); }
    uint64_t GetSize() override { return size; }
    unsigned char Select(unsigned char toggle) override;
    unsigned char GetFlag() override { return flag; }

    std::u16string name;
    std::u16string path;
    uint64_t size = 0;
    uint8_t flag = 0;
    uint8_t selected = 1;
    // Kept in UTF-8 so that a name the device holds in invalid UTF-8 is still removed by its own
    // bytes rather than by a replacement character.
    std::string devicePath;
};

class CAppDetailFile : public IAppDetailFile {
  public:
    // `containerPath` is the full path inside the container; the display path drops `prefix`
    // from its front when it is there.
    CAppDetailFile(std::string_view name, std::string containerPath, uint64_t size,
                   std::string_view prefix);

    size_t GetName(BwChar* buffer) override { return CopyTextOut(name, buffer); }
    size_t GetPath(BwChar* buffer) override { return CopyTextOut(path, buffer); }
    uint64_t GetSize() override { return size; }
    unsigned char Select(unsigned char toggle) override;
    unsigned char GetFlag() override { return flag; }
    size_t GetDisplayPath(BwChar* buffer) override { return CopyTextOut(displayPath, buffer); }

    std::u16string name;
    std::u16string path;
    uint64_t size = 0;
    uint8_t selected = 1;
    uint8_t flag = 0;
    std::u16string displayPath;
    std::string devicePath;  // UTF-8, as for CScanFileInfo
};

}  // namespace bw
