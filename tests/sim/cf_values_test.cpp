// The values of the CoreFoundation stand-in, one test per type: the ownership rules callers rely
// on, the conversions the library reads through, and the counters every leak check of the test
// suite trusts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "cf/CoreFoundation.h"
#include "cf/cf_foreign.h"
#include "cf/cf_plist.h"

namespace {

class SimCFValues : public ::testing::Test {
  protected:
    void SetUp() override {
        liveAtStart_ = BwSimCFLiveObjects();
        misusesAtStart_ = BwSimCFMisuses();
    }
    void TearDown() override {
        EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_) << "objects leaked or freed twice";
        EXPECT_EQ(BwSimCFMisuses() - misusesAtStart_, expectedMisuses_);
    }

    long liveAtStart_ = 0;
    long misusesAtStart_ = 0;
    long expectedMisuses_ = 0;
};

CFStringRef Text(const char* utf8) {
    return CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8);
}

CFStringRef FromUnits(const std::u16string& text) {
    return CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(text.data()),
                                        static_cast<CFIndex>(text.size()));
}

std::u16string UnitsOf(CFStringRef string) {
    std::u16string units(static_cast<size_t>(CFStringGetLength(string)), u'\0');
    CFStringGetCharacters(string, CFRange{0, CFStringGetLength(string)},
                          reinterpret_cast<UniChar*>(units.data()));
    return units;
}

template <class T>
CFNumberRef Number(CFNumberType type, T value) {
    return CFNumberCreate(nullptr, type, &value);
}

// Reads `number` into the C type `type` names, widened to a double for comparing.
std::pair<bool, double> ReadAsDouble(CFNumberRef number, CFNumberType type) {
    const auto read = [&](auto zero) {
        auto value = zero;
        const bool exact = CFNumberGetValue(number, type, &value);
        return std::make_pair(exact, static_cast<double>(value));
    };
    switch (type & 0xFFFFFFFF) {
        case kCFNumberSInt8Type:
        case kCFNumberCharType:
            return read(int8_t{});
        case kCFNumberSInt16Type:
            return read(int16_t{});
        case kCFNumberSInt32Type:
            return read(int32_t{});
        case kCFNumberFloat64Type:
        case kCFNumberDoubleType:
            return read(double{});
        default:
            return read(int64_t{});
    }
}

CFMutableDictionaryRef NewDictionary() {
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

void ReleaseAll(std::initializer_list<CFTypeRef> objects) {
    for (CFTypeRef object : objects)
        CFRelease(object);
}

// The live and misuse counters are what every other test's leak check reads.
TEST_F(SimCFValues, CountersFollowCreateRetainReleaseAndCountEveryMisuse) {
    CFStringRef text = Text("kept");
    EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_ + 1);
    EXPECT_EQ(CFRetain(text), text);
    CFRelease(text);
    EXPECT_EQ(CFStringGetLength(text), 4) << "alive until the last release";
    CFRelease(text);
    EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_);

    // Misuses the real library would crash on are counted and change nothing.
    CFStringRef other = Text("other");
    CFRelease(other);
    CFRelease(other);                        // over-release of a freed object
    EXPECT_EQ(CFStringGetLength(other), 0);  // read of a freed object
    CFRelease(nullptr);                      // NULL
    int notAnObject[4] = {1, 2, 3, 4};
    CFRelease(notAnObject);  // no object at all
    const int seven = 7;
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberIntType, &seven);
    EXPECT_EQ(CFStringGetLength(reinterpret_cast<CFStringRef>(number)), 0);  // wrong type
    CFRelease(number);
    // The booleans live for ever and are not counted.
    for (int i = 0; i < 3; ++i)
        CFRelease(kCFBooleanTrue);
    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
    EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
    EXPECT_EQ(BwSimCFLiveObjectsOfType(CFBooleanGetTypeID()), 0);
    expectedMisuses_ = 5;
}

// The device notification thread and host threads share objects.
TEST_F(SimCFValues, ConcurrentRetainsAndReleasesKeepTheCountExact) {
    CFMutableArrayRef shared = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFStringRef value = Text("shared value");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                CFRetain(shared);
                CFMutableArrayRef mine = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
                CFArrayAppendValue(mine, value);
                CFRelease(mine);
                CFRelease(shared);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(CFGetRetainCount(shared), 1);
    EXPECT_EQ(CFGetRetainCount(value), 1);
    ReleaseAll({value, shared});
}

// Service connections are foreign objects the caller releases with CFRelease: the owner's
// finalizer runs exactly once, also when a container lets go, and may release other objects.
TEST_F(SimCFValues, ForeignObjectsAreFinalisedOnceByTheirLastRelease) {
    struct Payload {
        int finalized = 0;
        CFTypeRef releaseOnFinalize = nullptr;
    };
    const auto finalize = [](void* payload) {
        auto* state = static_cast<Payload*>(payload);
        ++state->finalized;
        if (state->releaseOnFinalize != nullptr) CFRelease(state->releaseOnFinalize);
    };
    Payload inner;
    Payload outer;
    outer.releaseOnFinalize = BwSimCFCreateForeign(&inner, finalize);
    CFTypeRef object = BwSimCFCreateForeign(&outer, finalize);
    EXPECT_EQ(BwSimCFForeignPayload(object), &outer);
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(array, object);
    CFRelease(object);
    EXPECT_EQ(outer.finalized, 0);
    EXPECT_EQ(CFPropertyListCreateData(nullptr, array, kCFPropertyListXMLFormat_v1_0, 0, nullptr),
              nullptr)
        << "a foreign object is no property-list value";
    CFRelease(array);
    EXPECT_EQ(outer.finalized, 1);
    EXPECT_EQ(inner.finalized, 1);
    CFRelease(object);  // a late release meets a dead object
    EXPECT_EQ(outer.finalized, 1);
    expectedMisuses_ = 1;
}

TEST_F(SimCFValues, DictionariesOwnTheirEntriesAndFindKeysByValue) {
    CFMutableDictionaryRef dictionary = NewDictionary();
    CFStringRef key = Text("ProductVersion");
    CFNumberRef first = Number<int64_t>(kCFNumberSInt64Type, 50);
    CFNumberRef second = Number<int64_t>(kCFNumberSInt64Type, 80);
    CFDictionaryAddValue(dictionary, key, first);
    EXPECT_EQ(CFGetRetainCount(key), 2);
    EXPECT_EQ(CFGetRetainCount(first), 2);
    CFDictionaryAddValue(dictionary, key, second);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, key), first) << "Add keeps the first value";
    CFDictionarySetValue(dictionary, key, second);
    EXPECT_EQ(CFGetRetainCount(first), 1) << "Set releases the value it replaces";

    // A key made separately, from UTF-16, finds the entry; a number key matches by value.
    CFStringRef lookup = FromUnits(u"ProductVersion");
    EXPECT_EQ(CFDictionaryGetValue(dictionary, lookup), second);
    CFStringRef wrongCase = Text("productversion");
    EXPECT_FALSE(CFDictionaryContainsKey(dictionary, wrongCase));
    CFNumberRef numberKey = Number<int32_t>(kCFNumberSInt32Type, 5);
    CFDictionarySetValue(dictionary, numberKey, kCFBooleanTrue);
    CFNumberRef realFive = Number<double>(kCFNumberDoubleType, 5.0);
    EXPECT_TRUE(CFDictionaryContainsKey(dictionary, realFive));

    // Setting the value it already holds must not free it on the way.
    CFStringRef value = Text("value");
    CFDictionarySetValue(dictionary, key, value);
    CFRelease(value);
    CFDictionarySetValue(dictionary, key, value);
    EXPECT_EQ(CFStringGetLength(static_cast<CFStringRef>(CFDictionaryGetValue(dictionary, key))),
              5);
    EXPECT_EQ(CFDictionaryGetCount(dictionary), 2);
    ReleaseAll({first, second, lookup, wrongCase, numberKey, realFive, key, dictionary});
}

TEST_F(SimCFValues, ManyKeysStayFindableAfterRemovals) {
    CFMutableDictionaryRef dictionary = NewDictionary();
    const auto key = [](int i) { return Text(("key" + std::to_string(i)).c_str()); };
    for (int i = 0; i < 5000; ++i) {
        CFStringRef k = key(i);
        CFNumberRef v = Number<int64_t>(kCFNumberSInt64Type, i);
        CFDictionaryAddValue(dictionary, k, v);
        ReleaseAll({k, v});
    }
    for (int i = 0; i < 5000; i += 2) {
        CFStringRef k = key(i);
        CFDictionaryRemoveValue(dictionary, k);
        CFRelease(k);
    }
    EXPECT_EQ(CFDictionaryGetCount(dictionary), 2500);
    EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_ + 1 + 2 * 2500);
    for (int i = 0; i < 5000; ++i) {
        CFStringRef k = key(i);
        const auto* value = static_cast<CFNumberRef>(CFDictionaryGetValue(dictionary, k));
        CFRelease(k);
        if (i % 2 == 0) {
            EXPECT_EQ(value, nullptr) << i;
            continue;
        }
        ASSERT_NE(value, nullptr) << i;
        EXPECT_EQ(ReadAsDouble(value, kCFNumberSInt64Type).second, i);
    }
    CFRelease(dictionary);
}

// Containers without callbacks hold plain pointers, as callers with their own callbacks do;
// immutable ones refuse changes; indexes outside an array give NULL.
TEST_F(SimCFValues, ContainerEdgesAreRefusedOrCounted) {
    CFMutableDictionaryRef plain = CFDictionaryCreateMutable(nullptr, 0, nullptr, nullptr);
    CFStringRef key = Text("key");
    CFStringRef sameText = Text("key");
    CFDictionarySetValue(plain, key, sameText);
    EXPECT_EQ(CFGetRetainCount(sameText), 1);
    EXPECT_FALSE(CFDictionaryContainsKey(plain, sameText)) << "pointer equality only";
    CFRelease(plain);

    const void* values[] = {key};
    CFArrayRef array = CFArrayCreate(nullptr, values, 1, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(const_cast<CFMutableArrayRef>(array), sameText);
    CFDictionaryRef fixed =
        CFDictionaryCreate(nullptr, values, values, 1, &kCFTypeDictionaryKeyCallBacks,
                           &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(fixed), sameText, sameText);
    EXPECT_EQ(CFArrayGetCount(array), 1);
    EXPECT_EQ(CFDictionaryGetCount(fixed), 1);
    EXPECT_EQ(CFArrayGetValueAtIndex(array, 0), key);
    EXPECT_EQ(CFArrayGetValueAtIndex(array, 1), nullptr);
    EXPECT_EQ(CFArrayGetValueAtIndex(array, -1), nullptr);
    ReleaseAll({array, fixed, key, sameText});
    expectedMisuses_ = 4;
}

// Freeing a container releases its values, which may free containers in turn; that must not
// recurse once per level.
TEST_F(SimCFValues, DeeplyNestedContainersAreFreedWithoutExhaustingTheStack) {
    CFMutableArrayRef outer = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFMutableArrayRef current = outer;
    for (int i = 0; i < 300000; ++i) {
        CFMutableArrayRef inner = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        CFArrayAppendValue(current, inner);
        CFRelease(inner);
        current = inner;
    }
    CFRelease(outer);
}

// The library reads every number as a long long; the simulator's own code narrows and widens.
TEST_F(SimCFValues, NumbersConvertExactlyOrReportTheLoss) {
    struct Case {
        CFNumberRef number;
        CFNumberType readAs;
        bool exact;
        double value;
    };
    const Case cases[] = {
        {Number<int32_t>(kCFNumberIntType, 42), kCFNumberLongLongType, true, 42},
        {Number<int32_t>(kCFNumberIntType, 42), kCFNumberDoubleType, true, 42},
        // The sync host makes numbers of type 3 and reads them as 11.
        {Number<int32_t>(3, 123), 11, true, 123},
        {Number<int64_t>(kCFNumberSInt64Type, 300), kCFNumberSInt8Type, false, 44},
        {Number<int64_t>(kCFNumberSInt64Type, 300), kCFNumberSInt16Type, true, 300},
        {Number<int16_t>(kCFNumberShortType, -129), kCFNumberCharType, false, 127},
        {Number<double>(kCFNumberDoubleType, -3.75), kCFNumberSInt32Type, false, -3},
        {Number<double>(kCFNumberDoubleType, 1e20), kCFNumberSInt8Type, false, 127},
        {Number<double>(kCFNumberDoubleType, std::nan("")), kCFNumberSInt32Type, false, 0},
        {Number<int64_t>(kCFNumberSInt64Type, (int64_t{1} << 53) + 1), kCFNumberFloat64Type, false,
         9007199254740992.0},
        // Callers that declare the type as int leave the upper half of the register undefined.
        {Number<int64_t>(static_cast<CFNumberType>(0x7FFF'FFFF'0000'0000 | 11), -5),
         static_cast<CFNumberType>(0x7FFF'FFFF'0000'0000 | 11), true, -5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "read as " << (c.readAs & 0xFF) << ", want " << c.value);
        ASSERT_NE(c.number, nullptr);
        EXPECT_EQ(ReadAsDouble(c.number, c.readAs), std::make_pair(c.exact, c.value));
        CFRelease(c.number);
    }
    // Equal values are equal across types and hash alike, NaN included (found by fuzzing).
    CFNumberRef integer = Number<int32_t>(kCFNumberSInt32Type, 5);
    CFNumberRef real = Number<double>(kCFNumberFloat64Type, 5.0);
    CFNumberRef nan = Number<double>(kCFNumberDoubleType, std::nan(""));
    CFNumberRef otherNan = Number<double>(kCFNumberDoubleType, -std::nan("1"));
    EXPECT_TRUE(CFEqual(integer, real));
    EXPECT_EQ(CFHash(integer), CFHash(real));
    EXPECT_TRUE(CFEqual(nan, otherNan));
    EXPECT_EQ(CFHash(nan), CFHash(otherNan));
    EXPECT_FALSE(CFEqual(nan, integer));
    // Unknown types are refused.
    EXPECT_EQ(CFNumberCreate(nullptr, 17, &integer), nullptr);
    int64_t out = 0;
    EXPECT_FALSE(CFNumberGetValue(integer, 0, &out));
    ReleaseAll({integer, real, nan, otherNan});
    expectedMisuses_ = 2;
}

// The library's text bridge sizes its buffer as CFStringGetMaximumSizeForEncoding(length,
// 0x100) + 2, zeroed, and reads the UTF-16 text up to the first zero unit.
TEST_F(SimCFValues, StringsHoldUtf16AndFollowTheBufferRulesOfGetCString) {
    const std::u16string mixed = u"a\u20AC\U0001F600";  // a surrogate pair at the end
    CFStringRef string = FromUnits(mixed);
    EXPECT_EQ(CFStringGetLength(string), 4);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(4, kCFStringEncodingUnicode), 8);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(4, kCFStringEncodingUTF8), 12);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(LONG_MAX / 2, kCFStringEncodingUTF8), kCFNotFound);

    std::vector<char> buffer(12, '\x55');
    EXPECT_FALSE(CFStringGetCString(string, buffer.data(), 8, kCFStringEncodingUnicode));
    EXPECT_EQ(buffer[0], '\x55') << "nothing is written on failure";
    ASSERT_TRUE(CFStringGetCString(string, buffer.data(), 9, kCFStringEncodingUnicode));
    EXPECT_EQ(std::memcmp(buffer.data(), mixed.data(), 8), 0);
    EXPECT_EQ(buffer[8], '\0');
    EXPECT_EQ(buffer[9], '\x55') << "the terminator is a single byte";

    char utf8[16];
    EXPECT_FALSE(CFStringGetCString(string, utf8, 8, kCFStringEncodingUTF8));
    ASSERT_TRUE(CFStringGetCString(string, utf8, 9, kCFStringEncodingUTF8));
    EXPECT_STREQ(utf8, "a\xE2\x82\xAC\xF0\x9F\x98\x80");
    CFStringRef fromUtf8 = Text(utf8);
    EXPECT_TRUE(CFEqual(fromUtf8, string));
    EXPECT_EQ(CFHash(fromUtf8), CFHash(string));
    EXPECT_EQ(UnitsOf(fromUtf8), mixed);

    // An unpaired surrogate has no UTF-8 form; invalid UTF-8 makes no string.
    CFStringRef broken = FromUnits(std::u16string(u"x\xD800y", 3));
    EXPECT_FALSE(CFStringGetCString(broken, utf8, sizeof utf8, kCFStringEncodingUTF8));
    for (const char* bytes : {"\xC0\xAF", "\x80", "\xE2\x82", "\xED\xA0\x80", "\xF4\x90\x80\x80"})
        EXPECT_EQ(Text(bytes), nullptr) << bytes;
    // UTF-16 bytes honour a byte-order mark.
    const UInt8 little[] = {0xFF, 0xFE, 0x48, 0x00, 0x69, 0x00};
    CFStringRef hi = CFStringCreateWithBytes(nullptr, little, 6, kCFStringEncodingUTF16, false);
    EXPECT_EQ(UnitsOf(hi), u"Hi");
    ReleaseAll({string, fromUtf8, broken, hi});
}

TEST_F(SimCFValues, DataCopiesItsBytesAndDatesKeepTheirTime) {
    UInt8 bytes[] = {0, 1, 2, 0xFF};
    CFDataRef data = CFDataCreate(nullptr, bytes, sizeof bytes);
    bytes[0] = 9;
    ASSERT_EQ(CFDataGetLength(data), 4);
    EXPECT_EQ(std::memcmp(CFDataGetBytePtr(data), "\x00\x01\x02\xFF", 4), 0);
    CFDataRef empty = CFDataCreate(nullptr, nullptr, 0);
    EXPECT_NE(CFDataGetBytePtr(empty), nullptr);
    EXPECT_EQ(CFDataCreate(nullptr, nullptr, 4), nullptr);
    CFMutableDataRef growing = CFDataCreateMutable(nullptr, 0);
    CFDataAppendBytes(growing, reinterpret_cast<const UInt8*>("abc"), 3);
    CFDataAppendBytes(growing, reinterpret_cast<const UInt8*>("de"), 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(growing)), 5), "abcde");
    CFDateRef date = CFDateCreate(nullptr, 400000000.25);
    CFDateRef same = CFDateCreate(nullptr, 400000000.25);
    EXPECT_EQ(CFDateGetAbsoluteTime(date), 400000000.25);
    EXPECT_TRUE(CFEqual(date, same));
    ReleaseAll({data, empty, growing, date, same});
    expectedMisuses_ = 1;
}

}  // namespace
