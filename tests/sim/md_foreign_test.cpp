// Foreign objects of the CoreFoundation stand-in: reference counted by CF, finalised by their
// owner exactly once, never mistaken for a property-list value.
#include <gtest/gtest.h>

#include "cf/CoreFoundation.h"
#include "cf/cf_foreign.h"
#include "cf/cf_plist.h"

namespace {

struct Payload {
    int finalized = 0;
    CFTypeRef releaseOnFinalize = nullptr;
};

void Finalize(void* payload) {
    auto* state = static_cast<Payload*>(payload);
    ++state->finalized;
    if (state->releaseOnFinalize != nullptr) CFRelease(state->releaseOnFinalize);
}

class SimMdForeign : public ::testing::Test {
  protected:
    void SetUp() override {
        live_ = BwSimCFLiveObjects();
        misuses_ = BwSimCFMisuses();
    }
    void TearDown() override { EXPECT_EQ(BwSimCFLiveObjects(), live_); }

    long live_ = 0;
    long misuses_ = 0;
};

TEST_F(SimMdForeign, LastReleaseFinalizesOnce) {
    Payload payload;
    CFTypeRef object = BwSimCFCreateForeign(&payload, &Finalize);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(BwSimCFLiveObjects(), live_ + 1);
    EXPECT_EQ(BwSimCFLiveObjectsOfType(BwSimCFForeignGetTypeID()), 1);
    EXPECT_EQ(CFGetTypeID(object), BwSimCFForeignGetTypeID());
    EXPECT_EQ(BwSimCFForeignPayload(object), &payload);
    CFRetain(object);
    CFRelease(object);
    EXPECT_EQ(payload.finalized, 0);
    CFRelease(object);
    EXPECT_EQ(payload.finalized, 1);
    // A late release meets a dead object: counted, not finalised again.
    CFRelease(object);
    EXPECT_EQ(payload.finalized, 1);
    EXPECT_EQ(BwSimCFMisuses(), misuses_ + 1);
}

TEST_F(SimMdForeign, ContainersReleaseForeignValues) {
    Payload payload;
    CFTypeRef object = BwSimCFCreateForeign(&payload, &Finalize);
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFArrayAppendValue(array, object);
    CFRelease(object);
    EXPECT_EQ(payload.finalized, 0);
    // Not a property-list value.
    EXPECT_EQ(CFPropertyListCreateData(nullptr, array, kCFPropertyListXMLFormat_v1_0, 0, nullptr),
              nullptr);
    EXPECT_EQ(BwSimCFToPlist(object), nullptr);
    CFRelease(array);
    EXPECT_EQ(payload.finalized, 1);
}

TEST_F(SimMdForeign, FinalizerMayReleaseOtherObjects) {
    Payload inner;
    Payload outer;
    outer.releaseOnFinalize = BwSimCFCreateForeign(&inner, &Finalize);
    CFTypeRef object = BwSimCFCreateForeign(&outer, &Finalize);
    CFRelease(object);
    EXPECT_EQ(outer.finalized, 1);
    EXPECT_EQ(inner.finalized, 1);
}

TEST_F(SimMdForeign, PayloadOfOtherObjectsIsNull) {
    CFStringRef text = CFStringCreateWithCString(nullptr, "x", kCFStringEncodingUTF8);
    EXPECT_EQ(BwSimCFForeignPayload(text), nullptr);
    EXPECT_EQ(BwSimCFForeignPayload(nullptr), nullptr);
    EXPECT_EQ(BwSimCFMisuses(), misuses_ + 2);
    CFRelease(text);
    CFTypeRef a = BwSimCFCreateForeign(nullptr, nullptr);
    CFTypeRef b = BwSimCFCreateForeign(nullptr, nullptr);
    EXPECT_TRUE(CFEqual(a, a));
    EXPECT_FALSE(CFEqual(a, b));
    CFStringRef description = CFCopyDescription(a);
    EXPECT_NE(description, nullptr);
    CFRelease(description);
    CFRelease(a);
    CFRelease(b);
}

}  // namespace
