// AirTraffic messages as CF dictionaries: {"Command": name, "Params": {...}, "Session": number}.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cf/CoreFoundation.h"

namespace bw::sim::ath {

// A new message (+1); null when `command` is no CF string or `params` is given and is no
// dictionary. Missing params become an empty dictionary, as devices expect a "Params" always.
CFDictionaryRef NewMessage(uint32_t session, CFStringRef command, CFDictionaryRef params);

// The same with a UTF-8 command name.
CFDictionaryRef NewMessage(uint32_t session, const char* command, CFDictionaryRef params);

// A new mutable dictionary with CF-type callbacks (+1).
CFMutableDictionaryRef NewDictionary();

// dictionary[key] = value, the key given as UTF-8; a null value is left out.
void SetValue(CFMutableDictionaryRef dictionary, const char* key, CFTypeRef value);

// dictionary[key] (+0), the key given as UTF-8; null when absent or `dictionary` is none.
CFTypeRef GetValue(CFDictionaryRef dictionary, const char* key);

// True when `value` is a live CF object of the given type.
bool IsOfType(CFTypeRef value, CFTypeID type);

// The UTF-8 text of a CF string; nothing for NULL or other objects.
std::optional<std::string> Utf8(CFStringRef text);

}  // namespace bw::sim::ath
