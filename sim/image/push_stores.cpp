// The preferences file is a binary list, as SpringBoard writes it, with "SBRecentDisplays" most
// recent first. The list names one application that is no longer installed: SpringBoard does not
// prune it when an application goes.
//
// A push store is what the object archiver of the device writes for an array of notification
// dictionaries: a binary list {"$archiver", "$version", "$top": {"root": UID}, "$objects"}, with
// "$null" first, every object once, strings inline, class records {"$classname", "$classes"}
// after their first instance, and the creation date an NSDate of seconds since 2001-01-01.
#include "push_stores.h"

#include <map>
#include <string>
#include <vector>

#include "common/plist_tree.h"
#include "private_data.h"
#include "seeded_random.h"

namespace bw::sim {
namespace {

constexpr char kPreferencesPath[] = "/var/mobile/Library/Preferences/com.apple.springboard.plist";
constexpr char kPushStoreFolder[] = "/var/mobile/Library/SpringBoard/PushStore/";

// Recent applications, most recent first; the first `count` of them on each release.
constexpr const char* kRecentDisplays[] = {
    "com.apple.MobileSMS",       "com.nimbuslabs.skyline", "com.apple.mobilesafari",
    "com.retired.oldgame",       "com.paperfold.notebook", "com.soundgarage.beatbox",
    "com.linguaworks.cafelingo",
};

struct NotificationRow {
    const char* title;
    const char* message;
};

struct StoreRow {
    const char* bundleId;
    int sinceMajor;
    std::vector<NotificationRow> notifications;  // empty: a store without notifications
};

const std::vector<StoreRow>& Stores() {
    static const std::vector<StoreRow> stores = {
        {"com.apple.MobileSMS",
         5,
         {{"Messages", "Anna Berg: On my way"},
          {"Messages",
           "J\xc3\xb6rg M\xc3\xbcller: Gr\xc3\xbc\xc3\x9f"
           "e aus K\xc3\xb6ln"},
          {"Messages", "Grace Kim: 50% off? \"Really\""}}},
        {"com.apple.mobilemail", 5, {{"Mail", "Weekly digest: 12 new posts"}}},
        {"com.nimbuslabs.skyline",
         5,
         {{"Skyline Weather", "Rain expected at 4 PM"},
          {"Skyline Weather", "\xe6\x98\x8e\xe5\xa4\xa9 sunny, 24\xc2\xb0"}}},
        {"com.pixelforge.blockdrop", 6, {{"BlockDrop", "Your lives are full again!"}}},
        {"com.coinwise.ledger", 7, {}},
    };
    return stores;
}

// The object table of one archive.
class Archive {
  public:
    Archive() : objects_(plist_new_array()) { Add(plist_new_string("$null")); }

    uint64_t Add(plist_t object) {
        plist_array_append_item(objects_.get(), object);
        return plist_array_get_size(objects_.get()) - 1;
    }
    uint64_t String(const std::string& text) { return Add(plist_new_string(text.c_str())); }

    // An instance of `className`; its class record follows the first instance.
    uint64_t Instance(const std::string& className, plist_t members) {
        const uint64_t index = Add(members);
        auto known = classes_.find(className);
        if (known == classes_.end()) {
            plist_t record = plist_new_dict();
            plist_dict_set_item(record, "$classname", plist_new_string(className.c_str()));
            plist_t chain = plist_new_array();
            plist_array_append_item(chain, plist_new_string(className.c_str()));
            if (className == "NSMutableArray")
                plist_array_append_item(chain, plist_new_string("NSArray"));
            if (className == "NSMutableDictionary")
                plist_array_append_item(chain, plist_new_string("NSDictionary"));
            plist_array_append_item(chain, plist_new_string("NSObject"));
            plist_dict_set_item(record, "$classes", chain);
            known = classes_.emplace(className, Add(record)).first;
        }
        plist_dict_set_item(members, "$class", plist_new_uid(known->second));
        return index;
    }

    static plist_t References(const std::vector<uint64_t>& indices) {
        plist_t array = plist_new_array();
        for (const uint64_t index : indices)
            plist_array_append_item(array, plist_new_uid(index));
        return array;
    }

    std::string Binary(uint64_t root) {
        PlistTree archive(plist_new_dict());
        plist_dict_set_item(archive.get(), "$archiver", plist_new_string("NSKeyedArchiver"));
        plist_dict_set_item(archive.get(), "$version", plist_new_uint(100000));
        plist_t top = plist_new_dict();
        plist_dict_set_item(top, "root", plist_new_uid(root));
        plist_dict_set_item(archive.get(), "$top", top);
        plist_dict_set_item(archive.get(), "$objects", objects_.release());
        return ToBinary(archive.get());
    }

    static std::string ToBinary(plist_t tree) {
        char* bytes = nullptr;
        uint32_t length = 0;
        plist_to_bin(tree, &bytes, &length);
        std::string out = bytes != nullptr ? std::string(bytes, length) : std::string();
        if (bytes != nullptr) plist_to_bin_free(bytes);
        return out;
    }

  private:
    PlistTree objects_;
    std::map<std::string, uint64_t> classes_;
};

std::string PushStore(const StoreRow& row, SeededRandom& random, int64_t now) {
    Archive archive;
    // The array first, its members filled in once the notifications have their indices.
    plist_t arrayMembers = plist_new_dict();
    const uint64_t root = archive.Instance("NSMutableArray", arrayMembers);
    std::vector<uint64_t> notifications;
    int64_t created = now - kAppleEpoch - random.Between(600, 3600);
    for (const NotificationRow& notification : row.notifications) {
        const uint64_t keys[] = {archive.String("AppNotificationMessage"),
                                 archive.String("AppNotificationCreationDate"),
                                 archive.String("AppNotificationTitle")};
        plist_t dateMembers = plist_new_dict();
        // Dates carry a fraction of a second, as the device records them.
        plist_dict_set_item(dateMembers, "NS.time",
                            plist_new_real(static_cast<double>(created) + 0.25));
        const uint64_t values[] = {archive.String(notification.message),
                                   archive.Instance("NSDate", dateMembers),
                                   archive.String(notification.title)};
        plist_t members = plist_new_dict();
        plist_dict_set_item(members, "NS.keys", Archive::References({keys[0], keys[1], keys[2]}));
        plist_dict_set_item(members, "NS.objects",
                            Archive::References({values[0], values[1], values[2]}));
        notifications.push_back(archive.Instance("NSMutableDictionary", members));
        created -= random.Between(3600, 86400);  // older further down, as the device keeps them
    }
    plist_dict_set_item(arrayMembers, "NS.objects", Archive::References(notifications));
    return archive.Binary(root);
}

std::string SpringboardPreferences(int major) {
    const size_t count = major <= 5 ? 4 : major == 6 ? 5 : 7;
    PlistTree preferences(plist_new_dict());
    plist_t recent = plist_new_array();
    for (size_t i = 0; i < count; ++i)
        plist_array_append_item(recent, plist_new_string(kRecentDisplays[i]));
    plist_dict_set_item(preferences.get(), "SBAutoLockTime", plist_new_uint(60));
    plist_dict_set_item(preferences.get(), "SBRecentDisplays", recent);
    plist_dict_set_item(preferences.get(), "SBShowBatteryPercentage", plist_new_bool(1));
    plist_dict_set_item(preferences.get(), "SBDefaultsVersion", plist_new_uint(major));
    return Archive::ToBinary(preferences.get());
}

}  // namespace

bool AddSpringboardRecords(ImageWriter& writer, const ImageOptions& options) {
    const int major = writer.identity().release->major;
    if (!writer.File(kPreferencesPath, SpringboardPreferences(major))) return false;
    for (const StoreRow& row : Stores()) {
        if (major < row.sinceMajor) continue;
        SeededRandom random(options.seed, std::string("push-store-") + row.bundleId);
        const std::string bytes = PushStore(row, random, writer.identity().now);
        if (bytes.empty()) return writer.Fail("push store of " + std::string(row.bundleId));
        if (!writer.File(kPushStoreFolder + std::string(row.bundleId) + ".pushstore", bytes)) {
            return false;
        }
    }
    return true;
}

}  // namespace bw::sim
