#include "privacy/springboard_icons.h"

#include "device/iphone.h"

namespace bw {

SpringboardIcons::SpringboardIcons(CIPhone* device) : device_(device) {
    if (device_ == nullptr || !OpenSpringboardServices(*device_)) return;
    open_ = true;
    if (!GetIconState(*device_, layout_)) layout_.clear();
}

SpringboardIcons::~SpringboardIcons() {
    Close();
}

const IconLayoutEntry* SpringboardIcons::Find(std::string_view bundleIdentifier) const {
    for (const IconLayoutEntry& entry : layout_) {
        if (entry.bundleIdentifier == bundleIdentifier) return &entry;
    }
    return nullptr;
}

std::string SpringboardIcons::Icon(const std::string& bundleIdentifier) {
    std::string png;
    if (!open_ || broken_) return png;
    if (!GetIconPngData(*device_, bundleIdentifier, png)) {
        broken_ = true;
        png.clear();
    }
    return png;
}

void SpringboardIcons::Close() {
    if (!open_) return;
    open_ = false;
    device_->CloseSession();
}

}  // namespace bw
