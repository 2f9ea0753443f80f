// The built CoreFoundation stand-in as the library sees it: loaded by path,
// every name it looks up found with dlsym, data symbols as data, and the
// library's own call sequences through the looked-up pointers only.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstring>
#include <string>
#include <vector>

#include "cf/CoreFoundation.h"
#include "support/build_paths.h"

namespace {

// The 27 names of the loader's CoreFoundation table, in its order, then
// CFPropertyListCreateData.
const char* const kLookedUp[] = {
    "CFNumberGetValue",
    "CFStringCreateWithCharacters",
    "CFStringGetLength",
    "CFStringGetCString",
    "CFStringGetMaximumSizeForEncoding",
    "CFDataCreate",
    "CFDataGetLength",
    "CFDataGetBytePtr",
    "CFPropertyListCreateXMLData",
    "CFRelease",
    "kCFBooleanTrue",
    "CFDictionarySetValue",
    "CFDictionaryCreateMutable",
    "kCFTypeDictionaryKeyCallBacks",
    "kCFTypeDictionaryValueCallBacks",
    "CFDictionaryCreate",
    "CFArrayCreateMutable",
    "CFDictionaryContainsKey",
    "CFDictionaryGetValue",
    "CFPropertyListCreateWithData",
    "CFPropertyListCreateFromXMLData",
    "CFNumberCreate",
    "CFDictionaryAddValue",
    "CFArrayGetCount",
    "CFArrayGetValueAtIndex",
    "CFArrayAppendValue",
    "kCFTypeArrayCallBacks",
    "CFPropertyListCreateData",
};

const char* const kDataSymbols[] = {"kCFBooleanTrue", "kCFTypeDictionaryKeyCallBacks",
                                    "kCFTypeDictionaryValueCallBacks", "kCFTypeArrayCallBacks"};

class SimCFExports : public ::testing::Test {
  protected:
    void SetUp() override {
        handle_ = dlopen(BRACKWATER_SIM_CF_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        liveAtStart_ = BwSimCFLiveObjects();
        misusesAtStart_ = BwSimCFMisuses();
    }
    void TearDown() override {
        EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_) << "objects leaked or freed twice";
        EXPECT_EQ(BwSimCFMisuses(), misusesAtStart_);
        if (handle_ != nullptr) dlclose(handle_);
    }

    template <class T>
    T Find(const char* name) {
        void* address = dlsym(handle_, name);
        EXPECT_NE(address, nullptr) << name;
        return reinterpret_cast<T>(address);
    }

    void* handle_ = nullptr;
    long liveAtStart_ = 0;
    long misusesAtStart_ = 0;
};

bool IsDataSymbol(const char* name) {
    for (const char* data : kDataSymbols)
        if (std::strcmp(name, data) == 0) return true;
    return false;
}

TEST_F(SimCFExports, EveryNameTheLibraryLooksUpIsThereWithTheRightKind) {
    for (const char* name : kLookedUp) {
        void* address = dlsym(handle_, name);
        ASSERT_NE(address, nullptr) << name;
        Dl_info info{};
        void* entry = nullptr;
        ASSERT_NE(dladdr1(address, &info, &entry, RTLD_DL_SYMENT), 0) << name;
        const auto* symbol = static_cast<const ElfW(Sym)*>(entry);
        ASSERT_NE(symbol, nullptr) << name;
        EXPECT_STREQ(info.dli_sname, name);
        const int kind = ELF64_ST_TYPE(symbol->st_info);
        EXPECT_EQ(kind, IsDataSymbol(name) ? STT_OBJECT : STT_FUNC) << name;
    }
}

TEST_F(SimCFExports, TheBooleanSymbolHoldsThePointerToTheBoolean) {
    const auto* slot = Find<const CFBooleanRef*>("kCFBooleanTrue");
    ASSERT_NE(slot, nullptr);
    const CFBooleanRef value = *slot;
    EXPECT_EQ(value, kCFBooleanTrue);
    EXPECT_TRUE(CFBooleanGetValue(value));
    const auto* callbacks = Find<const CFDictionaryKeyCallBacks*>("kCFTypeDictionaryKeyCallBacks");
    // Its address may differ from the linked copy's (a copy relocation); its
    // contents may not.
    EXPECT_EQ(callbacks->retain, kCFTypeDictionaryKeyCallBacks.retain);
    EXPECT_EQ(callbacks->hash, kCFTypeDictionaryKeyCallBacks.hash);
    EXPECT_NE(callbacks->retain, nullptr);
    EXPECT_NE(callbacks->hash, nullptr);
}

// CFStringToWString: length, maximum size for 0x100, a zeroed buffer two bytes
// longer, CFStringGetCString with 0x100, the text up to the first zero
// character.
TEST_F(SimCFExports, TheLibrarysTextBridgeRoundTripsThroughLookedUpPointers) {
    auto create = Find<CFStringRef (*)(CFAllocatorRef, const UniChar*, CFIndex)>(
        "CFStringCreateWithCharacters");
    auto length = Find<CFIndex (*)(CFStringRef)>("CFStringGetLength");
    auto maximum =
        Find<CFIndex (*)(CFIndex, CFStringEncoding)>("CFStringGetMaximumSizeForEncoding");
    auto getText =
        Find<Boolean (*)(CFStringRef, char*, CFIndex, CFStringEncoding)>("CFStringGetCString");
    auto release = Find<void (*)(CFTypeRef)>("CFRelease");
    const std::u16string text = u"Fotos \u00E9t\u00E9 \U0001F4F7";
    CFStringRef string = create(nullptr, reinterpret_cast<const UniChar*>(text.data()),
                                static_cast<CFIndex>(text.size()));
    const CFIndex size = maximum(length(string), 0x100);
    std::vector<char> buffer(static_cast<size_t>(size) + 2, '\0');
    ASSERT_TRUE(getText(string, buffer.data(), static_cast<CFIndex>(buffer.size()), 0x100));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(buffer.data())), text);
    release(string);
}

// XmlPlistToBinary and BinaryPlistToXml, call for call.
TEST_F(SimCFExports, PlistConversionsRunThroughLookedUpPointers) {
    auto dataCreate = Find<CFDataRef (*)(CFAllocatorRef, const UInt8*, CFIndex)>("CFDataCreate");
    auto dataLength = Find<CFIndex (*)(CFDataRef)>("CFDataGetLength");
    auto dataBytes = Find<const UInt8* (*)(CFDataRef)>("CFDataGetBytePtr");
    auto fromXml =
        Find<CFPropertyListRef (*)(CFAllocatorRef, CFDataRef, CFOptionFlags, CFStringRef*)>(
            "CFPropertyListCreateFromXMLData");
    auto toData = Find<CFDataRef (*)(CFAllocatorRef, CFPropertyListRef, CFPropertyListFormat,
                                     CFOptionFlags, CFErrorRef*)>("CFPropertyListCreateData");
    auto withData =
        Find<CFPropertyListRef (*)(CFAllocatorRef, CFDataRef, CFOptionFlags, CFPropertyListFormat*,
                                   CFErrorRef*)>("CFPropertyListCreateWithData");
    auto toXml =
        Find<CFDataRef (*)(CFAllocatorRef, CFPropertyListRef)>("CFPropertyListCreateXMLData");
    auto release = Find<void (*)(CFTypeRef)>("CFRelease");
    auto bytesOf = [&](CFDataRef data) {
        return std::string(reinterpret_cast<const char*>(dataBytes(data)),
                           static_cast<size_t>(dataLength(data)));
    };

    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
        "version=\"1.0\">\n<dict>\n"
        "\t<key>Larkspur Version</key>\n\t<string>7.1.2</string>\n"
        "\t<key>Sizes</key>\n\t<array>\n\t\t<integer>1</integer>\n\t\t<real>2.5</"
        "real>\n"
        "\t</array>\n</dict>\n</plist>\n";
    CFDataRef xmlData = dataCreate(nullptr, reinterpret_cast<const UInt8*>(xml.data()), xml.size());
    CFPropertyListRef list = fromXml(nullptr, xmlData, 0, nullptr);
    ASSERT_NE(list, nullptr);
    CFDataRef binary = toData(nullptr, list, 200, 0, nullptr);
    ASSERT_NE(binary, nullptr);
    const std::string binaryBytes = bytesOf(binary);
    EXPECT_EQ(binaryBytes.rfind("bplist00", 0), 0u);

    CFDataRef binaryData =
        dataCreate(nullptr, reinterpret_cast<const UInt8*>(binaryBytes.data()), binaryBytes.size());
    CFPropertyListRef again = withData(nullptr, binaryData, 0, nullptr, nullptr);
    ASSERT_NE(again, nullptr);
    CFDataRef xmlAgain = toXml(nullptr, again);
    ASSERT_NE(xmlAgain, nullptr);
    const std::string text = bytesOf(xmlAgain);
    EXPECT_NE(text.find("<key>Larkspur Version</key>"), std::string::npos);
    EXPECT_NE(text.find("<string>7.1.2</string>"), std::string::npos);
    EXPECT_NE(text.find("<real>2.5"), std::string::npos);
    EXPECT_TRUE(CFEqual(list, again));
    for (CFTypeRef object : {CFTypeRef(xmlData), CFTypeRef(list), CFTypeRef(binary),
                             CFTypeRef(binaryData), CFTypeRef(again), CFTypeRef(xmlAgain)})
        release(object);
}

// The sync-host messages: a mutable dictionary made with the looked-up callback
// structs, a number of type 3, kCFBooleanTrue read through its slot.
TEST_F(SimCFExports, DictionariesMadeWithLookedUpCallbacksOwnTheirValues) {
    auto createMutable =
        Find<CFMutableDictionaryRef (*)(CFAllocatorRef, CFIndex, const CFDictionaryKeyCallBacks*,
                                        const CFDictionaryValueCallBacks*)>(
            "CFDictionaryCreateMutable");
    auto setValue =
        Find<void (*)(CFMutableDictionaryRef, const void*, const void*)>("CFDictionarySetValue");
    auto getValue = Find<const void* (*)(CFDictionaryRef, const void*)>("CFDictionaryGetValue");
    auto numberCreate =
        Find<CFNumberRef (*)(CFAllocatorRef, CFNumberType, const void*)>("CFNumberCreate");
    auto numberValue = Find<Boolean (*)(CFNumberRef, CFNumberType, void*)>("CFNumberGetValue");
    auto release = Find<void (*)(CFTypeRef)>("CFRelease");
    const auto* keyCallbacks =
        Find<const CFDictionaryKeyCallBacks*>("kCFTypeDictionaryKeyCallBacks");
    const auto* valueCallbacks =
        Find<const CFDictionaryValueCallBacks*>("kCFTypeDictionaryValueCallBacks");
    const CFBooleanRef yes = *Find<const CFBooleanRef*>("kCFBooleanTrue");

    CFMutableDictionaryRef params = createMutable(nullptr, 0, keyCallbacks, valueCallbacks);
    CFStringRef key = CFStringCreateWithCString(nullptr, "Photos", kCFStringEncodingUTF8);
    CFStringRef flag = CFStringCreateWithCString(nullptr, "Enabled", kCFStringEncodingUTF8);
    const int anchor = 123;
    CFNumberRef number = numberCreate(nullptr, 3, &anchor);
    setValue(params, key, number);
    setValue(params, flag, yes);
    release(number);
    release(key);
    CFStringRef lookup = CFStringCreateWithCString(nullptr, "Photos", kCFStringEncodingUTF8);
    long long read = 0;
    ASSERT_TRUE(numberValue(static_cast<CFNumberRef>(getValue(params, lookup)), 11, &read));
    EXPECT_EQ(read, 123);
    EXPECT_EQ(getValue(params, flag), yes);
    release(lookup);
    release(flag);
    release(params);
}

}  // namespace
