#include "brackwater/brackwater.h"
#include "exports/host_text.h"

extern "C" BRACKWATER_API size_t BrackwaterVersion(BwChar* buffer) {
    bw::exports::ClearLastError();
    return bw::exports::CopyHostText(std::u16string_view(u"0.1.0"), buffer);
}
