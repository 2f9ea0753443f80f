// CF strings to and from the UTF-8 text the simulator keeps.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cf/CoreFoundation.h"

namespace bw::sim::md {

// The UTF-8 text of a CF string; empty for NULL, an object that is no string, or text that
// UTF-8 cannot carry.
std::optional<std::string> Utf8Text(CFStringRef text);

// A new CF string (+1), or NULL when the bytes are not UTF-8.
CFStringRef NewCFString(std::string_view utf8);

// Releases a CF object when it goes out of scope.
class CFHolder {
  public:
    explicit CFHolder(CFTypeRef object) : object_(object) {}
    ~CFHolder() {
        if (object_ != nullptr) CFRelease(object_);
    }
    CFHolder(const CFHolder&) = delete;
    CFHolder& operator=(const CFHolder&) = delete;
    CFTypeRef get() const { return object_; }

  private:
    CFTypeRef object_;
};

}  // namespace bw::sim::md
