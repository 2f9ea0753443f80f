// The simulator's application services on any bytes: the first byte picks the installation
// proxy or springboard services, the rest reaches it in pieces (the first byte of each piece
// gives its length), over an image with a user application, a system one and an icon layout.
// Nothing may crash, allocate what a length field claims, or stay open.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_seeds.h"
#include "sim_md_runtime.h"

namespace {

namespace fs = std::filesystem;

struct World {
    bw::fuzz::SimServiceRuntime rt{};
    AMDeviceRef device = nullptr;
    CFStringRef services[2] = {nullptr, nullptr};

    World() {
        rt = bw::fuzz::SimServiceRuntime::Load();

        const std::string root = bw::fuzz::TemporaryFolder("bw-fuzz-md-apps");
        bw::fuzz::MakeImage(root);
        const std::string plist = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>";
        const std::string user = root + "/fs/var/mobile/Applications/FUZZ/Fuzz.app";
        fs::create_directories(user);
        std::ofstream(user + "/Info.plist")
            << plist +
                   "<key>CFBundleIdentifier</key><string>com.example.fuzz</string>"
                   "<key>CFBundleIconFiles</key><array><string>Icon.png</string></array>"
                   "</dict></plist>";
        std::ofstream(user + "/Icon.png") << "\x89PNG fuzz";
        fs::create_directories(root + "/fs/Applications/System.app");
        std::ofstream(root + "/fs/Applications/System.app/Info.plist")
            << plist +
                   "<key>CFBundleIdentifier</key><string>com.apple.fuzz</string></dict></plist>";
        fs::create_directories(root + "/fs/var/mobile/Library/SpringBoard");
        std::ofstream(root + "/fs/var/mobile/Library/SpringBoard/IconState.plist")
            << plist +
                   "<key>buttonBar</key><array><string>com.apple.fuzz</string></array>"
                   "<key>iconLists</key><array><array><dict><key>listType</key>"
                   "<string>folder</string><key>displayName</key><string>F</string>"
                   "<key>iconLists</key><array><array><string>com.example.fuzz</string>"
                   "</array></array></dict></array></array></dict></plist>";
        device = bw::fuzz::AttachImage(rt, root);
        services[0] =
            rt.makeString(nullptr, "com.apple.mobile.installation_proxy", kCFStringEncodingUTF8);
        services[1] =
            rt.makeString(nullptr, "com.apple.springboardservices", kCFStringEncodingUTF8);
    }
};

World& TheWorld() {
    static World* world = new World;
    return *world;
}

std::string Xml(const std::string& inner) {
    return bw::fuzz::Framed("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>" + inner +
                            "</dict></plist>");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds({
        "\x00\xff" + Xml("<key>Command</key><string>Browse</string><key>ClientOptions</key>"
                         "<dict><key>ReturnAttributes</key><array><string>Path</string>"
                         "<string>StaticDiskUsage</string></array></dict>"),
        "\x00\x10" + Xml("<key>Command</key><string>Lookup</string>"),
        "\x01\xff" + Xml("<key>command</key><string>getIconState</string>"
                         "<key>formatVersion</key><integer>2</integer>"),
        "\x01\x20" + Xml("<key>command</key><string>getIconPNGData</string>"
                         "<key>bundleId</key><string>com.example.fuzz</string>"),
        std::string("\x01\x04\x7f\xff\xff\xff", 6),
        std::string("\x00\x08\0\0\0\x08"
                    "bplist00",
                    10),
    });
    TheWorld();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    World& world = TheWorld();
    const bw::fuzz::SimServiceRuntime& rt = world.rt;
    AMDServiceConnectionRef connection =
        bw::fuzz::StartService(rt, world.device, world.services[data[0] & 1]);
    bw::fuzz::SendInPieces(rt, connection, data, size, 1);
    // Whatever the services answered is read to the end: the bytes must all be there.
    bw::fuzz::CloseAndCheck(rt, connection, true);
    return 0;
}
