// The codec's XML reader on arbitrary text. Whatever reads must encode as a binary list that
// reads back to an equal tree.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "formats/plist_codec.h"
#include "fuzz_seeds.h"

namespace {

std::string Plist(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC "
           "\"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n" +
           body + "\n</plist>\n";
}

std::vector<std::string> Seeds() {
    return {
        Plist("<dict>\n\t<key>LibraryUUID</key>\n\t<string>0A1B2C3D-0000-4000-8000-ABCDEF012345"
              "</string>\n\t<key>count</key>\n\t<integer>-42</integer>\n\t<key>ratio</key>\n\t"
              "<real>+infinity</real>\n\t<key>when</key>\n\t<date>2013-05-04T03:02:01Z</date>\n\t"
              "<key>blob</key>\n\t<data>\n\tAAECAwQF\n\tBgc=\n\t</data>\n\t<key>flags</key>\n\t"
              "<array><true/><false/><null/></array>\n</dict>"),
        Plist("<array><string>a &amp; b</string><string><![CDATA[<x>]]></string>"
              "<integer>18446744073709551615</integer><real>-1.5e-7</real><dict/><array/>"
              "</array>"),
        Plist("<string>caf\xC3\xA9 \xF0\x9F\x98\x80</string>"),
        "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY e \"x\">]><plist><string>&e;</string>"
        "</plist>",
    };
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds(Seeds());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bw::PlistValue value;
    if (!bw::ReadPlistFromMemory(data, size, value)) {
        if (!value.IsEmpty()) std::abort();
        return 0;
    }
    const std::optional<std::string> encoded = bw::EncodePlistBinary(value);
    if (!encoded) std::abort();
    bw::PlistValue again;
    if (!bw::ReadPlistFromMemory(encoded->data(), encoded->size(), again)) std::abort();
    if (!(again == value)) std::abort();
    return 0;
}
