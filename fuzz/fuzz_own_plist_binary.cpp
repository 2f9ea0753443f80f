// The codec's binary reader on arbitrary bytes. Inputs without the "bplist00" magic get it put in
// front, so the time goes to the binary reader rather than libxml2. Whatever reads must encode,
// and the encoding must read back to an equal tree and encode to the same bytes again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "formats/plist_codec.h"
#include "fuzz_seeds.h"

namespace {

using bw::PlistDate;
using bw::PlistValue;

std::string Encoded(const PlistValue& value) {
    return bw::EncodePlistBinary(value).value_or("");
}

std::string Hex(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

std::vector<std::string> Seeds() {
    PlistValue::Dictionary many;
    for (int i = 0; i < 20; ++i)
        many["k" + std::to_string(i)] = i * 300;
    const PlistValue tree(PlistValue::Dictionary{
        {"text", "photo library"},
        {"utf16", "caf\xC3\xA9 \xF0\x9F\x98\x80"},
        {"numbers", PlistValue::Array{0, 255, 65536, -1, std::numeric_limits<int64_t>::min(), 2.5,
                                      std::numeric_limits<double>::infinity()}},
        {"flags", PlistValue::Array{true, false, PlistValue()}},
        {"when", PlistDate{1700000000}},
        {"blob", PlistValue::Data(20, 0x5A)},
        {"many", many},
    });
    std::vector<std::string> seeds = {Encoded(tree), Encoded(PlistValue::Dictionary{}),
                                      Encoded("abc"), Encoded(PlistValue::Array(300, 7))};
    // [shared "x" twice, a UID, a 16-byte integer] with one-byte offsets and references.
    std::string byHand = "bplist00";
    const std::string objects[] = {
        Hex({0xA4, 1, 1, 2, 3}), Hex({0x51, 'x'}), Hex({0x80, 5}),
        Hex({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})};
    std::string table;
    for (const std::string& object : objects) {
        table.push_back(static_cast<char>(byHand.size()));
        byHand += object;
    }
    const int tableOffset = static_cast<int>(byHand.size());
    byHand += table + std::string(6, '\0') + Hex({1, 1, 0, 0, 0, 0, 0, 0, 0, 4});
    byHand += std::string(8, '\0') + Hex({0, 0, 0, 0, 0, 0, 0, tableOffset});
    seeds.push_back(byHand);
    return seeds;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds(Seeds());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    if (input.compare(0, 8, "bplist00") != 0) input.insert(0, "bplist00");
    PlistValue value;
    if (!bw::ReadPlistFromMemory(input.data(), input.size(), value)) {
        if (!value.IsEmpty()) std::abort();
        return 0;
    }
    const std::optional<std::string> encoded = bw::EncodePlistBinary(value);
    if (!encoded) std::abort();
    PlistValue again;
    if (!bw::ReadPlistFromMemory(encoded->data(), encoded->size(), again)) std::abort();
    if (!(again == value)) std::abort();
    if (bw::EncodePlistBinary(again) != encoded) std::abort();
    return 0;
}
