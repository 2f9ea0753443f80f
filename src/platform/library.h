// Loading shared libraries at run time, by path or by the bare Windows name of a DLL.
#pragma once

#include <string>
#include <string_view>

namespace bw::platform {

using LibraryHandle = void*;

// Null when the library cannot be loaded. Libraries are never unloaded.
LibraryHandle LoadLibraryPath(const std::string& path);

// "CoreFoundation.dll" is looked for as "libCoreFoundation.so" in each folder of PATH, in order,
// then by the dynamic loader's own search.
LibraryHandle LoadLibraryByName(std::string_view dllName);

// The mapping used by LoadLibraryByName: "Name.dll" -> "libName.so".
std::string SharedLibraryFileName(std::string_view dllName);

void* FindSymbol(LibraryHandle library, const char* name);

}  // namespace bw::platform
