#include "exports/host_text.h"

#include <cstring>

#include "platform/text.h"

namespace bw::exports {

namespace {

// Per thread, so that one thread's failure never shows up as another's and a host reads the
// message of its own last call without locking.
thread_local std::u16string gLastError;

}  // namespace

size_t CopyHostText(std::u16string_view text, BwChar* buffer) {
    if (buffer != nullptr) {
        if (!text.empty()) std::memcpy(buffer, text.data(), text.size() * sizeof(BwChar));
        buffer[text.size()] = 0;
    }
    return text.size() + 2;
}

size_t CopyHostText(std::string_view utf8, BwChar* buffer) {
    return CopyHostText(std::u16string_view(Utf8ToWide(utf8)), buffer);
}

bool HostTextToUtf8(const BwChar* text, std::string& utf8) {
    utf8.clear();
    if (text == nullptr) return false;
    const std::u16string_view wide(text);
    for (size_t i = 0; i < wide.size(); ++i) {
        const char16_t unit = wide[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
            wide[i + 1] <= 0xDFFF) {
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            return false;
        }
    }
    utf8 = WideToUtf8(wide);
    return true;
}

void ClearLastError() {
    gLastError.clear();
}

void SetLastError(std::string_view message) {
    try {
        gLastError = Utf8ToWide(message);
    } catch (...) {
        gLastError.clear();  // out of memory: no message rather than a throw across the export
    }
}

int Fail(std::string_view message) {
    SetLastError(message);
    return 0;
}

}  // namespace bw::exports

extern "C" BRACKWATER_API size_t BrackwaterLastError(BwChar* buffer) {
    return bw::exports::CopyHostText(std::u16string_view(bw::exports::gLastError), buffer);
}
