#include "simulator_setup.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>

namespace cli {

namespace {

namespace fs = std::filesystem;

std::string Escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

std::string RuntimeFolder() {
    if (const char* folder = std::getenv("BRACKWATER_SIM_RUNTIME"); folder && *folder) {
        return folder;
    }
    return (fs::path(ProgramFolder()) / ".." / "sim" / "runtime").lexically_normal().string();
}

std::string CacheFolder() {
    if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache && *cache) {
        return std::string(cache) + "/brackwater";
    }
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.cache/brackwater";
}

// Runs a command and returns what it printed, or nullopt when it failed.
std::optional<std::string> Capture(const std::string& command) {
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return std::nullopt;
    std::string out;
    char chunk[512];
    while (size_t n = std::fread(chunk, 1, sizeof chunk, pipe))
        out.append(chunk, n);
    if (::pclose(pipe) != 0) return std::nullopt;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

bool EnsureDemoImage(std::string& image, std::string& error) {
    const std::string tool = ProgramFolder() + "/brackwater-sim";
    const auto version = Capture(Quoted(tool) + " version");
    if (!version) {
        error = "cannot run " + tool + " to make the demo iPhone";
        return false;
    }
    const std::string cache = CacheFolder();
    image = cache + "/demo-iphone";
    const std::string stamp = cache + "/demo-iphone.builder";
    std::ifstream in(stamp);
    std::string made;
    std::getline(in, made);
    if (made == *version && fs::exists(fs::path(image) / "device.plist")) return true;

    std::error_code ignored;
    fs::create_directories(cache, ignored);
    const std::string create = Quoted(tool) + " create " + Quoted(image) +
                               " --ios 7.1.2 --name 'Demo iPhone' --seed 7 --afc2 >/dev/null";
    if (!Capture(create)) {
        error = "cannot make the demo iPhone in " + image;
        return false;
    }
    std::ofstream(stamp, std::ios::trunc) << *version << "\n";
    return true;
}

}  // namespace

bool MakeDemoImage(std::string& image, std::string& error) {
    return EnsureDemoImage(image, error);
}

std::string ProgramFolder() {
    std::error_code failed;
    const fs::path self = fs::read_symlink("/proc/self/exe", failed);
    return failed ? std::string(".") : self.parent_path().string();
}

SimulatorSetup::~SimulatorSetup() {
    if (!registryFile_.empty()) ::unlink(registryFile_.c_str());
}

bool SimulatorSetup::Prepare(const std::string& requested, std::string& error) {
    // Several images, separated by ":", attach several devices at once.
    std::string images;
    size_t start = 0;
    do {
        const size_t end = std::min(requested.find(':', start), requested.size());
        std::string image = requested.substr(start, end - start);
        if (image.empty() && !requested.empty()) {
            error = "--sim= names an empty IMAGE folder";
            return false;
        }
        if (image.empty() && !EnsureDemoImage(image, error)) return false;
        if (!fs::exists(fs::path(image) / "device.plist")) {
            error = image + ": not a device image (no device.plist)";
            return false;
        }
        if (!images.empty()) images += ':';
        images += fs::absolute(image).lexically_normal().string();
        start = end + 1;
    } while (start < requested.size());
    const std::string runtime = RuntimeFolder();
    if (!fs::exists(runtime + "/libMobileDevice.so")) {
        error = "the simulator's runtime is missing from " + runtime;
        return false;
    }

    char path[] = "/tmp/brackwater-registry-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
        error = "cannot write a temporary registry file";
        return false;
    }
    ::close(fd);
    registryFile_ = path;
    std::ofstream registry(registryFile_, std::ios::trunc);
    registry << "Windows Registry Editor Version 5.00\n\n"
             << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Application Support]\n"
             << "\"InstallDir\"=\"" << Escaped(runtime) << "\"\n\n"
             << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Apple Inc.\\Apple Mobile Device Support\\Shared]\n"
             << "\"iTunesMobileDeviceDLL\"=\"" << Escaped(runtime + "/libMobileDevice.so")
             << "\"\n";
    registry.close();
    if (!registry) {
        error = "cannot write the temporary registry file " + registryFile_;
        return false;
    }
    ::setenv("BRACKWATER_REGISTRY", registryFile_.c_str(), 1);
    ::setenv("BRACKWATER_SIM_IMAGES", images.c_str(), 1);
    return true;
}

}  // namespace cli
