// Replies of the installation and springboard services, as a device (or something pretending to be
// one) sends them: the bytes are read as a property list and handed to the browse and icon-layout
// readers. The application list must come out in bundle-identifier order, each identifier once.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "device/app_icons.h"
#include "device/app_install_proxy.h"
#include "formats/plist_library.h"
#include "fuzz_seeds.h"
#include "plist_seeds.h"

namespace {

using bw::CDicValueObj;

CDicValueObj App(const char* identifier, const char* type, const char* name) {
    CDicValueObj app = CDicValueObj::MakeDictionary();
    app.Set("CFBundleIdentifier", CDicValueObj::MakeString(identifier));
    app.Set("ApplicationType", CDicValueObj::MakeString(type));
    if (name != nullptr) app.Set("CFBundleDisplayName", CDicValueObj::MakeString(name));
    app.Set("CFBundleName", CDicValueObj::MakeString("Bundle"));
    return app;
}

std::vector<std::string> Seeds() {
    CDicValueObj batch = CDicValueObj::MakeDictionary();
    CDicValueObj list = CDicValueObj::MakeArray();
    list.Array()->push_back(App("com.example.b", "User", "B\xC3\xA9"));
    list.Array()->push_back(App("com.example.a", "uSeR", nullptr));
    list.Array()->push_back(App("com.apple.x", "System", "X"));
    batch.Set("CurrentList", list);
    batch.Set("Status", CDicValueObj::MakeString("BrowsingApplications"));
    CDicValueObj done = CDicValueObj::MakeDictionary();
    done.Set("Status", CDicValueObj::MakeString("Complete"));

    CDicValueObj icon = CDicValueObj::MakeDictionary();
    icon.Set("displayName", CDicValueObj::MakeString("Notes"));
    icon.Set("bundleIdentifier", CDicValueObj::MakeString("com.example.notes"));
    CDicValueObj page = CDicValueObj::MakeArray();
    page.Array()->push_back(icon);
    CDicValueObj folder = CDicValueObj::MakeDictionary();
    folder.Set("displayName", CDicValueObj::MakeString("Games"));
    folder.Set("listType", CDicValueObj::MakeString("folder"));
    CDicValueObj inner = CDicValueObj::MakeArray();
    inner.Array()->push_back(page);
    folder.Set("iconLists", inner);
    CDicValueObj pages = CDicValueObj::MakeArray();
    CDicValueObj second = CDicValueObj::MakeArray();
    second.Array()->push_back(folder);
    pages.Array()->push_back(page);
    pages.Array()->push_back(second);
    return {bw::fuzz::XmlSeed(batch),
            bw::fuzz::BinarySeed(batch),
            bw::fuzz::XmlSeed(done),
            bw::fuzz::BinarySeed(pages),
            bw::fuzz::XmlSeed(pages),
            "bplist00",
            ""};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds(Seeds());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    CDicValueObj reply;
    bw::readPlistFromByteArry(data, static_cast<int>(size), reply, 0);

    std::map<std::string, CDicValueObj> applications;
    bw::TakeBrowseReply(reply, applications);
    CDicValueObj browsed = CDicValueObj::MakeDictionary();
    for (const auto& [identifier, attributes] : applications)
        browsed.Set(identifier, attributes);
    const std::vector<bw::InstalledApplication> entries = bw::MakeApplicationEntries(browsed);
    for (size_t i = 1; i < entries.size(); ++i) {
        if (!(entries[i - 1].bundleIdentifier < entries[i].bundleIdentifier)) std::abort();
    }
    for (const bw::InstalledApplication& entry : entries) {
        if (!applications.contains(entry.bundleIdentifier)) std::abort();
    }

    for (const bw::IconLayoutEntry& entry : bw::ParseIconState(reply)) {
        if (entry.bundleIdentifier.find('\0') != std::string::npos) std::abort();
    }
    return 0;
}
