// Values between CoreFoundation and libplist. Both sides speak property lists, so every value
// crosses as the bytes of a binary property list, through CoreFoundation's own reader and writer.
#pragma once

#include <plist/plist.h>

#include <optional>
#include <string>

#include "cf/CoreFoundation.h"

namespace bw::imd {

// The UTF-8 text of a CF string; nullopt for anything that is not a string, a NUL inside or a
// text longer than `limit` bytes.
std::optional<std::string> TextOf(CFTypeRef value, size_t limit = 4096);

// A new CF string (+1), or null when the text is not UTF-8.
CFStringRef MakeString(const std::string& text);

// A new CF value (+1) with the same content, or null when the tree cannot be written or read
// back, or its bytes pass kMaxMessageBytes.
CFTypeRef CFFromPlist(plist_t node);

// A new libplist tree (plist_free) with the same content, or null when the value is not a
// property list.
plist_t PlistFromCF(CFTypeRef value);

// Owners for the two kinds of value.
struct CFOwner {
    explicit CFOwner(CFTypeRef value = nullptr) : value(value) {}
    CFOwner(const CFOwner&) = delete;
    CFOwner& operator=(const CFOwner&) = delete;
    ~CFOwner() {
        if (value != nullptr) CFRelease(value);
    }
    CFTypeRef value;
};

struct PlistOwner {
    explicit PlistOwner(plist_t node = nullptr) : node(node) {}
    PlistOwner(const PlistOwner&) = delete;
    PlistOwner& operator=(const PlistOwner&) = delete;
    ~PlistOwner() {
        if (node != nullptr) plist_free(node);
    }
    plist_t release() {
        plist_t taken = node;
        node = nullptr;
        return taken;
    }
    plist_t node;
};

// The string value of `key` in a dictionary node, or nullopt.
std::optional<std::string> PlistString(plist_t dictionary, const char* key);
// The text of a string node; nullopt for another node, or a text that holds a NUL.
std::optional<std::string> PlistText(plist_t node);

}  // namespace bw::imd
