#include "device/app_info.h"

#include <cstring>

#include "platform/text.h"

namespace bw {

size_t CopyTwoCallText(std::string_view utf8, BwChar* buffer) {
    const std::u16string text = Utf8ToWide(utf8);
    if (buffer != nullptr) {
        std::memcpy(buffer, text.data(), text.size() * sizeof(BwChar));
        buffer[text.size()] = 0;
    }
    return text.size() + 2;
}

size_t CopyTwoCallBytes(std::string_view bytes, unsigned char* buffer) {
    if (buffer != nullptr && !bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
    return bytes.size();
}

IAppDetailFile* CAppInfoModel::GetItem(int32_t) {
    return nullptr;
}

size_t CAppInfoModel::GetIconData(unsigned char* buffer) {
    return CopyTwoCallBytes(iconData, buffer);
}

size_t CAppInfoModel::GetName(BwChar* buffer) {
    return CopyTwoCallText(name, buffer);
}

size_t CAppInfoModel::GetIdentifier(BwChar* buffer) {
    return CopyTwoCallText(bundleIdentifier, buffer);
}

unsigned char CAppInfoModel::Selected(unsigned char toggle) {
    if (toggle != 0) selected = selected != 0 ? 0 : 1;
    return selected;
}

int32_t CAppInfoModel::GetItemCount() {
    return 0;
}

uint64_t CAppInfoModel::GetTotalSize() {
    return 0;
}

int32_t CAppInfoModel::GetKindCount() {
    return 0;
}

uint64_t CAppInfoModel::GetTotalSizeSecondEntry() {
    return 0;
}

IAppDetailFile* CAppInfo::GetItem(int32_t index) {
    if (index < 0 || static_cast<size_t>(index) >= items.size()) return nullptr;
    return items[static_cast<size_t>(index)].get();
}

size_t CAppInfo::GetIconData(unsigned char* buffer) {
    return CopyTwoCallBytes(iconData, buffer);
}

size_t CAppInfo::GetName(BwChar* buffer) {
    return CopyTwoCallText(name, buffer);
}

size_t CAppInfo::GetIdentifier(BwChar* buffer) {
    return CopyTwoCallText(bundleIdentifier, buffer);
}

unsigned char CAppInfo::Selected(unsigned char toggle) {
    if (toggle != 0) selected = selected != 0 ? 0 : 1;
    return selected;
}

int32_t CAppInfo::GetItemCount() {
    return itemCount;
}

uint64_t CAppInfo::GetTotalSize() {
    return totalSize;
}

int32_t CAppInfo::GetKindCount() {
    return kindCount;
}

uint64_t CAppInfo::GetTotalSizeSecondEntry() {
    return totalSize;
}

}  // namespace bw
