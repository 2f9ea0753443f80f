// The device side of a photo sync on any "Photos/Sync/PhotoLibrary.plist": the input is the list
// a host uploaded, read when the host says the metadata is written. Nothing may crash, allocate
// what the list claims, or stay open once the host lets go of the connection. The image has no
// photo store, so every list ends in an answer and the image never changes between inputs.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz_seeds.h"
#include "sim_md_runtime.h"

namespace {

struct World {
    bw::fuzz::SimServiceRuntime rt{};
    AMDeviceRef device = nullptr;
    CFStringRef serviceName = nullptr;
    std::string listPath;

    World() {
        rt = bw::fuzz::SimServiceRuntime::Load();
        const std::string image = bw::fuzz::TemporaryFolder("bw-fuzz-photo-sync");
        bw::fuzz::MakeImage(image);
        std::filesystem::create_directories(image + "/fs/var/mobile/Media/Photos/Sync");
        listPath = image + "/fs/var/mobile/Media/Photos/Sync/PhotoLibrary.plist";
        device = bw::fuzz::AttachImage(rt, image);
        serviceName = rt.makeString(nullptr, "com.apple.atc", kCFStringEncodingUTF8);
    }
};

World& TheWorld() {
    static World* world = new World;
    return *world;
}

std::string Message(const char* command, const char* params) {
    return bw::fuzz::Framed(std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                        "<key>Command</key><string>") +
                            command + "</string><key>Params</key>" + params +
                            "<key>Session</key><integer>0</integer></dict></plist>");
}

std::string XmlList(const char* updates) {
    return std::string(
               "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
               "<key>libraryKind</key><string>Folder</string>"
               "<key>libraryUUID</key><string>F00D</string><key>updates</key><array>") +
           updates + "</array></dict></plist>";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds({
        XmlList("<dict><key>itemType</key><string>Asset</string><key>modificationDate</key>"
                "<integer>3461152000</integer><key>originalFileName</key><string>a.jpg</string>"
                "<key>uuid</key><string>00000000-0000-0000-0000-000000000067</string></dict>"
                "<dict><key>albumName</key><string>My Pictures</string><key>itemType</key>"
                "<string>Album</string><key>uuid</key>"
                "<string>00000000-0000-0000-0000-000000000064</string><key>assetUUIDs</key>"
                "<array><string>00000000-0000-0000-0000-000000000067</string></array></dict>"),
        XmlList("<dict><key>itemType</key><string>Asset</string><key>uuid</key>"
                "<string>../x</string></dict>"),
        XmlList("<dict><key>itemType</key><string>Album</string><key>assetUUIDs</key>"
                "<string>x</string></dict>"),
        XmlList(""),
        std::string("bplist00"),
    });
    TheWorld();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& world = TheWorld();
    const bw::fuzz::SimServiceRuntime& rt = world.rt;
    std::ofstream(world.listPath, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    const std::string messages = Message("HostInfo", "<dict><key>HostInfo</key><dict/></dict>") +
                                 Message("RequestingSync",
                                         "<dict><key>Dataclasses</key><array><string>Photo</string>"
                                         "</array></dict>") +
                                 Message("FinishedSyncingMetadata", "<dict/>");
    AMDServiceConnectionRef link = bw::fuzz::StartService(rt, world.device, world.serviceName);
    if (rt.send(link, messages.data(), messages.size()) < 0) std::abort();
    bw::fuzz::CloseAndCheck(rt, link, false);
    return 0;
}
