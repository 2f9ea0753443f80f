// Application content of an image. User applications live in containers
// /var/mobile/Applications/<UUID>/ holding <Name>.app (Info.plist, executable, PkgInfo, icons),
// iTunesMetadata.plist, iTunesArtwork for some, and the sandbox data of app_sandbox.h. System
// applications are bundles /Applications/<Name>.app without containers. The home-screen layout
// is /var/mobile/Library/SpringBoard/IconState.plist. The applications and their quirks are
// fixed by the tables below; UUIDs, versions, icon colours and file contents come from the seed.
#include "applications_content.h"

#include <algorithm>
#include <vector>

#include "app_icons.h"
#include "app_sandbox.h"
#include "common/plist_tree.h"
#include "seeded_random.h"

namespace bw::sim {
namespace {

enum class Icon {
    None,     // no icon file at all
    Classic,  // Icon.png and Icon@2x.png named by CFBundleIconFiles (iOS 5 and 6 bundles)
    Modern,   // AppIcon60x60@2x.png named by CFBundleIcons (iOS 7 bundles)
};

struct UserAppRow {
    const char* bundleName;   // <Name>.app, CFBundleName and CFBundleExecutable
    const char* bundleId;     // CFBundleIdentifier
    const char* displayName;  // CFBundleDisplayName; null when the bundle has only CFBundleName
    Icon icon;
    bool artwork;  // iTunesArtwork at the container root
    SandboxJunk junk;
    bool cookies;
    int minimumMajor;  // MinimumOSVersion, lowered to the image's version
    bool universal;    // UIDeviceFamily [1, 2] rather than [1]
};

// Every quirk the library meets on phones, once at least: a name with only CFBundleName, a
// name outside ASCII, an icon only as artwork, no icon at all, "Library/Tmp" beside
// "Library/tmp", deep caches, a container without any junk and one without cookies.
constexpr UserAppRow kUserApps[] = {
    {"Skyline", "com.nimbuslabs.skyline", "Skyline Weather", Icon::Classic, true, SandboxJunk::Full,
     true, 5, true},
    {"Notebook", "com.paperfold.notebook", "Notebook", Icon::Modern, false, SandboxJunk::Full, true,
     7, true},
    {"TrailMap", "com.ridgeline.trailmap", "Trail Map", Icon::Classic, true,
     SandboxJunk::DeepCaches, true, 6, false},
    {"PocketChef", "com.kitchenware.pocketchef", "Pocket Chef", Icon::Modern, false,
     SandboxJunk::Full, true, 6, true},
    {"CafeLingo", "com.linguaworks.cafelingo", "Caf\xc3\xa9 Lingo", Icon::Classic, true,
     SandboxJunk::Full, true, 5, false},
    {"BeatBox", "com.soundgarage.beatbox", nullptr, Icon::Classic, false, SandboxJunk::Full, true,
     5, false},
    {"Tally", "com.tallyapps.tally", "Tally", Icon::None, false, SandboxJunk::Full, false, 5,
     false},
    {"Stargazer", "com.orbitworks.stargazer", "Stargazer", Icon::None, true, SandboxJunk::Full,
     true, 6, true},
    {"Metro", "com.transitly.metro", "Metro", Icon::Modern, false, SandboxJunk::CapitalTmp, true, 7,
     false},
    {"BlockDrop", "com.pixelforge.blockdrop", "BlockDrop", Icon::Classic, false, SandboxJunk::Full,
     true, 5, true},
    {"Wordsmith", "com.pixelforge.wordsmith", "Wordsmith", Icon::Modern, true, SandboxJunk::Full,
     true, 6, true},
    {"Ledger", "com.coinwise.ledger", "Ledger", Icon::Classic, false, SandboxJunk::Empty, false, 5,
     false},
};

struct SystemAppRow {
    const char* bundleName;
    const char* bundleId;
    const char* displayName;
};

constexpr SystemAppRow kSystemApps[] = {
    {"MobileSafari", "com.apple.mobilesafari", "Safari"},
    {"MobileMail", "com.apple.mobilemail", "Mail"},
    {"MobileSMS", "com.apple.MobileSMS", "Messages"},
    {"MobileSlideShow", "com.apple.mobileslideshow", "Photos"},
    {"MobileTimer", "com.apple.mobiletimer", "Clock"},
    {"Preferences", "com.apple.Preferences", "Settings"},
};

// The home screen: the dock, then the pages; a folder is written as "folder:<name>" followed
// by its applications up to "end".
constexpr const char* kDock[] = {"com.apple.MobileSMS", "com.apple.mobilemail",
                                 "com.apple.mobilesafari", "com.apple.mobileslideshow"};
constexpr const char* kPage1[] = {
    "com.apple.Preferences",     "com.apple.mobiletimer",
    "com.nimbuslabs.skyline",    "com.paperfold.notebook",
    "com.ridgeline.trailmap",    "com.kitchenware.pocketchef",
    "com.linguaworks.cafelingo", "folder:Games",
    "com.pixelforge.blockdrop",  "com.pixelforge.wordsmith",
    "com.soundgarage.beatbox",   "end",
};
constexpr const char* kPage2[] = {"com.tallyapps.tally", "com.orbitworks.stargazer",
                                  "com.transitly.metro", "com.coinwise.ledger"};

constexpr int kIconSize = 57;
constexpr int kArtworkSize = 512;
constexpr int kScaledFilesPerStep = 50;

std::string Png(ImageWriter& writer, uint64_t seed, const std::string& bundleId, int size,
                bool& ok) {
    std::string png, error;
    ok = EncodeIcon({size, seed, bundleId}, png, error);
    if (!ok) writer.Fail(error);
    return png;
}

std::string Version(SeededRandom& random) {
    return std::to_string(random.Between(1, 4)) + "." + std::to_string(random.Between(0, 9)) + "." +
           std::to_string(random.Between(0, 9));
}

// The bytes of an ARM executable: the Mach-O magic, then filler.
std::string Executable(SeededRandom& random) {
    std::string bytes = "\xce\xfa\xed\xfe";
    const size_t size = static_cast<size_t>(random.Between(4096, 16384));
    while (bytes.size() < size)
        bytes += random.LowerHex(16);
    return bytes;
}

bool WriteIcons(ImageWriter& writer, const std::string& bundle, Icon icon, uint64_t seed,
                const std::string& bundleId) {
    bool ok = true;
    if (icon == Icon::Classic) {
        const std::string small = Png(writer, seed, bundleId, kIconSize, ok);
        if (!ok || !writer.File(bundle + "/Icon.png", small)) return false;
        const std::string large = Png(writer, seed, bundleId, kIconSize * 2, ok);
        return ok && writer.File(bundle + "/Icon@2x.png", large);
    }
    if (icon == Icon::Modern) {
        const std::string large = Png(writer, seed, bundleId, 120, ok);
        return ok && writer.File(bundle + "/AppIcon60x60@2x.png", large);
    }
    return true;
}

void AddIconKeys(DictBuilder& info, Icon icon) {
    if (icon == Icon::Classic) info.Texts("CFBundleIconFiles", {"Icon.png", "Icon@2x.png"});
    if (icon == Icon::Modern)
        info.Dict("CFBundleIcons",
                  std::move(DictBuilder().Dict(
                      "CFBundlePrimaryIcon",
                      std::move(DictBuilder().Texts("CFBundleIconFiles", {"AppIcon60x60"})))));
}

bool WriteBundleBasics(ImageWriter& writer, const std::string& bundle, const char* executable,
                       DictBuilder& info, SeededRandom& random) {
    const PlistTree tree = info.Take();
    return writer.File(bundle + "/Info.plist", PlistXml(tree.get())) &&
           writer.File(bundle + "/PkgInfo", "APPL????") &&
           writer.File(bundle + "/" + executable, Executable(random));
}

bool AddUserApp(ImageWriter& writer, const ImageOptions& options, const UserAppRow& row,
                std::vector<SandboxSpec>& scaled) {
    SeededRandom random(options.seed, std::string("app-") + row.bundleId);
    const std::string container = "/var/mobile/Applications/" + RandomUuid(random);
    const std::string bundle = container + "/" + row.bundleName + ".app";
    const int major = writer.identity().release->major;
    const std::string version = Version(random);

    DictBuilder info;
    info.Text("CFBundleDevelopmentRegion", "en")
        .Text("CFBundleExecutable", row.bundleName)
        .Text("CFBundleIdentifier", row.bundleId)
        .Text("CFBundleInfoDictionaryVersion", "6.0")
        .Text("CFBundleName", row.bundleName)
        .Text("CFBundlePackageType", "APPL")
        .Text("CFBundleShortVersionString", version)
        .Text("CFBundleVersion", std::to_string(random.Between(10, 999)))
        .Text("DTPlatformName", "iphoneos")
        .Text("MinimumOSVersion", std::to_string(std::min(row.minimumMajor, major)) + ".0");
    if (row.displayName != nullptr) info.Text("CFBundleDisplayName", row.displayName);
    AddIconKeys(info, row.icon);
    if (row.universal) {
        info.Integers("UIDeviceFamily", {1, 2});
    } else {
        info.Integers("UIDeviceFamily", {1});
    }
    if (!WriteBundleBasics(writer, bundle, row.bundleName, info, random) ||
        !WriteIcons(writer, bundle, row.icon, options.seed, row.bundleId))
        return false;

    DictBuilder metadata;
    metadata.Text("artistName", std::string(row.bundleName) + " Studio")
        .Text("bundleVersion", version)
        .Integer("itemId", static_cast<uint64_t>(random.Between(280000000, 790000000)))
        .Text("itemName", row.displayName != nullptr ? row.displayName : row.bundleName)
        .Text("softwareVersionBundleId", row.bundleId);
    const PlistTree metadataTree = metadata.Take();
    if (!writer.File(container + "/iTunesMetadata.plist", PlistXml(metadataTree.get())))
        return false;
    if (row.artwork) {
        bool ok = true;
        const std::string artwork = Png(writer, options.seed, row.bundleId, kArtworkSize, ok);
        if (!ok || !writer.File(container + "/iTunesArtwork", artwork)) return false;
    }

    SandboxSpec sandbox{container,   row.bundleId, row.bundleName,       row.junk,
                        row.cookies, options.seed, writer.identity().now};
    if (!AddSandbox(writer, sandbox)) return false;
    if (row.junk != SandboxJunk::Empty) scaled.push_back(std::move(sandbox));
    return true;
}

bool AddSystemApp(ImageWriter& writer, const ImageOptions& options, const SystemAppRow& row) {
    SeededRandom random(options.seed, std::string("system-app-") + row.bundleId);
    const std::string bundle = std::string("/Applications/") + row.bundleName + ".app";
    const IosRelease& release = *writer.identity().release;
    DictBuilder info;
    info.Text("CFBundleDisplayName", row.displayName)
        .Text("CFBundleExecutable", row.bundleName)
        .Text("CFBundleIdentifier", row.bundleId)
        .Text("CFBundleName", row.bundleName)
        .Text("CFBundlePackageType", "APPL")
        .Text("CFBundleShortVersionString", release.version)
        .Text("CFBundleVersion", release.build)
        .Text("MinimumOSVersion", release.version);
    AddIconKeys(info, Icon::Classic);
    info.Integers("UIDeviceFamily", {1});
    return WriteBundleBasics(writer, bundle, row.bundleName, info, random) &&
           WriteIcons(writer, bundle, Icon::Classic, options.seed, row.bundleId);
}

template <size_t N>
plist_t IconList(const char* const (&ids)[N]) {
    plist_t list = plist_new_array();
    plist_t target = list;
    for (const char* id : ids) {
        const std::string entry = id;
        if (entry.starts_with("folder:")) {
            plist_t folder = plist_new_dict();
            plist_dict_set_item(folder, "displayName", plist_new_string(entry.substr(7).c_str()));
            plist_dict_set_item(folder, "listType", plist_new_string("folder"));
            plist_t pages = plist_new_array();
            target = plist_new_array();
            plist_array_append_item(pages, target);
            plist_dict_set_item(folder, "iconLists", pages);
            plist_array_append_item(list, folder);
        } else if (entry == "end") {
            target = list;
        } else {
            plist_array_append_item(target, plist_new_string(id));
        }
    }
    return list;
}

bool AddIconState(ImageWriter& writer) {
    PlistTree state(plist_new_dict());
    plist_dict_set_item(state.get(), "buttonBar", IconList(kDock));
    plist_t pages = plist_new_array();
    plist_array_append_item(pages, IconList(kPage1));
    plist_array_append_item(pages, IconList(kPage2));
    plist_dict_set_item(state.get(), "iconLists", pages);
    return writer.File("/var/mobile/Library/SpringBoard/IconState.plist", PlistXml(state.get()));
}

}  // namespace

bool AddApplications(ImageWriter& writer, const ImageOptions& options) {
    std::vector<SandboxSpec> scaled;
    for (const UserAppRow& row : kUserApps)
        if (!AddUserApp(writer, options, row, scaled)) return false;
    for (const SystemAppRow& row : kSystemApps)
        if (!AddSystemApp(writer, options, row)) return false;
    if (!AddIconState(writer)) return false;
    for (int step = 1; step < options.scale; ++step)
        if (!AddScaledSandboxJunk(writer, scaled, step, kScaledFilesPerStep)) return false;
    return true;
}

}  // namespace bw::sim
