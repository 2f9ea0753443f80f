#include <dlfcn.h>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/library.h"

namespace bw::platform {

LibraryHandle LoadLibraryPath(const std::string& path) {
    // The path comes from the registry file: the loader would wait forever on a named pipe.
    if (path.empty() || !IsFile(path)) return nullptr;
    return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

std::string SharedLibraryFileName(std::string_view dllName) {
    std::string base(dllName);
    if (base.size() > 4) {
        std::string suffix = base.substr(base.size() - 4);
        for (char& c : suffix)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (suffix == ".dll") base.resize(base.size() - 4);
    }
    return "lib" + base + ".so";
}

LibraryHandle LoadLibraryByName(std::string_view dllName,
                                const std::vector<std::string>& firstFolders) {
    const std::string file = SharedLibraryFileName(dllName);
    std::vector<std::string> folders = firstFolders;
    const std::string path = GetEnv("PATH").value_or("");
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(kPathListSeparator, start);
        if (end == std::string::npos) end = path.size();
        folders.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    for (size_t i = 0; i < folders.size(); ++i) {
        if (folders[i].empty()) continue;
        const std::string candidate = JoinPath(folders[i], file);
        if (!IsFile(candidate)) continue;
        if (LibraryHandle handle = LoadLibraryPath(candidate)) return handle;
        // The caller's own copy is there but broken: another of that name is not a stand-in.
        if (i < firstFolders.size()) return nullptr;
    }
    return ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* FindSymbol(LibraryHandle library, const char* name) {
    if (library == nullptr || name == nullptr) return nullptr;
    return ::dlsym(library, name);
}

}  // namespace bw::platform
