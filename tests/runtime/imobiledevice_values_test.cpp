// Values between CoreFoundation and libplist in the libimobiledevice runtime, each side built and
// read with its own library's functions.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <string>

#include "cf/CoreFoundation.h"
#include "cf_bridge.h"

namespace bw {
namespace {

using imd::CFOwner;
using imd::PlistOwner;

CFStringRef ImdUtf16String(const std::u16string& text) {
    return CFStringCreateWithCharacters(nullptr, reinterpret_cast<const UniChar*>(text.data()),
                                        static_cast<CFIndex>(text.size()));
}

TEST(ImdValues, LockdownTreesBecomeCFValuesWithTheirTypes) {
    PlistOwner tree(plist_new_dict());
    plist_dict_set_item(tree.node, "DeviceName", plist_new_string("Anna’s iPhone"));
    plist_dict_set_item(tree.node, "BatteryCurrentCapacity", plist_new_uint(87));
    plist_dict_set_item(tree.node, "PasswordProtected", plist_new_bool(1));
    plist_dict_set_item(tree.node, "WiFiAddress", plist_new_data("\x01\x00\x02", 3));
    plist_t list = plist_new_array();
    plist_array_append_item(list, plist_new_string("a"));
    plist_dict_set_item(tree.node, "List", list);

    CFOwner value(imd::CFFromPlist(tree.node));
    ASSERT_NE(value.value, nullptr);
    ASSERT_EQ(CFGetTypeID(value.value), CFDictionaryGetTypeID());
    auto dictionary = static_cast<CFDictionaryRef>(value.value);
    EXPECT_EQ(CFDictionaryGetCount(dictionary), 5);

    const auto item = [&](const char* key) {
        CFOwner name(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
        return CFDictionaryGetValue(dictionary, name.value);
    };
    EXPECT_EQ(imd::TextOf(item("DeviceName")), "Anna’s iPhone");
    const void* capacity = item("BatteryCurrentCapacity");
    ASSERT_NE(capacity, nullptr);
    long long number = 0;
    EXPECT_TRUE(
        CFNumberGetValue(static_cast<CFNumberRef>(capacity), kCFNumberLongLongType, &number));
    EXPECT_EQ(number, 87);
    EXPECT_EQ(item("PasswordProtected"), kCFBooleanTrue);
    const void* data = item("WiFiAddress");
    ASSERT_NE(data, nullptr);
    ASSERT_EQ(CFDataGetLength(static_cast<CFDataRef>(data)), 3);
    EXPECT_EQ(std::string(
                  reinterpret_cast<const char*>(CFDataGetBytePtr(static_cast<CFDataRef>(data))), 3),
              std::string("\x01\x00\x02", 3));
    const void* array = item("List");
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(CFArrayGetCount(static_cast<CFArrayRef>(array)), 1);
}

TEST(ImdValues, CFValuesBecomeTreesAndNonPropertyListsAreRefused) {
    CFOwner key(CFStringCreateWithCString(nullptr, "TimeZone", kCFStringEncodingUTF8));
    CFOwner zone(CFStringCreateWithCString(nullptr, "Europe/Oslo", kCFStringEncodingUTF8));
    const void* keys[] = {key.value};
    const void* values[] = {zone.value};
    CFOwner dictionary(CFDictionaryCreate(nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                                          &kCFTypeDictionaryValueCallBacks));
    PlistOwner tree(imd::PlistFromCF(dictionary.value));
    ASSERT_NE(tree.node, nullptr);
    ASSERT_EQ(plist_get_node_type(tree.node), PLIST_DICT);
    EXPECT_EQ(imd::PlistString(tree.node, "TimeZone"), "Europe/Oslo");
    EXPECT_EQ(imd::PlistString(tree.node, "Other"), std::nullopt);

    EXPECT_EQ(imd::PlistFromCF(nullptr), nullptr);
    // A dictionary keyed by a number is no property list.
    int one = 1;
    CFOwner numberKey(CFNumberCreate(nullptr, kCFNumberSInt32Type, &one));
    const void* badKeys[] = {numberKey.value};
    CFOwner bad(CFDictionaryCreate(nullptr, badKeys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                                   &kCFTypeDictionaryValueCallBacks));
    EXPECT_EQ(imd::PlistFromCF(bad.value), nullptr);
}

TEST(ImdValues, NamesFromCallersAreStringsWithoutNulsWithinTheirLimit) {
    CFOwner plain(ImdUtf16String(u"com.apple.afc"));
    EXPECT_EQ(imd::TextOf(plain.value, 13), "com.apple.afc");
    EXPECT_EQ(imd::TextOf(plain.value, 12), std::nullopt);
    CFOwner withNul(ImdUtf16String(std::u16string(u"com.apple.afc\0x", 15)));
    EXPECT_EQ(imd::TextOf(withNul.value), std::nullopt);
    CFOwner loneSurrogate(ImdUtf16String(std::u16string(1, char16_t{0xD800})));
    EXPECT_EQ(imd::TextOf(loneSurrogate.value), std::nullopt);
    int number = 5;
    CFOwner notText(CFNumberCreate(nullptr, kCFNumberSInt32Type, &number));
    EXPECT_EQ(imd::TextOf(notText.value), std::nullopt);
    EXPECT_EQ(imd::TextOf(nullptr), std::nullopt);

    CFOwner made(imd::MakeString("DCIM/100APPLE"));
    EXPECT_EQ(imd::TextOf(made.value), "DCIM/100APPLE");
    EXPECT_EQ(imd::MakeString("bad\xC3"), nullptr);
}

}  // namespace
}  // namespace bw
