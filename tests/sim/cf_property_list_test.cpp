// Property lists of the CoreFoundation stand-in: XML and binary round trips,
// the format rules callers rely on, hostile bytes, and the bridge to libplist
// trees.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
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

CFStringRef NewString(const char* utf8) {
    return CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8);
}

template <class T>
CFNumberRef Number(CFNumberType type, T value) {
    return CFNumberCreate(nullptr, type, &value);
}

void Put(CFMutableDictionaryRef dictionary, const char* key, CFTypeRef value) {
    Ref keyText(NewString(key));
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
    Put(root, "DeviceName", NewString("Ann\xE2\x80\x99s iPhone \xF0\x9F\x98\x80"));
    Put(root, "Count", Number<int32_t>(kCFNumberSInt32Type, 42));
    Put(root, "Negative",
        Number<int64_t>(kCFNumberSInt64Type, std::numeric_limits<int64_t>::min()));
    Put(root, "Largest", Number<int64_t>(kCFNumberSInt64Type, std::numeric_limits<int64_t>::max()));
    Put(root, "Ratio", Number<double>(kCFNumberFloat64Type, 0.1));
    Put(root, "Yes", kCFBooleanTrue);
    Put(root, "No", kCFBooleanFalse);
    Put(root, "Blob", CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("\0\x01<&>\xFF"), 6));
    Put(root, "When", CFDateCreate(nullptr, when));
    Put(root, "Empty", NewString(""));
    CFMutableArrayRef list = NewArray();
    CFArrayAppendValue(list, Ref(NewString("two")).get());
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

TEST_F(SimCFPropertyLists, XmlRoundTripKeepsEveryValue) {
    Ref tree(SampleTree());
    const std::string xml = Write(tree.get(), kCFPropertyListXMLFormat_v1_0);
    EXPECT_EQ(xml.rfind("<?xml", 0), 0u);
    EXPECT_NE(xml.find("<key>DeviceName</key>"), std::string::npos);
    EXPECT_NE(xml.find("<integer>-9223372036854775808</integer>"), std::string::npos);
    EXPECT_NE(xml.find("<date>2013-09-04T15:06:40Z</date>"), std::string::npos);
    CFPropertyListFormat format = 0;
    Ref back(Parse(xml, &format));
    ASSERT_NE(back.get(), nullptr);
    EXPECT_EQ(format, kCFPropertyListXMLFormat_v1_0);
    EXPECT_TRUE(CFEqual(back.get(), tree.get()));
    Ref legacy(CFPropertyListCreateXMLData(nullptr, tree.get()));
    EXPECT_EQ(BytesOf(legacy.as<CFDataRef>()), xml);
}

TEST_F(SimCFPropertyLists, BinaryRoundTripKeepsEveryValueAndFractionalDates) {
    Ref tree(SampleTree(400000000.125));
    const std::string binary = Write(tree.get(), kCFPropertyListBinaryFormat_v1_0);
    EXPECT_EQ(binary.rfind("bplist00", 0), 0u);
    CFPropertyListFormat format = 0;
    Ref back(Parse(binary, &format));
    ASSERT_NE(back.get(), nullptr);
    EXPECT_EQ(format, kCFPropertyListBinaryFormat_v1_0);
    EXPECT_TRUE(CFEqual(back.get(), tree.get()));
    Ref key(NewString("When"));
    const auto* when =
        static_cast<CFDateRef>(CFDictionaryGetValue(back.as<CFDictionaryRef>(), key.get()));
    EXPECT_EQ(CFDateGetAbsoluteTime(when), 400000000.125);
}

// XmlPlistToBinary goes through CFPropertyListCreateFromXMLData, which reads
// binary input too.
TEST_F(SimCFPropertyLists, FromXmlDataReadsBothFormats) {
    Ref tree(SampleTree());
    for (CFPropertyListFormat format :
         {kCFPropertyListXMLFormat_v1_0, kCFPropertyListBinaryFormat_v1_0}) {
        Ref data(DataOf(Write(tree.get(), format)));
        CFStringRef error = NewString("stale");
        CFStringRef stale = error;
        Ref back(CFPropertyListCreateFromXMLData(nullptr, data.as<CFDataRef>(),
                                                 kCFPropertyListImmutable, &error));
        ASSERT_NE(back.get(), nullptr) << format;
        EXPECT_EQ(error, nullptr);
        EXPECT_TRUE(CFEqual(back.get(), tree.get()));
        CFRelease(stale);
    }
}

TEST_F(SimCFPropertyLists, NumbersComeBackAsSInt64AndFloat64) {
    Ref tree(SampleTree());
    Ref back(Parse(Write(tree.get(), kCFPropertyListBinaryFormat_v1_0)));
    Ref count(NewString("Count"));
    Ref ratio(NewString("Ratio"));
    const auto* number =
        static_cast<CFNumberRef>(CFDictionaryGetValue(back.as<CFDictionaryRef>(), count.get()));
    EXPECT_EQ(CFNumberGetType(number), kCFNumberSInt64Type);
    const auto* real =
        static_cast<CFNumberRef>(CFDictionaryGetValue(back.as<CFDictionaryRef>(), ratio.get()));
    EXPECT_EQ(CFNumberGetType(real), kCFNumberFloat64Type);
    double value = 0;
    EXPECT_TRUE(CFNumberGetValue(real, kCFNumberDoubleType, &value));
    EXPECT_EQ(value, 0.1);
}

TEST_F(SimCFPropertyLists, NaNRoundTripsThroughBinary) {
    Ref list(NewArray());
    CFArrayAppendValue(const_cast<CFMutableArrayRef>(list.as<CFArrayRef>()),
                       Ref(Number<double>(kCFNumberDoubleType, std::nan(""))).get());
    Ref back(Parse(Write(list.get(), kCFPropertyListBinaryFormat_v1_0)));
    ASSERT_NE(back.get(), nullptr);
    EXPECT_TRUE(CFEqual(back.get(), list.get()));
}

TEST_F(SimCFPropertyLists, DatesOutside32BitSecondsSurviveBinary) {
    for (double when : {-3187296000.0, 15778800000.25, -63113904000.0, 252423993599.0}) {
        Ref date(CFDateCreate(nullptr, when));
        Ref back(Parse(Write(date.get(), kCFPropertyListBinaryFormat_v1_0)));
        ASSERT_NE(back.get(), nullptr) << when;
        EXPECT_EQ(CFDateGetAbsoluteTime(back.as<CFDateRef>()), when);
    }
    for (double when : {-63113904001.0, 252423993600.0, std::numeric_limits<double>::infinity()}) {
        Ref date(CFDateCreate(nullptr, when));
        EXPECT_EQ(Write(date.get(), kCFPropertyListBinaryFormat_v1_0), "") << when;
    }
}

TEST_F(SimCFPropertyLists, MutabilityOptionDecidesWhatMayChange) {
    Ref tree(SampleTree());
    Ref data(DataOf(Write(tree.get(), kCFPropertyListBinaryFormat_v1_0)));
    Ref blobKey(NewString("Blob"));
    Ref newKey(NewString("Added"));

    Ref mutableTree(CFPropertyListCreateWithData(
        nullptr, data.as<CFDataRef>(), kCFPropertyListMutableContainers, nullptr, nullptr));
    auto* dictionary = const_cast<CFMutableDictionaryRef>(mutableTree.as<CFDictionaryRef>());
    CFDictionarySetValue(dictionary, newKey.get(), kCFBooleanTrue);
    EXPECT_TRUE(CFDictionaryContainsKey(dictionary, newKey.get()));

    Ref leaves(CFPropertyListCreateWithData(nullptr, data.as<CFDataRef>(),
                                            kCFPropertyListMutableContainersAndLeaves, nullptr,
                                            nullptr));
    auto* blob = const_cast<CFMutableDataRef>(
        static_cast<CFDataRef>(CFDictionaryGetValue(leaves.as<CFDictionaryRef>(), blobKey.get())));
    CFDataAppendBytes(blob, reinterpret_cast<const UInt8*>("!"), 1);
    EXPECT_EQ(CFDataGetLength(blob), 7);
}

TEST_F(SimCFPropertyLists, ImmutableResultsRefuseChanges) {
    Ref tree(SampleTree());
    Ref back(Parse(Write(tree.get(), kCFPropertyListXMLFormat_v1_0)));
    Ref newKey(NewString("Added"));
    const long misuses = BwSimCFMisuses();
    CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(back.as<CFDictionaryRef>()),
                         newKey.get(), kCFBooleanTrue);
    EXPECT_EQ(BwSimCFMisuses(), misuses + 1);
    EXPECT_FALSE(CFDictionaryContainsKey(back.as<CFDictionaryRef>(), newKey.get()));
    misusesAtStart_ += 1;
}

TEST_F(SimCFPropertyLists, GarbageGivesNullAndACorruptError) {
    const std::string inputs[] = {
        "",
        "hello",
        "bplist00",
        "bplist00" + std::string(40, '\0'),
        "<?xml version=\"1.0\"?><plist><dict><key>a</key></plist>",
        "<plist version=\"1.0\"><string>unterminated",
        "{ OpenStep = style; }",
        std::string("\xFF\xFE\x00\x00", 4),
    };
    for (const std::string& input : inputs) {
        Ref data(DataOf(input));
        CFErrorRef error = nullptr;
        CFPropertyListFormat format = 77;
        EXPECT_EQ(CFPropertyListCreateWithData(nullptr, data.as<CFDataRef>(), 0, &format, &error),
                  nullptr)
            << input;
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(CFErrorGetCode(error), kCFPropertyListReadCorruptError);
        EXPECT_EQ(format, 77) << "the format is only reported on success";
        CFRelease(error);
        CFStringRef message = nullptr;
        EXPECT_EQ(CFPropertyListCreateFromXMLData(nullptr, data.as<CFDataRef>(), 0, &message),
                  nullptr);
        ASSERT_NE(message, nullptr);
        EXPECT_GT(CFStringGetLength(message), 0);
        CFRelease(message);
    }
}

TEST_F(SimCFPropertyLists, EveryTruncationOfAValidListIsRefusedOrReadable) {
    Ref tree(SampleTree());
    for (CFPropertyListFormat format :
         {kCFPropertyListXMLFormat_v1_0, kCFPropertyListBinaryFormat_v1_0}) {
        const std::string bytes = Write(tree.get(), format);
        for (size_t length = 0; length < bytes.size(); ++length) {
            Ref back(Parse(bytes.substr(0, length)));
            if (format == kCFPropertyListBinaryFormat_v1_0) {
                EXPECT_EQ(back.get(), nullptr) << length;  // the trailer is at the end
            }
        }
    }
}

// A small fuzz run in every test pass: random byte changes to valid lists must
// give NULL or a value, never a crash, and whatever comes back must be freed
// completely.
TEST_F(SimCFPropertyLists, RandomlyDamagedListsNeverCrash) {
    Ref tree(SampleTree(1234.5));
    std::mt19937 random(20240601);
    for (CFPropertyListFormat format :
         {kCFPropertyListXMLFormat_v1_0, kCFPropertyListBinaryFormat_v1_0}) {
        const std::string valid = Write(tree.get(), format);
        int readable = 0;
        for (int round = 0; round < 3000; ++round) {
            std::string bytes = valid;
            const int changes = 1 + static_cast<int>(random() % 4);
            for (int c = 0; c < changes; ++c)
                bytes[random() % bytes.size()] = static_cast<char>(random());
            Ref back(Parse(bytes));
            if (back.get() != nullptr) {
                ++readable;
                Ref again(Parse(Write(back.get(), format)));
                EXPECT_TRUE(again.get() == nullptr || CFEqual(again.get(), back.get()));
            }
        }
        EXPECT_GT(readable, 0) << "some damage (inside a string, say) leaves a valid list";
    }
}

TEST_F(SimCFPropertyLists, NestingIsBoundedWhenReadingAndWriting) {
    // 128 nested arrays go both ways; one more is refused before libplist
    // recurses into it.
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
        ASSERT_NE(back.get(), nullptr) << format;
        EXPECT_TRUE(CFEqual(back.get(), outer));
    }
    CFMutableArrayRef tooDeep = NewArray();
    CFArrayAppendValue(current, tooDeep);
    CFRelease(tooDeep);
    CFErrorRef error = nullptr;
    EXPECT_EQ(CFPropertyListCreateData(nullptr, outer, kCFPropertyListBinaryFormat_v1_0, 0, &error),
              nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(CFErrorGetCode(error), kCFPropertyListWriteStreamError);
    CFRelease(error);
    CFRelease(outer);
}

TEST_F(SimCFPropertyLists, DeeplyNestedInputIsRefused) {
    const int depth = 100000;
    std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (int i = 0; i < depth; ++i)
        xml += "<array>";
    for (int i = 0; i < depth; ++i)
        xml += "</array>";
    xml += "</plist>";
    EXPECT_EQ(Ref(Parse(xml)).get(), nullptr);

    std::vector<std::string> objects;
    for (uint32_t i = 0; i + 1 < depth; ++i)
        objects.push_back(std::string("\xA1").append(Ref32(i + 1)));  // g++ 12 -Wrestrict
    objects.push_back("\xA0");
    EXPECT_EQ(Ref(Parse(BinaryList(objects, 4))).get(), nullptr);
}

// Sixteen references to the next array, twenty levels deep: a few hundred bytes
// that would expand to 16^20 nodes if every reference were parsed on its own.
TEST_F(SimCFPropertyLists, SharedContainerBombIsRefused) {
    std::vector<std::string> objects;
    for (uint32_t level = 0; level < 20; ++level) {
        std::string array = "\xAF\x10\x10";  // an array of 16 (count as an integer object)
        for (int i = 0; i < 16; ++i)
            array += Ref32(level + 1);
        objects.push_back(array);
    }
    objects.push_back("\x08");  // false
    EXPECT_EQ(Ref(Parse(BinaryList(objects, 4))).get(), nullptr);
}

TEST_F(SimCFPropertyLists, ReferenceCyclesAreRefused) {
    const std::string cycle = BinaryList({"\xA1" + Ref32(1), "\xA1" + Ref32(0)}, 4);
    EXPECT_EQ(Ref(Parse(cycle)).get(), nullptr);
    const std::string outside = BinaryList({"\xA1" + Ref32(9)}, 4);
    EXPECT_EQ(Ref(Parse(outside)).get(), nullptr);
    const std::string fine = BinaryList({"\xA1" + Ref32(1), "\x09"}, 4);
    Ref back(Parse(fine));
    ASSERT_NE(back.get(), nullptr);
    EXPECT_EQ(CFArrayGetValueAtIndex(back.as<CFArrayRef>(), 0), kCFBooleanTrue);
}

// libplist aborts the process when it hands out a dictionary key with a zero
// character; such lists must be refused before they reach it. String values
// with one are read (libplist ends them at the zero).
TEST_F(SimCFPropertyLists, KeysWithZeroCharactersAreRefused) {
    const std::string asciiKey = BinaryList({std::string("\xD1\x01\x02", 3),
                                             std::string("\x53"
                                                         "a\0b",
                                                         4),
                                             "\x09"},
                                            1);
    EXPECT_EQ(Ref(Parse(asciiKey)).get(), nullptr);
    const std::string utf16Key = BinaryList(
        {std::string("\xD1\x01\x02", 3), std::string("\x62\x00\x41\x00\x00", 5), "\x09"}, 1);
    EXPECT_EQ(Ref(Parse(utf16Key)).get(), nullptr);
    const std::string zeroInValue = BinaryList({std::string("\xD1\x01\x02", 3), "\x51k",
                                                std::string("\x53"
                                                            "a\0b",
                                                            4)},
                                               1);
    Ref back(Parse(zeroInValue));
    ASSERT_NE(back.get(), nullptr);
    Ref key(NewString("k"));
    const auto* value =
        static_cast<CFStringRef>(CFDictionaryGetValue(back.as<CFDictionaryRef>(), key.get()));
    EXPECT_EQ(CFStringGetLength(value), 1);
}

TEST_F(SimCFPropertyLists, ValuesThatAreNoPropertyListsAreNotWritten) {
    Ref numberKeyed(NewDictionary());
    Ref one(Number<int32_t>(kCFNumberSInt32Type, 1));
    CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(numberKeyed.as<CFDictionaryRef>()),
                         one.get(), one.get());
    const UniChar broken[] = {'a', 0xD800};
    Ref lone(CFStringCreateWithCharacters(nullptr, broken, 2));
    const UniChar zero[] = {'a', 0, 'b'};
    Ref withZero(CFStringCreateWithCharacters(nullptr, zero, 3));
    for (CFTypeRef value : {numberKeyed.get(), lone.get(), withZero.get()}) {
        EXPECT_EQ(Write(value, kCFPropertyListXMLFormat_v1_0), "");
        EXPECT_EQ(Write(value, kCFPropertyListBinaryFormat_v1_0), "");
    }
    Ref text(NewString("fine"));
    CFErrorRef formatError = nullptr;
    EXPECT_EQ(CFPropertyListCreateData(nullptr, text.get(), kCFPropertyListOpenStepFormat, 0,
                                       &formatError),
              nullptr);
    ASSERT_NE(formatError, nullptr);
    CFRelease(formatError);
    // Only the low 32 bits of the format count.
    const auto dirtyBinary = static_cast<CFPropertyListFormat>(0x1234'5678'0000'0000 | 200);
    EXPECT_EQ(Write(text.get(), dirtyBinary).rfind("bplist00", 0), 0u);
}

TEST_F(SimCFPropertyLists, TreesCrossToLibplistAndBack) {
    Ref tree(SampleTree());
    plist_t node = BwSimCFToPlist(tree.get());
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(plist_get_node_type(node), PLIST_DICT);
    uint64_t count = 0;
    plist_get_uint_val(plist_dict_get_item(node, "Count"), &count);
    EXPECT_EQ(count, 42u);
    char* name = nullptr;
    plist_get_string_val(plist_dict_get_item(node, "DeviceName"), &name);
    EXPECT_STREQ(name, "Ann\xE2\x80\x99s iPhone \xF0\x9F\x98\x80");
    free(name);
    uint8_t yes = 0;
    plist_get_bool_val(plist_dict_get_item(node, "Yes"), &yes);
    EXPECT_EQ(yes, 1);
    Ref back(BwSimCFFromPlist(node));
    EXPECT_TRUE(CFEqual(back.get(), tree.get()));
    plist_free(node);
    EXPECT_EQ(BwSimCFFromPlist(nullptr), nullptr);
}

// Keyed archives refer to objects by UID; they arrive as {"CF$UID": n}, as XML
// spells them.
TEST_F(SimCFPropertyLists, UidsBecomeCFUIDDictionaries) {
    plist_t array = plist_new_array();
    plist_array_append_item(array, plist_new_uid(7));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(array, &bytes, &length);
    Ref fromNode(BwSimCFFromPlist(array));
    Ref fromBytes(Parse(std::string(bytes, length)));
    plist_to_bin_free(bytes);
    plist_free(array);
    ASSERT_NE(fromBytes.get(), nullptr);
    EXPECT_TRUE(CFEqual(fromNode.get(), fromBytes.get()));
    const auto* uid =
        static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(fromBytes.as<CFArrayRef>(), 0));
    Ref key(NewString("CF$UID"));
    int64_t value = 0;
    ASSERT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(uid, key.get())),
                                 kCFNumberSInt64Type, &value));
    EXPECT_EQ(value, 7);
}

}  // namespace
