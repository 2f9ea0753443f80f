// AFC path functions of the simulator's mobile device library on any paths: whatever the input
// does inside the media root (with links that point inside, outside, above and at themselves),
// nothing outside that root may change, and nothing may stay open.
//
// Input: records of an operation byte, an argument byte, and one or two NUL-terminated paths.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz_seeds.h"
#include "sim_md_runtime.h"

namespace {

namespace fs = std::filesystem;

// The runtime's functions this target uses besides the common ones.
struct Runtime : bw::fuzz::SimMdRuntime {
    decltype(&::AMDeviceStartService) startService = nullptr;
    decltype(&::AFCConnectionOpen) afcOpen = nullptr;
    decltype(&::AFCFileRefOpen) fileOpen = nullptr;
    decltype(&::AFCFileRefRead) fileRead = nullptr;
    decltype(&::AFCFileRefWrite) fileWrite = nullptr;
    decltype(&::AFCFileRefClose) fileClose = nullptr;
    decltype(&::AFCFileInfoOpen) infoOpen = nullptr;
    decltype(&::AFCKeyValueRead) keyValueRead = nullptr;
    decltype(&::AFCKeyValueClose) keyValueClose = nullptr;
    decltype(&::AFCDirectoryOpen) dirOpen = nullptr;
    decltype(&::AFCDirectoryRead) dirRead = nullptr;
    decltype(&::AFCDirectoryClose) dirClose = nullptr;
    decltype(&::AFCDirectoryCreate) dirCreate = nullptr;
    decltype(&::AFCRemovePath) remove = nullptr;
    decltype(&::AFCRenamePath) rename = nullptr;
};

const char kPlist[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
    "<key>UniqueDeviceID</key><string>fuzz</string></dict></plist>";

struct World {
    Runtime rt{};
    std::string root;
    std::string media;
    std::string outside;
    AFCConnectionRef afc = nullptr;

    World() {
        static_cast<bw::fuzz::SimMdRuntime&>(rt) = bw::fuzz::SimMdRuntime::Load();
        rt.Find("AMDeviceStartService", rt.startService);
        rt.Find("AFCConnectionOpen", rt.afcOpen);
        rt.Find("AFCFileRefOpen", rt.fileOpen);
        rt.Find("AFCFileRefRead", rt.fileRead);
        rt.Find("AFCFileRefWrite", rt.fileWrite);
        rt.Find("AFCFileRefClose", rt.fileClose);
        rt.Find("AFCFileInfoOpen", rt.infoOpen);
        rt.Find("AFCKeyValueRead", rt.keyValueRead);
        rt.Find("AFCKeyValueClose", rt.keyValueClose);
        rt.Find("AFCDirectoryOpen", rt.dirOpen);
        rt.Find("AFCDirectoryRead", rt.dirRead);
        rt.Find("AFCDirectoryClose", rt.dirClose);
        rt.Find("AFCDirectoryCreate", rt.dirCreate);
        rt.Find("AFCRemovePath", rt.remove);
        rt.Find("AFCRenamePath", rt.rename);

        root = bw::fuzz::TemporaryFolder("bw-fuzz-md-afc");
        media = root + "/image/fs/var/mobile/Media";
        outside = root + "/outside";
        fs::create_directories(media);
        fs::create_directories(outside);
        std::ofstream(root + "/image/device.plist") << kPlist;
        std::ofstream(root + "/image/fs/var/mobile/secret.txt") << "secret";
        std::ofstream(outside + "/victim.txt") << "victim";

        AMDeviceRef device = bw::fuzz::AttachImage(rt, root + "/image");
        AMDServiceConnectionRef handle = nullptr;
        CFStringRef name = rt.makeString(nullptr, "com.apple.afc", kCFStringEncodingUTF8);
        if (rt.connect(device) != 0 || rt.startSession(device) != 0 ||
            rt.startService(device, name, &handle, nullptr) != 0 || rt.stopSession(device) != 0 ||
            rt.disconnect(device) != 0 || rt.afcOpen(handle, 0, &afc) != 0)
            std::abort();
        rt.release(name);
    }

    // The media folder as each input starts: a folder, a file, and links of every kind.
    void Reset() {
        for (const auto& entry : fs::directory_iterator(media))
            fs::remove_all(entry.path());
        fs::create_directories(media + "/a/b");
        std::ofstream(media + "/a/f") << "file";
        fs::create_directory_symlink("a", media + "/in");
        fs::create_directory_symlink(outside, media + "/abs");
        fs::create_directory_symlink("..", media + "/up");
        fs::create_directory_symlink("a/../../..", media + "/a/deep");
        fs::create_symlink("loop", media + "/loop");
        fs::create_symlink(outside + "/victim.txt", media + "/victim");
    }

    // Nothing outside the media root changed, and nothing is left open.
    void Check() {
        auto read = [](const std::string& path) {
            std::ifstream in(path, std::ios::binary);
            return std::string((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
        };
        size_t outsideEntries = 0;
        for (const auto& entry : fs::directory_iterator(outside)) {
            (void)entry;
            ++outsideEntries;
        }
        size_t mobileEntries = 0;
        for (const auto& entry : fs::directory_iterator(root + "/image/fs/var/mobile")) {
            (void)entry;
            ++mobileEntries;
        }
        BwSimCounters counters{};
        rt.counters(&counters);
        if (outsideEntries != 1 || read(outside + "/victim.txt") != "victim" ||
            mobileEntries != 2 || read(root + "/image/fs/var/mobile/secret.txt") != "secret" ||
            read(root + "/image/device.plist") != kPlist || counters.afcFiles != 0 ||
            counters.directories != 0 || counters.keyValueIterators != 0) {
            std::fprintf(stderr, "an AFC path reached outside its root or left a handle open\n");
            std::abort();
        }
    }
};

World& TheWorld() {
    static World* world = new World;
    return *world;
}

std::string TakePath(const uint8_t*& data, const uint8_t* end) {
    std::string path;
    while (data < end && *data != 0)
        path.push_back(static_cast<char>(*data++));
    if (data < end) ++data;
    return path;
}

void Run(World& w, uint8_t operation, uint8_t argument, const std::string& path,
         const std::string& other) {
    const Runtime& rt = w.rt;
    switch (operation % 7) {
        case 0: {
            AFCFileRef file = 0;
            if (rt.fileOpen(w.afc, path.c_str(), argument % 8, &file) == 0) {
                rt.fileWrite(w.afc, file, "written", 7);
                rt.fileClose(w.afc, file);
            }
            break;
        }
        case 1: {
            AFCFileRef file = 0;
            if (rt.fileOpen(w.afc, path.c_str(), 1, &file) == 0) {
                char buffer[64];
                size_t length = sizeof buffer;
                rt.fileRead(w.afc, file, buffer, &length);
                rt.fileClose(w.afc, file);
            }
            break;
        }
        case 2: {
            AFCKeyValueRef values = nullptr;
            if (rt.infoOpen(w.afc, path.c_str(), &values) == 0) {
                char* key = nullptr;
                char* value = nullptr;
                while (rt.keyValueRead(values, &key, &value) == 0 && key != nullptr) {
                }
                rt.keyValueClose(values);
            }
            break;
        }
        case 3: {
            AFCDirectoryRef directory = nullptr;
            if (rt.dirOpen(w.afc, path.c_str(), &directory) == 0) {
                char* name = nullptr;
                while (rt.dirRead(w.afc, directory, &name) == 0 && name != nullptr) {
                }
                rt.dirClose(w.afc, directory);
            }
            break;
        }
        case 4:
            rt.dirCreate(w.afc, path.c_str());
            break;
        case 5:
            rt.remove(w.afc, path.c_str());
            break;
        case 6:
            rt.rename(w.afc, path.c_str(), other.c_str());
            break;
    }
}

std::string Record(uint8_t operation, uint8_t argument, const std::string& path,
                   const std::string& other = "") {
    std::string record{static_cast<char>(operation), static_cast<char>(argument)};
    record += path;
    record.push_back('\0');
    record += other;
    record.push_back('\0');
    return record;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds({
        Record(0, 3, "../../x") + Record(1, 0, "/in/f") + Record(3, 0, "/a"),
        Record(0, 3, "/abs/victim.txt") + Record(4, 0, "/up/new/dir"),
        Record(6, 0, "/a/f", "/abs/moved") + Record(5, 0, "/victim"),
        Record(2, 0, "/a/deep/secret.txt") + Record(3, 0, "/loop") + Record(4, 0, "/a/b/c/d"),
        Record(6, 0, "/in", "/in/b/self") + Record(0, 2, "/a/./b/../f"),
    });
    TheWorld();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& world = TheWorld();
    world.Reset();
    const uint8_t* end = data + size;
    for (int records = 0; records < 16 && end - data >= 2; ++records) {
        const uint8_t operation = *data++;
        const uint8_t argument = *data++;
        const std::string path = TakePath(data, end);
        const std::string other = TakePath(data, end);
        Run(world, operation, argument, path, other);
    }
    world.Check();
    return 0;
}
