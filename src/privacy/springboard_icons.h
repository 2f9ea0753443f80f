// The home-screen layout of a device and the icons of its applications, read over one
// springboard connection that lives as long as the object. Without a device, or when the service
// cannot be started, the layout is empty and no icon is found.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "device/app_icons.h"

namespace bw {

class CIPhone;

class SpringboardIcons {
  public:
    explicit SpringboardIcons(CIPhone* device);
    ~SpringboardIcons();
    SpringboardIcons(const SpringboardIcons&) = delete;
    SpringboardIcons& operator=(const SpringboardIcons&) = delete;

    bool IsOpen() const { return open_; }
    // The layout's entry of an application, or null when the home screen does not show it.
    const IconLayoutEntry* Find(std::string_view bundleIdentifier) const;
    // The PNG bytes of the application's icon; empty when the device has none.
    std::string Icon(const std::string& bundleIdentifier);
    void Close();

  private:
    CIPhone* device_;
    bool open_ = false;
    // A failed exchange leaves the connection out of step: a later reply could answer an earlier
    // request, so no more icons are asked for.
    bool broken_ = false;
    std::vector<IconLayoutEntry> layout_;
};

}  // namespace bw
