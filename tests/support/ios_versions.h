// The three iOS versions that simulator images take, as a test parameter, and the name each
// gets in test lists ("iOS6_1_3").
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace bw::testing {

inline auto EachIosVersion() {
    return ::testing::Values("5.1.1", "6.1.3", "7.1.2");
}

inline std::string IosVersionName(const ::testing::TestParamInfo<const char*>& info) {
    std::string name = info.param;
    std::replace(name.begin(), name.end(), '.', '_');
    return "iOS" + name;
}

}  // namespace bw::testing
