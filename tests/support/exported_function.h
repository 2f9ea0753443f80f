// Looks up a function that a library loaded by path exports, as a host finds the library's entry
// points; a missing name fails the test.
#pragma once

#include <dlfcn.h>

#include <gtest/gtest.h>

namespace bw::testing {

template <typename Function>
void FindExport(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    ASSERT_NE(reinterpret_cast<void*>(function), nullptr) << name;
}

}  // namespace bw::testing
