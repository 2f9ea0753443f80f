// The host text convention of the Brackwater functions: text in and out is UTF-16, text out by
// the two-call rule, and a per-thread message of the last call for BrackwaterLastError.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "brackwater/brackwater.h"

namespace bw::exports {

// Copies `text` and its zero when `buffer` is given; returns the length plus 2 either way.
size_t CopyHostText(std::u16string_view text, BwChar* buffer);
size_t CopyHostText(std::string_view utf8, BwChar* buffer);

// The host's text as UTF-8. False for an unpaired surrogate: turned into U+FFFD it would name
// another file or folder, so such text is refused rather than converted. A null pointer fails too.
bool HostTextToUtf8(const BwChar* text, std::string& utf8);

// Each Brackwater function starts with ClearLastError; a failure that has something to say sets
// the message (UTF-8 inside the library). Fail sets it and answers 0 for `return Fail(...)`.
void ClearLastError();
void SetLastError(std::string_view message);
int Fail(std::string_view message);

}  // namespace bw::exports
