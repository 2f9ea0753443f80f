// The live and misuse counters of the CoreFoundation stand-in, which every leak check of the test
// suite reads: a counter that stood still would let every leak and double release through. The
// values themselves are read through the library by tests/device/runtime_values_test.cpp and every
// device test.
#include <gtest/gtest.h>

#include "cf/CoreFoundation.h"

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

}  // namespace
