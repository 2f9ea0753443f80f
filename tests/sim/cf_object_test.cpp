// Reference counting, freeing, the counters and the misuse count of the
// CoreFoundation stand-in.
#include <gtest/gtest.h>

#include <climits>
#include <thread>
#include <vector>

#include "cf/CoreFoundation.h"

namespace {

class SimCFObjects : public ::testing::Test {
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

CFStringRef NewText(const char* utf8) {
    return CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8);
}

TEST_F(SimCFObjects, CreateCountsAndLastReleaseFrees) {
    const long created = BwSimCFTotalCreated();
    const long strings = BwSimCFLiveObjectsOfType(CFStringGetTypeID());
    CFStringRef text = NewText("hello");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_ + 1);
    EXPECT_EQ(BwSimCFLiveObjectsOfType(CFStringGetTypeID()), strings + 1);
    EXPECT_EQ(BwSimCFTotalCreated(), created + 1);
    EXPECT_EQ(CFGetRetainCount(text), 1);
    EXPECT_EQ(CFGetTypeID(text), CFStringGetTypeID());
    CFRelease(text);
    EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_);
    EXPECT_EQ(BwSimCFLiveObjectsOfType(CFStringGetTypeID()), strings);
    EXPECT_EQ(BwSimCFTotalCreated(), created + 1);
}

TEST_F(SimCFObjects, RetainKeepsTheObjectUntilTheLastRelease) {
    CFStringRef text = NewText("kept");
    EXPECT_EQ(CFRetain(text), text);
    EXPECT_EQ(CFGetRetainCount(text), 2);
    CFRelease(text);
    EXPECT_EQ(CFStringGetLength(text), 4);
    EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_ + 1);
    CFRelease(text);
    EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_);
}

TEST_F(SimCFObjects, ReleaseOfNullIsCountedInsteadOfCrashing) {
    CFRelease(nullptr);
    CFRelease(nullptr);
    expectedMisuses_ = 2;
}

TEST_F(SimCFObjects, ReleaseOfAFreedObjectIsCountedAndChangesNothing) {
    CFStringRef first = NewText("first");
    CFStringRef second = NewText("second");
    CFRelease(first);
    CFRelease(first);  // over-release: the object is in quarantine
    EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_ + 1);
    EXPECT_EQ(CFStringGetLength(first),
              0);  // a read of a freed object is caught too
    EXPECT_EQ(CFStringGetLength(second), 6);
    CFRelease(second);
    expectedMisuses_ = 2;
}

TEST_F(SimCFObjects, ObjectOfTheWrongTypeIsCountedAndGivesEmptyResults) {
    const int value = 7;
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberIntType, &value);
    EXPECT_EQ(CFStringGetLength(reinterpret_cast<CFStringRef>(number)), 0);
    EXPECT_EQ(CFArrayGetCount(reinterpret_cast<CFArrayRef>(number)), 0);
    EXPECT_EQ(CFDictionaryGetValue(reinterpret_cast<CFDictionaryRef>(number), number), nullptr);
    CFRelease(number);
    expectedMisuses_ = 3;
}

TEST_F(SimCFObjects, PointersThatAreNoObjectsAreCounted) {
    int notAnObject[4] = {1, 2, 3, 4};
    CFRelease(notAnObject);
    CFRetain(reinterpret_cast<CFTypeRef>(uintptr_t{16}));
    EXPECT_EQ(CFGetTypeID(notAnObject), 0u);
    expectedMisuses_ = 3;
}

TEST_F(SimCFObjects, BooleansLiveForEverAndAreNotCounted) {
    const long booleans = BwSimCFLiveObjectsOfType(CFBooleanGetTypeID());
    for (int i = 0; i < 10; ++i)
        CFRelease(kCFBooleanTrue);
    CFRetain(kCFBooleanFalse);
    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
    EXPECT_FALSE(CFBooleanGetValue(kCFBooleanFalse));
    EXPECT_EQ(CFGetTypeID(kCFBooleanTrue), CFBooleanGetTypeID());
    EXPECT_EQ(CFGetRetainCount(kCFBooleanTrue), LONG_MAX);
    EXPECT_FALSE(CFEqual(kCFBooleanTrue, kCFBooleanFalse));
    EXPECT_EQ(BwSimCFLiveObjectsOfType(CFBooleanGetTypeID()), booleans);
    EXPECT_EQ(booleans, 0);
}

TEST_F(SimCFObjects, TypeIdentifiersAreDistinct) {
    const CFTypeID ids[] = {CFStringGetTypeID(),     CFNumberGetTypeID(), CFBooleanGetTypeID(),
                            CFDataGetTypeID(),       CFDateGetTypeID(),   CFArrayGetTypeID(),
                            CFDictionaryGetTypeID(), CFErrorGetTypeID()};
    for (size_t i = 0; i < std::size(ids); ++i) {
        EXPECT_NE(ids[i], 0u);
        for (size_t j = i + 1; j < std::size(ids); ++j)
            EXPECT_NE(ids[i], ids[j]);
    }
}

// The device notification thread and host threads share objects.
TEST_F(SimCFObjects, ConcurrentRetainsAndReleasesKeepTheCountExact) {
    CFMutableArrayRef shared = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFStringRef value = NewText("shared value");
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
    CFRelease(value);
    CFRelease(shared);
}

// Freeing a container releases its values, which may free containers in turn;
// that must not recurse once per level.
TEST_F(SimCFObjects, DeeplyNestedContainersAreFreedWithoutExhaustingTheStack) {
    CFMutableArrayRef outer = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFMutableArrayRef current = outer;
    for (int i = 0; i < 300000; ++i) {
        CFMutableArrayRef inner = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        CFArrayAppendValue(current, inner);
        CFRelease(inner);
        current = inner;
    }
    EXPECT_EQ(BwSimCFLiveObjects(), liveAtStart_ + 300001);
    CFRelease(outer);
}

TEST_F(SimCFObjects, DescriptionsNameTheValue) {
    const long long value = -42;
    CFNumberRef number = CFNumberCreate(nullptr, kCFNumberLongLongType, &value);
    CFStringRef description = CFCopyDescription(number);
    char text[16] = {};
    ASSERT_TRUE(CFStringGetCString(description, text, sizeof text, kCFStringEncodingUTF8));
    EXPECT_STREQ(text, "-42");
    CFStringRef same = CFCopyDescription(description);
    EXPECT_EQ(same, description);
    CFRelease(same);
    CFRelease(description);
    CFRelease(number);
}

}  // namespace
