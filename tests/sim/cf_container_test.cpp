// Arrays and dictionaries of the CoreFoundation stand-in: what they retain
// through their callbacks, how keys are found, and Set against Add.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cf/CoreFoundation.h"

namespace {

class SimCFContainers : public ::testing::Test {
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

CFStringRef TextFromUnits(const std::u16string& text) {
    return CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(text.data()),
                                        static_cast<CFIndex>(text.size()));
}

CFNumberRef Integer(int64_t value) {
    return CFNumberCreate(nullptr, kCFNumberSInt64Type, &value);
}

CFMutableDictionaryRef NewTypeDictionary() {
    return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                     &kCFTypeDictionaryValueCallBacks);
}

TEST_F(SimCFContainers, TypeCallbacksRetainKeysAndValuesUntilTheDictionaryGoes) {
    CFMutableDictionaryRef dictionary = NewTypeDictionary();
    CFStringRef key = Text("key");
    CFNumberRef value = Integer(1);
    CFDictionarySetValue(dictionary, key, value);
    EXPECT_EQ(CFGetRetainCount(key), 2);
    EXPECT_EQ(CFGetRetainCount(value), 2);
    CFRelease(dictionary);
    EXPECT_EQ(CFGetRetainCount(key), 1);
    EXPECT_EQ(CFGetRetainCount(value), 1);
    CFRelease(key);
    CFRelease(value);
}

TEST_F(SimCFContainers, ValuesOwnedOnlyByAContainerGoWithIt) {
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFMutableDictionaryRef dictionary = NewTypeDictionary();
    CFStringRef key = Text("inner");
    CFDictionarySetValue(dictionary, key, array);
    CFRelease(key);
    CFStringRef element = Text("element");
    CFArrayAppendValue(array, element);
    CFRelease(element);
    CFRelease(array);
    EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_ + 4);
    CFRelease(dictionary);
}

TEST_F(SimCFContainers, NullCallbacksNeitherRetainNorCompareByValue) {
    CFMutableDictionaryRef dictionary = CFDictionaryCreateMutable(nullptr, 0, nullptr, nullptr);
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, nullptr);
    CFStringRef key = Text("key");
    CFStringRef sameText = Text("key");
    CFDictionarySetValue(dictionary, key, sameText);
    CFArrayAppendValue(array, key);
    EXPECT_EQ(CFGetRetainCount(key), 1);
    EXPECT_EQ(CFGetRetainCount(sameText), 1);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, key), sameText);
    EXPECT_FALSE(CFDictionaryContainsKey(dictionary, sameText)) << "pointer equality only";
    // Such containers also hold plain integers, as callers with custom callbacks
    // do.
    CFDictionarySetValue(dictionary, reinterpret_cast<const void*>(7),
                         reinterpret_cast<const void*>(8));
    EXPECT_EQ(CFDictionaryGetValue(dictionary, reinterpret_cast<const void*>(7)),
              reinterpret_cast<const void*>(8));
    CFRelease(array);
    CFRelease(dictionary);
    EXPECT_EQ(CFGetRetainCount(key), 1);
    CFRelease(key);
    CFRelease(sameText);
}

struct CallbackLog {
    static inline int retains = 0;
    static inline int releases = 0;
    static const void* Retain(CFAllocatorRef, const void* value) {
        ++retains;
        return value;
    }
    static void Release(CFAllocatorRef, const void*) { ++releases; }
};

TEST_F(SimCFContainers, CustomCallbacksAreCalledOnAddReplaceAndFree) {
    CallbackLog::retains = CallbackLog::releases = 0;
    const CFDictionaryValueCallBacks valueCallbacks = {0, CallbackLog::Retain, CallbackLog::Release,
                                                       nullptr, nullptr};
    CFMutableDictionaryRef dictionary =
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &valueCallbacks);
    CFStringRef key = Text("k");
    CFDictionarySetValue(dictionary, key, reinterpret_cast<const void*>(1));
    CFDictionarySetValue(dictionary, key, reinterpret_cast<const void*>(2));
    EXPECT_EQ(CallbackLog::retains, 2);
    EXPECT_EQ(CallbackLog::releases, 1);
    CFDictionaryAddValue(dictionary, key, reinterpret_cast<const void*>(3));
    EXPECT_EQ(CallbackLog::retains, 2) << "Add does nothing when the key is present";
    CFRelease(dictionary);
    EXPECT_EQ(CallbackLog::releases, 2);

    const CFArrayCallBacks arrayCallbacks = {0, CallbackLog::Retain, CallbackLog::Release, nullptr,
                                             nullptr};
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &arrayCallbacks);
    CFArrayAppendValue(array, reinterpret_cast<const void*>(4));
    CFRelease(array);
    EXPECT_EQ(CallbackLog::retains, 3);
    EXPECT_EQ(CallbackLog::releases, 3);
    CFRelease(key);
}

TEST_F(SimCFContainers, SetReplacesAndReleasesTheOldValueWhileAddKeepsTheFirst) {
    CFMutableDictionaryRef dictionary = NewTypeDictionary();
    CFStringRef key = Text("Battery");
    CFNumberRef first = Integer(50);
    CFNumberRef second = Integer(80);
    CFNumberRef third = Integer(99);
    CFDictionaryAddValue(dictionary, key, first);
    CFDictionaryAddValue(dictionary, key, second);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, key), first);
    EXPECT_EQ(CFGetRetainCount(second), 1);
    CFDictionarySetValue(dictionary, key, third);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, key), third);
    EXPECT_EQ(CFGetRetainCount(first), 1) << "the replaced value was released";
    EXPECT_EQ(CFDictionaryGetCount(dictionary), 1);
    CFRelease(dictionary);
    CFRelease(key);
    CFRelease(first);
    CFRelease(second);
    CFRelease(third);
}

TEST_F(SimCFContainers, SettingTheSameValueAgainKeepsItAlive) {
    CFMutableDictionaryRef dictionary = NewTypeDictionary();
    CFStringRef key = Text("key");
    CFStringRef value = Text("value");
    CFDictionarySetValue(dictionary, key, value);
    CFRelease(value);  // the dictionary holds the only reference now
    CFDictionarySetValue(dictionary, key, value);
    EXPECT_EQ(CFStringGetLength(static_cast<CFStringRef>(CFDictionaryGetValue(dictionary, key))),
              5);
    CFRelease(key);
    CFRelease(dictionary);
}

TEST_F(SimCFContainers, KeysAreFoundByEqualButDistinctObjects) {
    CFMutableDictionaryRef dictionary = NewTypeDictionary();
    CFStringRef key = Text("ProductVersion");
    CFStringRef value = Text("7.1.2");
    CFDictionarySetValue(dictionary, key, value);
    CFStringRef lookup = TextFromUnits(u"ProductVersion");
    EXPECT_NE(lookup, key);
    EXPECT_TRUE(CFDictionaryContainsKey(dictionary, lookup));
    EXPECT_EQ(CFDictionaryGetValue(dictionary, lookup), value);

    const int32_t five = 5;
    const double fiveReal = 5.0;
    const double fiveAndAHalf = 5.5;
    CFNumberRef numberKey = CFNumberCreate(nullptr, kCFNumberSInt32Type, &five);
    CFDictionarySetValue(dictionary, numberKey, value);
    CFNumberRef realLookup = CFNumberCreate(nullptr, kCFNumberDoubleType, &fiveReal);
    CFNumberRef otherLookup = CFNumberCreate(nullptr, kCFNumberDoubleType, &fiveAndAHalf);
    EXPECT_TRUE(CFDictionaryContainsKey(dictionary, realLookup));
    EXPECT_FALSE(CFDictionaryContainsKey(dictionary, otherLookup));
    CFStringRef missing = Text("productversion");
    EXPECT_EQ(CFDictionaryGetValue(dictionary, missing), nullptr);
    for (CFTypeRef object :
         {CFTypeRef(key), CFTypeRef(value), CFTypeRef(lookup), CFTypeRef(numberKey),
          CFTypeRef(realLookup), CFTypeRef(otherLookup), CFTypeRef(missing), CFTypeRef(dictionary)})
        CFRelease(object);
}

TEST_F(SimCFContainers, ManyKeysStayFindableAfterRemovals) {
    CFMutableDictionaryRef dictionary = NewTypeDictionary();
    for (int i = 0; i < 5000; ++i) {
        CFStringRef key = Text(("key" + std::to_string(i)).c_str());
        CFNumberRef value = Integer(i);
        CFDictionaryAddValue(dictionary, key, value);
        CFRelease(key);
        CFRelease(value);
    }
    for (int i = 0; i < 5000; i += 2) {
        CFStringRef key = Text(("key" + std::to_string(i)).c_str());
        CFDictionaryRemoveValue(dictionary, key);
        CFRelease(key);
    }
    EXPECT_EQ(CFDictionaryGetCount(dictionary), 2500);
    EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_ + 1 + 2 * 2500);
    for (int i = 0; i < 5000; ++i) {
        CFStringRef key = Text(("key" + std::to_string(i)).c_str());
        const auto* value = static_cast<CFNumberRef>(CFDictionaryGetValue(dictionary, key));
        if (i % 2 == 0) {
            EXPECT_EQ(value, nullptr) << i;
        } else {
            int64_t number = -1;
            ASSERT_NE(value, nullptr) << i;
            CFNumberGetValue(value, kCFNumberSInt64Type, &number);
            EXPECT_EQ(number, i);
        }
        CFRelease(key);
    }
    CFRelease(dictionary);
}

TEST_F(SimCFContainers, KeysAndValuesComeOutInInsertionOrder) {
    CFStringRef keys[] = {Text("b"), Text("a"), Text("c")};
    CFNumberRef values[] = {Integer(1), Integer(2), Integer(3)};
    CFDictionaryRef dictionary = CFDictionaryCreate(
        nullptr, reinterpret_cast<const void**>(keys), reinterpret_cast<const void**>(values), 3,
        &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    const void* outKeys[3] = {};
    const void* outValues[3] = {};
    CFDictionaryGetKeysAndValues(dictionary, outKeys, outValues);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(outKeys[i], keys[i]);
        EXPECT_EQ(outValues[i], values[i]);
        CFRelease(keys[i]);
        CFRelease(values[i]);
    }
    CFRelease(dictionary);
}

TEST_F(SimCFContainers, CreateWithARepeatedKeyKeepsItsFirstValue) {
    CFStringRef key = Text("k");
    CFStringRef again = Text("k");
    CFNumberRef one = Integer(1);
    CFNumberRef two = Integer(2);
    const void* keys[] = {key, again};
    const void* values[] = {one, two};
    CFDictionaryRef dictionary = CFDictionaryCreate(
        nullptr, keys, values, 2, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    EXPECT_EQ(CFDictionaryGetCount(dictionary), 1);
    EXPECT_EQ(CFDictionaryGetValue(dictionary, again), one);
    EXPECT_EQ(CFGetRetainCount(two), 1);
    for (CFTypeRef object :
         {CFTypeRef(key), CFTypeRef(again), CFTypeRef(one), CFTypeRef(two), CFTypeRef(dictionary)})
        CFRelease(object);
}

TEST_F(SimCFContainers, ImmutableContainersRefuseChanges) {
    CFStringRef key = Text("k");
    const void* keys[] = {key};
    const void* values[] = {key};
    CFDictionaryRef dictionary = CFDictionaryCreate(
        nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    CFArrayRef array = CFArrayCreate(nullptr, values, 1, &kCFTypeArrayCallBacks);
    auto* writableDictionary = const_cast<CFMutableDictionaryRef>(dictionary);
    CFStringRef other = Text("other");
    CFDictionarySetValue(writableDictionary, other, other);
    CFDictionaryAddValue(writableDictionary, other, other);
    CFDictionaryRemoveValue(writableDictionary, key);
    CFArrayAppendValue(const_cast<CFMutableArrayRef>(array), other);
    EXPECT_EQ(CFDictionaryGetCount(dictionary), 1);
    EXPECT_EQ(CFArrayGetCount(array), 1);
    EXPECT_EQ(CFGetRetainCount(other), 1);
    EXPECT_EQ(CFGetRetainCount(key), 4);
    for (CFTypeRef object :
         {CFTypeRef(key), CFTypeRef(other), CFTypeRef(array), CFTypeRef(dictionary)})
        CFRelease(object);
    expectedMisuses_ = 4;
}

TEST_F(SimCFContainers, ArrayIndexesOutsideTheArrayAreCounted) {
    CFNumberRef value = Integer(3);
    const void* values[] = {value};
    CFArrayRef array = CFArrayCreate(nullptr, values, 1, &kCFTypeArrayCallBacks);
    EXPECT_EQ(CFArrayGetValueAtIndex(array, 0), value);
    EXPECT_EQ(CFArrayGetValueAtIndex(array, 1), nullptr);
    EXPECT_EQ(CFArrayGetValueAtIndex(array, -1), nullptr);
    EXPECT_EQ(CFArrayCreateMutable(nullptr, -1, &kCFTypeArrayCallBacks), nullptr);
    EXPECT_EQ(CFDictionaryCreateMutable(nullptr, -1, nullptr, nullptr), nullptr);
    EXPECT_EQ(CFArrayCreate(nullptr, nullptr, 2, nullptr), nullptr);
    CFRelease(array);
    CFRelease(value);
    expectedMisuses_ = 5;
}

TEST_F(SimCFContainers, ContainersCompareByContent) {
    auto build = [](const char* text) {
        CFMutableDictionaryRef dictionary = NewTypeDictionary();
        CFMutableArrayRef list = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        CFStringRef key = Text("list");
        CFStringRef element = Text(text);
        CFArrayAppendValue(list, element);
        CFArrayAppendValue(list, kCFBooleanTrue);
        CFDictionarySetValue(dictionary, key, list);
        CFRelease(key);
        CFRelease(element);
        CFRelease(list);
        return dictionary;
    };
    CFMutableDictionaryRef a = build("x");
    CFMutableDictionaryRef b = build("x");
    CFMutableDictionaryRef c = build("y");
    EXPECT_TRUE(CFEqual(a, b));
    EXPECT_EQ(CFHash(a), CFHash(b));
    EXPECT_FALSE(CFEqual(a, c));
    CFRelease(a);
    CFRelease(b);
    CFRelease(c);
}

}  // namespace
