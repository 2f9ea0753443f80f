// Messages a device sends during a photo sync, as the sync's message reader sees them (the
// property-list form of each message): the name the dispatcher goes by, the anchor the metadata
// handler answers, and the asset identifiers the asset handler turns into device paths. The
// reader must never fail on a tree of any shape, and must hand over only non-empty identifiers,
// no more than its bound.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "backup/configure_tool.h"
#include "formats/plist_library.h"
#include "fuzz_seeds.h"
#include "photo/mobile_sync.h"
#include "plist_seeds.h"

namespace {

using bw::CDicValueObj;

CDicValueObj Message(const char* name, CDicValueObj params) {
    CDicValueObj message = CDicValueObj::MakeDictionary();
    message.Set("Command", CDicValueObj::MakeString(name));
    message.Set("Params", std::move(params));
    message.Set("Session", CDicValueObj::MakeInteger(1));
    return message;
}

std::vector<std::string> Seeds() {
    CDicValueObj anchors = CDicValueObj::MakeDictionary();
    anchors.Set("Photo", CDicValueObj::MakeString("3"));
    CDicValueObj ready = CDicValueObj::MakeDictionary();
    ready.Set("DataclassAnchors", anchors);

    CDicValueObj photos = CDicValueObj::MakeArray();
    for (const char* id : {"00000000-0000-0000-0000-000000000067", "../../etc", ""}) {
        CDicValueObj entry = CDicValueObj::MakeDictionary();
        entry.Set("AssetID", CDicValueObj::MakeString(id));
        entry.Set("Dataclass", CDicValueObj::MakeString("Photo"));
        photos.Array()->push_back(entry);
    }
    CDicValueObj manifest = CDicValueObj::MakeDictionary();
    manifest.Set("Photo", photos);
    CDicValueObj assets = CDicValueObj::MakeDictionary();
    assets.Set("AssetManifest", manifest);

    CDicValueObj failed = CDicValueObj::MakeDictionary();
    failed.Set("ErrorCode", CDicValueObj::MakeInteger(12));

    const CDicValueObj messages[] = {
        Message("ReadyForSync", ready), Message("AssetManifest", assets),
        Message("SyncFailed", failed), Message("SyncFinished", CDicValueObj::MakeDictionary())};
    std::vector<std::string> seeds;
    for (const CDicValueObj& message : messages) {
        seeds.push_back(bw::fuzz::BinarySeed(message));
        seeds.push_back(bw::fuzz::XmlSeed(message));
    }
    seeds.emplace_back("bplist00");
    return seeds;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds(Seeds());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const bw::SyncMessage message = bw::ReadSyncMessageBytes(data, size);
    if (message.assetIds.size() > bw::kMaxManifestAssets) std::abort();
    for (const std::string& id : message.assetIds) {
        if (id.empty()) std::abort();
        // The asset handler's guard must decide every identifier without failing.
        (void)bw::IsPlainFileName(id);
    }
    return 0;
}
