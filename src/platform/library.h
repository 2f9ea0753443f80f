// Loading shared libraries at run time, by path or by the bare Windows name of a DLL.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace bw::platform {

using LibraryHandle = void*;

// Null when the library cannot be loaded. Libraries are never unloaded.
LibraryHandle LoadLibraryPath(const std::string& path);

// "CoreFoundation.dll" is looked for as "libCoreFoundation.so" in each of `firstFolders`, then in
// each folder of PATH, in order, then by the dynamic loader's own search. A caller that knows
// where its own copy lives names that folder first, so a library of the same name earlier on
// PATH is not taken for it; when that copy is there but does not load, nothing is loaded.
LibraryHandle LoadLibraryByName(std::string_view dllName,
                                const std::vector<std::string>& firstFolders = {});

// The mapping used by LoadLibraryByName: "Name.dll" -> "libName.so".
std::string SharedLibraryFileName(std::string_view dllName);

void* FindSymbol(LibraryHandle library, const char* name);

}  // namespace bw::platform
