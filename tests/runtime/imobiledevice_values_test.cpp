// Values between CoreFoundation and libplist in the libimobiledevice runtime, each side built and
// read with its own library's functions.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cf/CoreFoundation.h"
#include "cf_bridge.h"
#include "mapping.h"

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

namespace bw {
namespace {

using imd::MuxMessage;

std::string MuxXml(const std::string& inner) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>" + inner +
           "</dict></plist>";
}

std::string AttachedXml(const std::string& id, const std::string& type, const std::string& serial) {
    return "<key>MessageType</key><string>Attached</string><key>DeviceID</key><integer>" + id +
           "</integer><key>Properties</key><dict><key>ConnectionType</key><string>" + type +
           "</string><key>SerialNumber</key><string>" + serial + "</string></dict>";
}

const std::string kUdid = "0123456789abcdef0123456789abcdef01234567";

TEST(ImdMuxMessages, RequestsCarryTheirHeaderAndAreReadBackAsLengthAndBody) {
    const std::string request = imd::MuxRequest("Listen", 7);
    ASSERT_GT(request.size(), imd::kMuxHeaderBytes);
    std::array<unsigned char, imd::kMuxHeaderBytes> header{};
    std::memcpy(header.data(), request.data(), header.size());
    EXPECT_EQ(header[0] | (header[1] << 8), static_cast<int>(request.size()));
    EXPECT_EQ(header[4], 1);   // version
    EXPECT_EQ(header[8], 8);   // a property list
    EXPECT_EQ(header[12], 7);  // the tag
    EXPECT_EQ(imd::MuxBodyLength(header), request.size() - imd::kMuxHeaderBytes);
    PlistOwner body;
    plist_from_memory(request.data() + imd::kMuxHeaderBytes,
                      static_cast<uint32_t>(request.size() - imd::kMuxHeaderBytes), &body.node);
    ASSERT_NE(body.node, nullptr);
    EXPECT_EQ(imd::PlistString(body.node, "MessageType"), "Listen");

    // A binary message, a length below the header's or above the bound is refused.
    header[8] = 1;
    EXPECT_FALSE(imd::MuxBodyLength(header));
    header[8] = 8;
    header[0] = 15;
    header[1] = 0;
    EXPECT_FALSE(imd::MuxBodyLength(header));
    header[0] = 0x11;
    header[2] = 0x10;  // 1 MiB and 17 bytes
    EXPECT_FALSE(imd::MuxBodyLength(header));
}

TEST(ImdMuxMessages, OnlyUsablePhonesAreReadFromAnnouncementsAndLists) {
    const auto attached = imd::ReadMuxMessage(MuxXml(AttachedXml("3", "USB", kUdid)));
    ASSERT_TRUE(attached);
    EXPECT_EQ(attached->kind, MuxMessage::Kind::Attached);
    EXPECT_EQ(attached->device.handle, 3u);
    EXPECT_EQ(attached->device.udid, kUdid);
    EXPECT_EQ(attached->device.interfaceType, 1);
    EXPECT_EQ(imd::ReadMuxMessage(MuxXml(AttachedXml("4", "Network", kUdid)))->device.interfaceType,
              2);
    // A connection type we do not know, a handle of 0 or beyond 32 bits, an identifier too long
    // or not UTF-8: not a phone to report.
    EXPECT_FALSE(imd::ReadMuxMessage(MuxXml(AttachedXml("3", "Bluetooth", kUdid))));
    EXPECT_FALSE(imd::ReadMuxMessage(MuxXml(AttachedXml("0", "USB", kUdid))));
    EXPECT_FALSE(imd::ReadMuxMessage(MuxXml(AttachedXml("4294967296", "USB", kUdid))));
    EXPECT_FALSE(imd::ReadMuxMessage(MuxXml(AttachedXml("3", "USB", std::string(64, 'a')))));
    EXPECT_FALSE(imd::ReadMuxMessage(MuxXml(AttachedXml("3", "USB", ""))));

    const auto detached = imd::ReadMuxMessage(
        MuxXml("<key>MessageType</key><string>Detached</string><key>DeviceID</key><integer>9"
               "</integer>"));
    ASSERT_TRUE(detached);
    EXPECT_EQ(detached->kind, MuxMessage::Kind::Detached);
    EXPECT_EQ(detached->device.handle, 9u);

    const auto result = imd::ReadMuxMessage(
        MuxXml("<key>MessageType</key><string>Result</string><key>Number</key><integer>3"
               "</integer>"));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->kind, MuxMessage::Kind::Result);
    EXPECT_EQ(result->number, 3u);

    // A list keeps its usable phones and drops the others.
    const auto list = imd::ReadMuxMessage(
        MuxXml("<key>DeviceList</key><array><dict>" + AttachedXml("1", "USB", kUdid) +
               "</dict><dict>" + AttachedXml("2", "Serial", kUdid) +
               "</dict><string>x</string>"
               "<dict>" +
               AttachedXml("5", "Network", "other") + "</dict></array>"));
    ASSERT_TRUE(list);
    EXPECT_EQ(list->kind, MuxMessage::Kind::DeviceList);
    ASSERT_EQ(list->devices.size(), 2u);
    EXPECT_EQ(list->devices[0].handle, 1u);
    EXPECT_EQ(list->devices[1].udid, "other");

    // What is not a dictionary is not a message; a dictionary of another kind is one we skip.
    EXPECT_FALSE(imd::ReadMuxMessage(""));
    EXPECT_FALSE(imd::ReadMuxMessage("<plist><array/></plist>"));
    EXPECT_FALSE(imd::ReadMuxMessage(std::string("bplist00\xff", 9)));
    const auto other = imd::ReadMuxMessage(MuxXml("<key>MessageType</key><string>Paired</string>"));
    ASSERT_TRUE(other);
    EXPECT_EQ(other->kind, MuxMessage::Kind::Other);
}

}  // namespace
}  // namespace bw
