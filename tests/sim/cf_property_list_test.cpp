// Property lists of the CoreFoundation stand-in: XML and binary round trips,
// the format rules callers rely on, hostile bytes, and the bridge to libplist
// trees.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "cf/CoreFoundation.h"
#include "cf/cf_plist.h"

namespace {

class SimCFPropertyLists : public ::testing::Test {
  protected:
    void SetUp() override {
        liveAtStart_ = BwSimCFLiveObjects();
        misusesAtStart_ = BwSimCFMisuses();
    }
    void TearDown() override {
        EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_) << "objects leaked or freed twice";
        EXPECT_EQ(BwSimCFMisuses() - misusesAtStart_, 0);
    }

    long liveAtStart_ = 0;
    long misusesAtStart_ = 0;
};

// Holds one reference and gives it back at the end of the scope.
class Ref {
  public:
    explicit Ref(CFTypeRef object = nullptr) : object_(object) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (object_ != nullptr) CFRelease(object_);
    }
    CFTypeRef get() const { return object_; }
    template <class T>
    T as() const {
        return static_cast<T>(object_);
    }

  private:
    CFTypeRef object_;
};

CFStringRef Text(const char* utf8) {
    return CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8);
}

template <class T>
CFNumberRef Number(CFNumberType type, T value) {
    return CFNumberCreate(nullptr, type, &value);
}

void Put(CFMutableDictionaryRef dictionary, const char* key, CFTypeRef value) {
    Ref keyText(Text(key));
    CFDictionarySetValue(dictionary, keyText.get(), value);
    if (value != kCFBooleanTrue && value != kCFBooleanFalse) CFRelease(value);
}

CFMutableDictionaryRef NewDictionary() {
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

CFMutableArrayRef NewArray() {
    return CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
}

// A device-like tree with every property-list type. The date is whole seconds
// unless asked otherwise, because XML spells dates to the second.
CFDictionaryRef SampleTree(double when = 400000000.0) {
    CFMutableDictionaryRef root = NewDictionary();
    Put(root, "DeviceName", Text("Ann\xE2\x80\x99s iPhone \xF0\x9F\x98\x80"));
    Put(root, "Count", Number<int32_t>(kCFNumberSInt32Type, 42));
    Put(root, "Negative",
        Number<int64_t>(kCFNumberSInt64Type, std::numeric_limits<int64_t>::min()));
    Put(root, "Largest", Number<int64_t>(kCFNumberSInt64Type, std::numeric_limits<int64_t>::max()));
    Put(root, "Ratio", Number<double>(kCFNumberFloat64Type, 0.1));
    Put(root, "Yes", kCFBooleanTrue);
    Put(root, "No", kCFBooleanFalse);
    Put(root, "Blob", CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("\0\x01<&>\xFF"), 6));
    Put(root, "When", CFDateCreate(nullptr, when));
    Put(root, "Empty", Text(""));
    CFMutableArrayRef list = NewArray();
    CFArrayAppendValue(list, Ref(Text("two")).get());
    CFArrayAppendValue(list, Ref(NewArray()).get());
    CFArrayAppendValue(list, Ref(NewDictionary()).get());
    CFMutableDictionaryRef deep = NewDictionary();
    CFMutableDictionaryRef deeper = NewDictionary();
    Put(deeper, "Level", Number<int64_t>(kCFNumberSInt64Type, 3));
    Put(deep, "Deeper", deeper);
    CFArrayAppendValue(list, deep);
    CFRelease(deep);
    Put(root, "List", list);
    return root;
}

std::string BytesOf(CFDataRef data) {
    return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                       static_cast<size_t>(CFDataGetLength(data)));
}

CFDataRef DataOf(const std::string& bytes) {
    return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(bytes.data()),
                        static_cast<CFIndex>(bytes.size()));
}

// Reads the bytes back the way the library does, through
// CFPropertyListCreateWithData.
CFPropertyListRef Parse(const std::string& bytes, CFPropertyListFormat* format = nullptr) {
    Ref data(DataOf(bytes));
    return CFPropertyListCreateWithData(nullptr, data.as<CFDataRef>(), kCFPropertyListImmutable,
                                        format, nullptr);
}

std::string Write(CFPropertyListRef list, CFPropertyListFormat format) {
    Ref data(CFPropertyListCreateData(nullptr, list, format, 0, nullptr));
    return data.get() != nullptr ? BytesOf(data.as<CFDataRef>()) : std::string();
}

// A binary list made of the given object bodies, one-byte or wider references
// and offsets.
std::string BinaryList(const std::vector<std::string>& objects, int refSize, uint64_t top = 0) {
    std::string out = "bplist00";
    std::vector<uint64_t> offsets;
    for (const std::string& object : objects) {
        offsets.push_back(out.size());
        out += object;
    }
    const uint64_t table = out.size();
    const int offsetSize = 8;
    for (uint64_t offset : offsets)
        for (int shift = (offsetSize - 1) * 8; shift >= 0; shift -= 8)
            out.push_back(static_cast<char>(offset >> shift));
    out.append(6, '\0');
    out.push_back(static_cast<char>(offsetSize));
    out.push_back(static_cast<char>(refSize));
    for (uint64_t value : {static_cast<uint64_t>(objects.size()), top, table})
        for (int shift = 56; shift >= 0; shift -= 8)
            out.push_back(static_cast<char>(value >> shift));
    return out;
}

std::string Ref32(uint32_t object) {
    return {static_cast<char>(object >> 24), static_cast<char>(object >> 16),
            static_cast<char>(object >> 8), static_cast<char>(object)};
}

// Both formats keep every value; binary keeps fractional dates and the years outside 32-bit
// seconds; both read back through CFPropertyListCreateFromXMLData too, as XmlPlistToBinary does.
TEST_F(SimCFPropertyLists, RoundTripsKeepEveryValueInBothFormats) {
    for (CFPropertyListFormat format :
         {kCFPropertyListXMLFormat_v1_0, kCFPropertyListBinaryFormat_v1_0}) {
        SCOPED_TRACE(format);
        const bool binary = format == kCFPropertyListBinaryFormat_v1_0;
        Ref tree(SampleTree(binary ? 400000000.125 : 400000000.0));
        const std::string bytes = Write(tree.get(), format);
        EXPECT_EQ(bytes.rfind(binary ? "bplist00" : "<?xml", 0), 0u);
        CFPropertyListFormat read = 0;
        Ref back(Parse(bytes, &read));
        ASSERT_NE(back.get(), nullptr);
        EXPECT_EQ(read, format);
        EXPECT_TRUE(CFEqual(back.get(), tree.get()));
        // Integers come back as SInt64, reals as Float64, whatever they were made as.
        Ref count(Text("Count"));
        const auto* number =
            static_cast<CFNumberRef>(CFDictionaryGetValue(back.as<CFDictionaryRef>(), count.get()));
        EXPECT_EQ(CFNumberGetType(number), kCFNumberSInt64Type);

        Ref data(DataOf(bytes));
        CFStringRef error = nullptr;
        Ref fromXmlData(CFPropertyListCreateFromXMLData(nullptr, data.as<CFDataRef>(),
                                                        kCFPropertyListImmutable, &error));
        EXPECT_EQ(error, nullptr);
        EXPECT_TRUE(CFEqual(fromXmlData.get(), tree.get()));
    }
    Ref tree(SampleTree());
    const std::string xml = Write(tree.get(), kCFPropertyListXMLFormat_v1_0);
    EXPECT_NE(xml.find("<integer>-9223372036854775808</integer>"), std::string::npos);
    EXPECT_NE(xml.find("<date>2013-09-04T15:06:40Z</date>"), std::string::npos);
    Ref legacy(CFPropertyListCreateXMLData(nullptr, tree.get()));
    EXPECT_EQ(BytesOf(legacy.as<CFDataRef>()), xml);

    for (double when : {-3187296000.0, 15778800000.25, -63113904000.0, 252423993599.0}) {
        Ref date(CFDateCreate(nullptr, when));
        Ref back(Parse(Write(date.get(), kCFPropertyListBinaryFormat_v1_0)));
        ASSERT_NE(back.get(), nullptr) << when;
        EXPECT_EQ(CFDateGetAbsoluteTime(back.as<CFDateRef>()), when);
    }
    // Found by fuzzing: a NaN read from a list must equal itself written back.
    Ref nan(Number<double>(kCFNumberDoubleType, std::nan("")));
    Ref nanBack(Parse(Write(nan.get(), kCFPropertyListBinaryFormat_v1_0)));
    EXPECT_TRUE(CFEqual(nanBack.get(), nan.get()));
}

TEST_F(SimCFPropertyLists, GarbageAndTruncationsGiveNullAndACorruptError) {
    std::vector<std::string> inputs = {
        "",
        "hello",
        "bplist00" + std::string(40, '\0'),
        "<?xml version=\"1.0\"?><plist><dict><key>a</key></plist>",
        "{ OpenStep = style; }",
    };
    Ref tree(SampleTree());
    const std::string binary = Write(tree.get(), kCFPropertyListBinaryFormat_v1_0);
    for (size_t length = 0; length < binary.size(); ++length)
        inputs.push_back(binary.substr(0, length));  // the trailer is at the end
    for (const std::string& input : inputs) {
        SCOPED_TRACE(input.size());
        Ref data(DataOf(input));
        CFErrorRef error = nullptr;
        CFPropertyListFormat format = 77;
        EXPECT_EQ(CFPropertyListCreateWithData(nullptr, data.as<CFDataRef>(), 0, &format, &error),
                  nullptr);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(CFErrorGetCode(error), kCFPropertyListReadCorruptError);
        EXPECT_EQ(format, 77) << "the format is only reported on success";
        CFRelease(error);
        CFStringRef message = nullptr;
        EXPECT_EQ(CFPropertyListCreateFromXMLData(nullptr, data.as<CFDataRef>(), 0, &message),
                  nullptr);
        ASSERT_NE(message, nullptr);
        CFRelease(message);
    }
}

// Inputs that would crash or exhaust libplist are refused before they reach it: deep nesting,
// a shared-container bomb (16 references per level, 20 levels), reference cycles and references
// outside the list, and dictionary keys holding a zero character (libplist aborts on them).
TEST_F(SimCFPropertyLists, HostileListsAreRefused) {
    const int depth = 100000;
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < depth; ++i)
        xml += "<array>";
    for (int i = 0; i < depth; ++i)
        xml += "</array>";
    std::vector<std::string> deep;
    for (uint32_t i = 0; i + 1 < depth; ++i)
        deep.push_back("\xA1" + Ref32(i + 1));
    deep.push_back("\xA0");
    std::vector<std::string> bomb;
    for (uint32_t level = 0; level < 20; ++level) {
        std::string array = "\xAF\x10\x10";
        for (int i = 0; i < 16; ++i)
            array += Ref32(level + 1);
        bomb.push_back(array);
    }
    bomb.push_back("\x08");
    const std::string hostile[] = {
        xml + "</plist>",
        BinaryList(deep, 4),
        BinaryList(bomb, 4),
        BinaryList({"\xA1" + Ref32(1), "\xA1" + Ref32(0)}, 4),
        BinaryList({"\xA1" + Ref32(9)}, 4),
        BinaryList({std::string("\xD1\x01\x02", 3),
                    std::string("\x53"
                                "a\0b",
                                4),
                    "\x09"},
                   1),
        BinaryList({std::string("\xD1\x01\x02", 3), std::string("\x62\x00\x41\x00\x00", 5), "\x09"},
                   1),
    };
    for (size_t i = 0; i < std::size(hostile); ++i)
        EXPECT_EQ(Ref(Parse(hostile[i])).get(), nullptr) << "case " << i;

    // The same shapes made well are read: a shared reference, a zero inside a string value.
    Ref shared(Parse(BinaryList({"\xA1" + Ref32(1), "\x09"}, 4)));
    ASSERT_NE(shared.get(), nullptr);
    EXPECT_EQ(CFArrayGetValueAtIndex(shared.as<CFArrayRef>(), 0), kCFBooleanTrue);
    Ref zeroInValue(Parse(BinaryList({std::string("\xD1\x01\x02", 3), "\x51k",
                                      std::string("\x53"
                                                  "a\0b",
                                                  4)},
                                     1)));
    ASSERT_NE(zeroInValue.get(), nullptr);
}

// 128 nested arrays go both ways, one more is not written; values that are no property list
// (a number key, an unpaired surrogate, a zero in a string) are not written either.
TEST_F(SimCFPropertyLists, WritingRefusesWhatCannotBeReadBack) {
    CFMutableArrayRef outer = NewArray();
    CFMutableArrayRef current = outer;
    for (int level = 1; level < 128; ++level) {
        CFMutableArrayRef inner = NewArray();
        CFArrayAppendValue(current, inner);
        CFRelease(inner);
        current = inner;
    }
    for (CFPropertyListFormat format :
         {kCFPropertyListXMLFormat_v1_0, kCFPropertyListBinaryFormat_v1_0}) {
        Ref back(Parse(Write(outer, format)));
        EXPECT_TRUE(back.get() != nullptr && CFEqual(back.get(), outer)) << format;
    }
    Ref tooDeep(NewArray());
    CFArrayAppendValue(current, tooDeep.get());
    CFErrorRef error = nullptr;
    EXPECT_EQ(CFPropertyListCreateData(nullptr, outer, kCFPropertyListBinaryFormat_v1_0, 0, &error),
              nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(CFErrorGetCode(error), kCFPropertyListWriteStreamError);
    CFRelease(error);
    CFRelease(outer);

    Ref numberKeyed(NewDictionary());
    Ref one(Number<int32_t>(kCFNumberSInt32Type, 1));
    CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(numberKeyed.as<CFDictionaryRef>()),
                         one.get(), one.get());
    const UniChar broken[] = {'a', 0xD800};
    Ref lone(CFStringCreateWithCharacters(nullptr, broken, 2));
    const UniChar zero[] = {'a', 0, 'b'};
    Ref withZero(CFStringCreateWithCharacters(nullptr, zero, 3));
    Ref farDate(CFDateCreate(nullptr, 252423993600.0));
    for (CFTypeRef value : {numberKeyed.get(), lone.get(), withZero.get()})
        EXPECT_EQ(Write(value, kCFPropertyListXMLFormat_v1_0), "");
    for (CFTypeRef value : {numberKeyed.get(), lone.get(), withZero.get(), farDate.get()})
        EXPECT_EQ(Write(value, kCFPropertyListBinaryFormat_v1_0), "");
    // Only the low 32 bits of the format count.
    Ref text(Text("fine"));
    const auto dirtyBinary = static_cast<CFPropertyListFormat>(0x1234'5678'0000'0000 | 200);
    EXPECT_EQ(Write(text.get(), dirtyBinary).rfind("bplist00", 0), 0u);
}

// The services speak libplist; keyed archives' UIDs arrive as {"CF$UID": n}.
TEST_F(SimCFPropertyLists, TreesCrossToLibplistAndBack) {
    Ref tree(SampleTree());
    plist_t node = BwSimCFToPlist(tree.get());
    ASSERT_NE(node, nullptr);
    char* name = nullptr;
    plist_get_string_val(plist_dict_get_item(node, "DeviceName"), &name);
    EXPECT_STREQ(name, "Ann\xE2\x80\x99s iPhone \xF0\x9F\x98\x80");
    free(name);
    Ref back(BwSimCFFromPlist(node));
    EXPECT_TRUE(CFEqual(back.get(), tree.get()));
    plist_free(node);

    plist_t array = plist_new_array();
    plist_array_append_item(array, plist_new_uid(7));
    Ref fromNode(BwSimCFFromPlist(array));
    plist_free(array);
    const auto* uid =
        static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(fromNode.as<CFArrayRef>(), 0));
    Ref key(Text("CF$UID"));
    int64_t value = 0;
    ASSERT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(uid, key.get())),
                                 kCFNumberSInt64Type, &value));
    EXPECT_EQ(value, 7);
}

}  // namespace
