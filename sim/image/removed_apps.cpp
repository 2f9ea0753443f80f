#include "removed_apps.h"

#include "seeded_random.h"

namespace bw::sim {

const std::vector<std::string>& RemovedAppIds() {
    static const std::vector<std::string> ids = {"com.flashcardly.decks", "com.apple.podcasts",
                                                 "com.CoinWise.Ledger"};
    return ids;
}

bool WriteRemovedApps(ImageWriter& writer, const ImageOptions& options) {
    for (const std::string& id : RemovedAppIds()) {
        SeededRandom random(options.seed, "removed-app:" + id);
        const std::string root = "/" + id;
        const std::string preferences =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
            "\t<key>LastLaunch</key>\n\t<integer>" +
            std::to_string(writer.identity().now - random.Between(30, 200) * 86400) +
            "</integer>\n</dict>\n</plist>\n";
        if (!writer.Folder(root + "/tmp") ||
            !writer.File(root + "/Library/Preferences/" + id + ".plist", preferences) ||
            !writer.File(root + "/Documents/data-" + random.LowerHex(8) + ".sqlite",
                         "SQLite format 3" + std::string(1, '\0') + random.LowerHex(4000)) ||
            !writer.File(root + "/Library/Caches/" + id + "/Cache.db",
                         random.FromAlphabet("abcdef0123456789", 2048)))
            return false;
    }
    return writer.Finish();
}

}  // namespace bw::sim
