#include "scanner/scan_records.h"

#include <algorithm>

#include "platform/text.h"

namespace bw {

size_t CopyTextOut(const std::u16string& text, BwChar* buffer) {
    if (buffer != nullptr) {
        std::copy_n(text.data(), text.size(), buffer);
        buffer[text.size()] = 0;
    }
    return text.size() + 2;
}

CScanFileInfo::CScanFileInfo(std::string_view itemName, std::string itemPath, uint64_t itemSize)
    : name(Utf8ToWide(itemName)),
      path(Utf8ToWide(itemPath)),
      size(itemSize),
      devicePath(std::move(itemPath)) {}

unsigned char CScanFileInfo::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

CAppDetailFile::CAppDetailFile(std::string_view itemName, std::string containerPath,
                               uint64_t itemSize, std::string_view prefix)
    : name(Utf8ToWide(itemName)), path(Utf8ToWide(containerPath)), size(itemSize) {
    std::string_view display = containerPath;
    if (!prefix.empty() && display.starts_with(prefix)) display.remove_prefix(prefix.size());
    displayPath = Utf8ToWide(display);
    devicePath = std::move(containerPath);
}

unsigned char CAppDetailFile::Select(unsigned char toggle) {
    return ToggleSelected(selected, toggle);
}

}  // namespace bw
