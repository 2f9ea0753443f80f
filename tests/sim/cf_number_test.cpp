// Numbers, data and dates of the CoreFoundation stand-in.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "cf/CoreFoundation.h"

namespace {

class SimCFNumbers : public ::testing::Test {
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

template <class T>
CFNumberRef Make(CFNumberType type, T value) {
    return CFNumberCreate(nullptr, type, &value);
}

template <class T>
std::pair<bool, T> Read(CFNumberRef number, CFNumberType type) {
    T value{};
    const bool exact = CFNumberGetValue(number, type, &value);
    return {exact, value};
}

TEST_F(SimCFNumbers, KeepTheirTypeAndConvertExactlyWhenTheValueFits) {
    CFNumberRef number = Make<int32_t>(kCFNumberIntType, 42);
    EXPECT_EQ(CFNumberGetType(number), kCFNumberSInt32Type);
    EXPECT_EQ(CFNumberGetByteSize(number), 4);
    EXPECT_FALSE(CFNumberIsFloatType(number));
    EXPECT_EQ(Read<int64_t>(number, kCFNumberLongLongType), std::make_pair(true, int64_t{42}));
    EXPECT_EQ(Read<int8_t>(number, kCFNumberSInt8Type), std::make_pair(true, int8_t{42}));
    EXPECT_EQ(Read<double>(number, kCFNumberDoubleType), std::make_pair(true, 42.0));
    EXPECT_EQ(Read<float>(number, kCFNumberFloatType), std::make_pair(true, 42.0f));
    CFRelease(number);

    CFNumberRef real = Make<float>(kCFNumberFloatType, 0.5f);
    EXPECT_EQ(CFNumberGetType(real), kCFNumberFloat32Type);
    EXPECT_TRUE(CFNumberIsFloatType(real));
    EXPECT_EQ(Read<double>(real, kCFNumberFloat64Type), std::make_pair(true, 0.5));
    CFRelease(real);
}

TEST_F(SimCFNumbers, NarrowingIntegersWrapsAndReportsTheLoss) {
    CFNumberRef big = Make<int64_t>(kCFNumberSInt64Type, 300);
    EXPECT_EQ(Read<int8_t>(big, kCFNumberSInt8Type), std::make_pair(false, int8_t{44}));
    EXPECT_EQ(Read<int16_t>(big, kCFNumberSInt16Type), std::make_pair(true, int16_t{300}));
    CFRelease(big);
    CFNumberRef huge = Make<int64_t>(kCFNumberSInt64Type, int64_t{1} << 40);
    EXPECT_FALSE(Read<int32_t>(huge, kCFNumberSInt32Type).first);
    CFRelease(huge);
    CFNumberRef negative = Make<int16_t>(kCFNumberShortType, -129);
    EXPECT_FALSE(Read<int8_t>(negative, kCFNumberCharType).first);
    EXPECT_EQ(Read<int32_t>(negative, kCFNumberSInt32Type), std::make_pair(true, -129));
    CFRelease(negative);
}

TEST_F(SimCFNumbers, RealsBecomeIntegersTowardZeroAndSaturate) {
    CFNumberRef fraction = Make<double>(kCFNumberDoubleType, -3.75);
    EXPECT_EQ(Read<int32_t>(fraction, kCFNumberSInt32Type), std::make_pair(false, -3));
    CFRelease(fraction);
    CFNumberRef whole = Make<double>(kCFNumberDoubleType, 12.0);
    EXPECT_EQ(Read<int64_t>(whole, kCFNumberSInt64Type), std::make_pair(true, int64_t{12}));
    CFRelease(whole);
    CFNumberRef huge = Make<double>(kCFNumberDoubleType, 1e20);
    EXPECT_EQ(Read<int64_t>(huge, kCFNumberSInt64Type),
              std::make_pair(false, std::numeric_limits<int64_t>::max()));
    EXPECT_EQ(Read<int8_t>(huge, kCFNumberSInt8Type), std::make_pair(false, int8_t{127}));
    CFRelease(huge);
    CFNumberRef nan = Make<double>(kCFNumberDoubleType, std::nan(""));
    EXPECT_EQ(Read<int32_t>(nan, kCFNumberSInt32Type), std::make_pair(false, 0));
    CFRelease(nan);
}

TEST_F(SimCFNumbers, FloatConversionsReportLostPrecision) {
    CFNumberRef tenth = Make<double>(kCFNumberFloat64Type, 0.1);
    EXPECT_EQ(Read<float>(tenth, kCFNumberFloat32Type), std::make_pair(false, 0.1f));
    CFRelease(tenth);
    CFNumberRef tooBig = Make<double>(kCFNumberFloat64Type, 1e300);
    const auto [exact, value] = Read<float>(tooBig, kCFNumberFloat32Type);
    EXPECT_FALSE(exact);
    EXPECT_TRUE(std::isinf(value));
    CFRelease(tooBig);
    CFNumberRef odd = Make<int64_t>(kCFNumberSInt64Type, (int64_t{1} << 53) + 1);
    EXPECT_FALSE(Read<double>(odd, kCFNumberFloat64Type).first);
    CFRelease(odd);
    CFNumberRef even = Make<int64_t>(kCFNumberSInt64Type, int64_t{1} << 53);
    EXPECT_TRUE(Read<double>(even, kCFNumberFloat64Type).first);
    EXPECT_TRUE(Read<float>(even, kCFNumberFloat32Type).first);
    CFRelease(even);
    CFNumberRef maximum = Make<int64_t>(kCFNumberSInt64Type, std::numeric_limits<int64_t>::max());
    EXPECT_FALSE(Read<double>(maximum, kCFNumberFloat64Type).first);
    CFRelease(maximum);
}

// Callers that declare the type as int leave the upper half of the register
// undefined.
TEST_F(SimCFNumbers, OnlyTheLow32BitsOfTheTypeCount) {
    const auto dirtyLongLong = static_cast<CFNumberType>(0x7FFF'FFFF'0000'0000 | 11);
    CFNumberRef number = Make<int64_t>(dirtyLongLong, -5);
    ASSERT_NE(number, nullptr);
    EXPECT_EQ(Read<int64_t>(number, dirtyLongLong), std::make_pair(true, int64_t{-5}));
    CFRelease(number);
}

TEST_F(SimCFNumbers, UnknownTypesAndMissingPointersAreRefused) {
    const int64_t value = 1;
    EXPECT_EQ(CFNumberCreate(nullptr, 17, &value), nullptr);
    EXPECT_EQ(CFNumberCreate(nullptr, kCFNumberSInt64Type, nullptr), nullptr);
    CFNumberRef number = Make<int64_t>(kCFNumberSInt64Type, 1);
    int64_t out = 0;
    EXPECT_FALSE(CFNumberGetValue(number, 0, &out));
    EXPECT_FALSE(CFNumberGetValue(number, kCFNumberSInt64Type, nullptr));
    CFRelease(number);
    expectedMisuses_ = 4;
}

TEST_F(SimCFNumbers, EqualValuesAreEqualAcrossTypesAndHashAlike) {
    CFNumberRef integer = Make<int32_t>(kCFNumberSInt32Type, 5);
    CFNumberRef real = Make<double>(kCFNumberFloat64Type, 5.0);
    CFNumberRef other = Make<double>(kCFNumberFloat64Type, 5.5);
    EXPECT_TRUE(CFEqual(integer, real));
    EXPECT_EQ(CFHash(integer), CFHash(real));
    EXPECT_FALSE(CFEqual(integer, other));
    CFRelease(integer);
    CFRelease(real);
    CFRelease(other);
}

// Found by fuzzing: a NaN read from a list must equal itself written back and
// read again.
TEST_F(SimCFNumbers, NaNEqualsNaNAndHashesAlike) {
    CFNumberRef quiet = Make<double>(kCFNumberDoubleType, std::nan(""));
    CFNumberRef negative = Make<double>(kCFNumberDoubleType, -std::nan("1"));
    CFNumberRef zero = Make<double>(kCFNumberDoubleType, 0.0);
    EXPECT_TRUE(CFEqual(quiet, negative));
    EXPECT_EQ(CFHash(quiet), CFHash(negative));
    EXPECT_FALSE(CFEqual(quiet, zero));
    CFDateRef date = CFDateCreate(nullptr, std::nan(""));
    CFDateRef sameDate = CFDateCreate(nullptr, -std::nan(""));
    EXPECT_TRUE(CFEqual(date, sameDate));
    EXPECT_EQ(CFHash(date), CFHash(sameDate));
    for (CFTypeRef object : {CFTypeRef(quiet), CFTypeRef(negative), CFTypeRef(zero),
                             CFTypeRef(date), CFTypeRef(sameDate)})
        CFRelease(object);
}

TEST_F(SimCFNumbers, DataCopiesItsBytes) {
    UInt8 bytes[] = {0, 1, 2, 0xFF};
    CFDataRef data = CFDataCreate(nullptr, bytes, sizeof bytes);
    bytes[0] = 9;
    ASSERT_EQ(CFDataGetLength(data), 4);
    EXPECT_EQ(std::memcmp(CFDataGetBytePtr(data), "\x00\x01\x02\xFF", 4), 0);
    CFDataRef empty = CFDataCreate(nullptr, nullptr, 0);
    EXPECT_EQ(CFDataGetLength(empty), 0);
    EXPECT_NE(CFDataGetBytePtr(empty), nullptr);
    CFRelease(empty);
    CFRelease(data);
    EXPECT_EQ(CFDataCreate(nullptr, nullptr, 4), nullptr);
    EXPECT_EQ(CFDataCreate(nullptr, bytes, -1), nullptr);
    expectedMisuses_ = 2;
}

TEST_F(SimCFNumbers, MutableDataGrowsAndImmutableDataRefusesToChange) {
    CFMutableDataRef data = CFDataCreateMutable(nullptr, 0);
    CFDataAppendBytes(data, reinterpret_cast<const UInt8*>("abc"), 3);
    CFDataAppendBytes(data, reinterpret_cast<const UInt8*>("de"), 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                          static_cast<size_t>(CFDataGetLength(data))),
              "abcde");
    CFDataGetMutableBytePtr(data)[0] = 'A';
    EXPECT_EQ(CFDataGetBytePtr(data)[0], 'A');
    CFDataRef fixed = CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("x"), 1);
    CFDataAppendBytes(const_cast<CFMutableDataRef>(fixed), reinterpret_cast<const UInt8*>("y"), 1);
    EXPECT_EQ(CFDataGetLength(fixed), 1);
    EXPECT_EQ(CFDataGetMutableBytePtr(const_cast<CFMutableDataRef>(fixed)), nullptr);
    CFRelease(fixed);
    CFRelease(data);
    expectedMisuses_ = 2;
}

TEST_F(SimCFNumbers, DatesKeepTheirTime) {
    CFDateRef date = CFDateCreate(nullptr, 400000000.25);
    EXPECT_EQ(CFDateGetAbsoluteTime(date), 400000000.25);
    EXPECT_EQ(CFGetTypeID(date), CFDateGetTypeID());
    CFDateRef same = CFDateCreate(nullptr, 400000000.25);
    EXPECT_TRUE(CFEqual(date, same));
    EXPECT_EQ(CFHash(date), CFHash(same));
    CFRelease(same);
    CFRelease(date);
}

}  // namespace
