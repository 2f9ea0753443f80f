// Application records handed to the host: CAppInfoModel for the installed-application list and
// CAppInfo for the per-application results of the sandbox scans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "brackwater/apps.h"

namespace bw {

// The two-call getters of result records. Texts: the length in UTF-16 characters plus 2, and
// with a buffer the text and its terminating zero copied first. Bytes: the byte count, and with
// a buffer the bytes copied.
size_t CopyTwoCallText(std::string_view utf8, BwChar* buffer);
size_t CopyTwoCallBytes(std::string_view bytes, unsigned char* buffer);

class CAppInfoModel : public ::IAppInfo {
  public:
    CAppInfoModel() = default;
    CAppInfoModel(std::string icon, std::string displayName, std::string identifier)
        : iconData(std::move(icon)),
          name(std::move(displayName)),
          bundleIdentifier(std::move(identifier)) {}

    IAppDetailFile* GetItem(int32_t index) override;
    size_t GetIconData(unsigned char* buffer) override;
    size_t GetName(BwChar* buffer) override;
    size_t GetIdentifier(BwChar* buffer) override;
    unsigned char Selected(unsigned char toggle) override;
    int32_t GetItemCount() override;
    uint64_t GetTotalSize() override;
    int32_t GetKindCount() override;
    uint64_t GetTotalSizeSecondEntry() override;

    std::string iconData;          // PNG bytes; empty when none was found
    std::string name;              // UTF-8
    std::string bundleIdentifier;  // UTF-8
    // Installed applications start unselected: the host selects the ones it acts on (for example
    // the ones to leave out of a sandbox scan), and nothing was "found" for it to keep.
    uint8_t selected = 0;
};

// The child items of a CAppInfo are the scan's file records. The record owns them and destroys
// each through its virtual destructor; the deleter is taken where the item's type is complete
// (AddItem), so this header needs no definition of the scan's item types.
using AppInfoItem = std::unique_ptr<IAppDetailFile, void (*)(IAppDetailFile*)>;

class CAppInfo : public ::IAppInfo {
  public:
    CAppInfo() = default;
    ~CAppInfo() override = default;
    CAppInfo(const CAppInfo&) = delete;
    CAppInfo& operator=(const CAppInfo&) = delete;

    IAppDetailFile* GetItem(int32_t index) override;
    size_t GetIconData(unsigned char* buffer) override;
    size_t GetName(BwChar* buffer) override;
    size_t GetIdentifier(BwChar* buffer) override;
    unsigned char Selected(unsigned char toggle) override;
    int32_t GetItemCount() override;
    uint64_t GetTotalSize() override;
    int32_t GetKindCount() override;
    uint64_t GetTotalSizeSecondEntry() override;

    // Takes ownership of a file record of the scan (a class derived from IAppDetailFile).
    template <typename Item>
    void AddItem(std::unique_ptr<Item> item) {
        if (item == nullptr) return;
        items.emplace_back(item.release(),
                           [](IAppDetailFile* owned) { delete static_cast<Item*>(owned); });
    }

    // Fields in their order.
    std::vector<AppInfoItem> items;    // the files found, in the order found
    std::vector<std::string> folders;  // device folders the scan removes after the files
    std::string iconData;
    std::string name;
    std::string bundleIdentifier;
    uint8_t selected = 0;
    int32_t itemCount = 0;
    uint64_t totalSize = 0;
    int32_t kindCount = 0;
    uint64_t extraValue = 0;
};

}  // namespace bw
