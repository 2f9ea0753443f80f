// Property lists through the library interface. The first input byte picks the branch (even:
// binary, odd: XML); the rest is the list. Every list that reads must write in both formats
// and read back to the same tree.
//
// BRACKWATER_FUZZ_PLIST_BRANCH=binary or =xml keeps to one branch.
// BRACKWATER_FUZZ_PLIST_RAW=1 hands the bytes to the external library directly, to find the
// inputs that the library itself mishandles. The checks still run, unheeded: the external
// library is not instrumented, so their coverage is what steers the fuzzer through the format.
#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "formats/plist_guard.h"
#include "formats/plist_library.h"
#include "fuzz_seeds.h"

namespace {

enum class Branch { kAny, kBinary, kXml };

Branch g_branch = Branch::kAny;
bool g_raw = false;

bw::PlistCalendar Calendar(int year, int month, int day) {
    bw::PlistCalendar date;
    date.year = year - 1900;
    date.month = month - 1;
    date.day = day;
    return date;
}

std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (const int v : values)
        out.push_back(static_cast<char>(v));
    return out;
}

// A small keyed archive: UIDs, dates on both sides of the 32-bit range, every value type.
bw::CDicValueObj SampleTree() {
    using bw::CDicValueObj;
    CDicValueObj root = CDicValueObj::MakeDictionary();
    CDicValueObj top = CDicValueObj::MakeDictionary();
    CDicValueObj uid = CDicValueObj::MakeDictionary();
    uid.Set("CF$UID", CDicValueObj::MakeInteger(1));
    top.Set("root", uid);
    root.Set("$top", top);
    root.Set("$archiver", CDicValueObj::MakeString("NSKeyedArchiver"));
    CDicValueObj objects = CDicValueObj::MakeArray();
    objects.Array()->push_back(CDicValueObj::MakeString("$null"));
    CDicValueObj message = CDicValueObj::MakeDictionary();
    message.Set("AppNotificationMessage", CDicValueObj::MakeString("caf\xC3\xA9 \xF0\x9F\x98\x80"));
    message.Set("AppNotificationCreationDate", CDicValueObj::MakeReal(612345678.25));
    message.Set("count", CDicValueObj::MakeInteger(-7));
    message.Set("big", CDicValueObj::MakeInteger(INT64_MAX));
    message.Set("huge", CDicValueObj::MakeUnsignedInteger(UINT64_MAX));
    message.Set("on", CDicValueObj::MakeBool(true));
    message.Set("off", CDicValueObj::MakeBool(false));
    message.Set("data", CDicValueObj::MakeData(Bytes({0, 1, 2, 0xFF})));
    message.Set("old", CDicValueObj::MakeDate(Calendar(1900, 1, 1)));
    message.Set("epoch", CDicValueObj::MakeDate(Calendar(2001, 1, 1)));
    message.Set("late", CDicValueObj::MakeDate(Calendar(3000, 6, 1)));
    objects.Array()->push_back(message);
    root.Set("$objects", objects);
    return root;
}

std::vector<std::string> Seeds() {
    std::vector<std::string> lists;
    const bw::CDicValueObj tree = SampleTree();
    std::string binary;
    std::string xml;
    bw::writeBinary(tree, binary);
    bw::writeXmlutf8(tree, xml);
    lists.push_back('\0' + binary);
    lists.push_back('\1' + xml);
    const bw::CDicValueObj array = *tree.Find("$objects");
    bw::writeBinary(array, binary);
    bw::writeXmlutf8(array, xml);
    lists.push_back('\0' + binary);
    lists.push_back('\1' + xml);
    // A binary list written byte by byte: [UID 5, "k", 2.5, {"a": date 0}] with one-byte offsets
    // and references.
    std::string byHand = "bplist00";
    const std::string objects[] = {
        Bytes({0xA4, 1, 2, 3, 4}), Bytes({0x80, 0x05}),
        Bytes({0x51, 'k'}),        Bytes({0x23, 0x40, 0x04, 0, 0, 0, 0, 0, 0}),
        Bytes({0xD1, 2, 5}),       Bytes({0x33, 0, 0, 0, 0, 0, 0, 0, 0}),
    };
    std::string table;
    for (const std::string& object : objects) {
        table.push_back(static_cast<char>(byHand.size()));
        byHand += object;
    }
    const size_t tableOffset = byHand.size();
    byHand += table;
    byHand += Bytes({0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0});
    byHand += Bytes({0, 0, 0, 0, 0, 0, 0, static_cast<int>(tableOffset)});
    lists.push_back('\0' + byHand);
    lists.push_back(
        "\1<?xml version=\"1.0\"?><!DOCTYPE plist><plist version=\"1.0\"><array><!-- c -->"
        "<dict><key>CF$UID</key><integer>3</integer></dict><string><![CDATA[a<b]]>&#x20AC;"
        "</string><date>1969-12-31T23:59:59Z</date><data>AAE=</data><real>nan</real></array>"
        "</plist>");
    return lists;
}

bool AcceptBranch(Branch branch) {
    return g_branch == Branch::kAny || g_branch == branch;
}

void RunRaw(const std::string& list, bool binary) {
    [[maybe_unused]] const bool looksSafe =
        binary ? bw::BinaryPlistLooksSafe(list) : bw::XmlPlistLooksSafe(list);
    plist_t root = nullptr;
    if (binary) {
        plist_from_bin(list.data(), static_cast<uint32_t>(list.size()), &root);
    } else {
        plist_from_xml(list.data(), static_cast<uint32_t>(list.size()), &root);
    }
    if (root == nullptr) return;
    char* out = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &out, &length);
    plist_to_bin_free(out);
    out = nullptr;
    plist_to_xml(root, &out, &length);
    plist_to_xml_free(out);
    plist_free(root);
}

void RunGuarded(const std::string& list) {
    bw::CDicValueObj tree;
    bw::readPlistFromString(list, tree, 0);
    if (tree.type == bw::kPlistNone) return;
    std::string binary;
    std::string xml;
    bw::writeBinary(tree, binary);
    bw::writeXmlutf8(tree, xml);
    if (binary.empty() || xml.empty()) std::abort();
    bw::CDicValueObj fromBinary;
    bw::CDicValueObj fromXml;
    bw::readPlistFromString(binary, fromBinary, 0);
    bw::readPlistFromString(xml, fromXml, 0);
    if (!bw::PlistEquals(tree, fromBinary) || !bw::PlistEquals(tree, fromXml)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds(Seeds());
    if (const char* branch = std::getenv("BRACKWATER_FUZZ_PLIST_BRANCH")) {
        if (std::strcmp(branch, "binary") == 0) g_branch = Branch::kBinary;
        if (std::strcmp(branch, "xml") == 0) g_branch = Branch::kXml;
    }
    const char* raw = std::getenv("BRACKWATER_FUZZ_PLIST_RAW");
    g_raw = raw != nullptr && std::strcmp(raw, "1") == 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool binary = (data[0] & 1) == 0;
    if (!AcceptBranch(binary ? Branch::kBinary : Branch::kXml)) return 0;
    std::string list(reinterpret_cast<const char*>(data + 1), size - 1);
    const bool hasMagic = list.compare(0, 8, "bplist00") == 0;
    if (binary && !hasMagic) list = "bplist00" + list.substr(list.size() < 8 ? list.size() : 8);
    if (!binary && hasMagic) return 0;
    if (g_raw) {
        RunRaw(list, binary);
    } else {
        RunGuarded(list);
    }
    return 0;
}
