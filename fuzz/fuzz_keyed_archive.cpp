// Keyed archives: any bytes through the property-list reader and the archive decoder, then the
// push-store reader over the same bytes. Nothing may crash or hang, and the decoded value keeps to
// the decoder's limits: references nest no deeper than its depth limit (objects taken over as
// they are may add the reader's own nesting below that) and the tree holds no more values than
// its budget.
#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "formats/keyed_archive.h"
#include "formats/plist_library.h"
#include "fuzz_seeds.h"
#include "privacy/app_notification_junk.h"

namespace {

constexpr int kDeepestAllowed = bw::kKeyedArchiveMaxDepth + 1 + bw::kPlistMaxNesting;

// The depth and the number of values of a decoded tree, stopping once either is past its limit.
void Measure(const bw::CDicValueObj& value, int depth, int& deepest, size_t& values) {
    ++values;
    if (depth > deepest) deepest = depth;
    if (values > bw::kKeyedArchiveMaxValues || depth > kDeepestAllowed) return;
    if (const bw::PlistArray* array = value.Array()) {
        for (const bw::CDicValueObj& element : *array)
            Measure(element, depth + 1, deepest, values);
    } else if (const bw::PlistDictionary* dictionary = value.Dictionary()) {
        for (const auto& [key, element] : *dictionary)
            Measure(element, depth + 1, deepest, values);
    }
}

plist_t Uid(uint64_t index) {
    return plist_new_uid(index);
}

std::string Binary(plist_t tree) {
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(tree, &bytes, &length);
    std::string out = bytes != nullptr ? std::string(bytes, length) : std::string();
    if (bytes != nullptr) plist_to_bin_free(bytes);
    plist_free(tree);
    return out;
}

// An archive over `objects` with the root at `root`.
std::string Archive(plist_t objects, uint64_t root) {
    plist_t archive = plist_new_dict();
    plist_dict_set_item(archive, "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", Uid(root));
    plist_dict_set_item(archive, "$top", top);
    plist_dict_set_item(archive, "$objects", objects);
    return Binary(archive);
}

plist_t ClassRecord(const char* name) {
    plist_t record = plist_new_dict();
    plist_dict_set_item(record, "$classname", plist_new_string(name));
    return record;
}

plist_t Instance(uint64_t classIndex, const char* member, plist_t value) {
    plist_t object = plist_new_dict();
    plist_dict_set_item(object, "$class", Uid(classIndex));
    plist_dict_set_item(object, member, value);
    return object;
}

plist_t References(std::initializer_list<uint64_t> indices) {
    plist_t array = plist_new_array();
    for (const uint64_t index : indices)
        plist_array_append_item(array, Uid(index));
    return array;
}

std::vector<std::string> Seeds() {
    std::vector<std::string> seeds;
    // A push store: [{"AppNotificationMessage": "hi", date, title}].
    {
        plist_t objects = plist_new_array();
        plist_array_append_item(objects, plist_new_string("$null"));                   // 0
        plist_array_append_item(objects, ClassRecord("NSMutableArray"));               // 1
        plist_array_append_item(objects, ClassRecord("NSMutableDictionary"));          // 2
        plist_array_append_item(objects, ClassRecord("NSDate"));                       // 3
        plist_array_append_item(objects, Instance(1, "NS.objects", References({5})));  // 4
        plist_t notification = Instance(2, "NS.keys", References({6, 7, 8}));
        plist_dict_set_item(notification, "NS.objects", References({9, 10, 11}));
        plist_array_append_item(objects, notification);                                // 5
        plist_array_append_item(objects, plist_new_string("AppNotificationMessage"));  // 6
        plist_array_append_item(objects, plist_new_string("AppNotificationCreationDate"));
        plist_array_append_item(objects, plist_new_string("AppNotificationTitle"));  // 8
        plist_array_append_item(objects, plist_new_string("hi"));                    // 9
        plist_array_append_item(objects, Instance(3, "NS.time", plist_new_real(4.0e8)));
        plist_array_append_item(objects, plist_new_string("Title"));  // 11
        seeds.push_back(Archive(objects, 4));
    }
    // A cycle, a reference past the end and a data object.
    {
        plist_t objects = plist_new_array();
        plist_array_append_item(objects, plist_new_string("$null"));
        plist_array_append_item(objects, ClassRecord("NSMutableArray"));
        plist_array_append_item(objects, Instance(1, "NS.objects", References({2, 99, 3})));
        plist_array_append_item(objects, Instance(1, "NS.data", plist_new_data("ab", 2)));
        seeds.push_back(Archive(objects, 2));
    }
    return seeds;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    bw::fuzz::MaybeWriteSeeds(Seeds());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    bw::CDicValueObj archive;
    bw::readPlistFromString(bytes, archive, 0);
    const bw::CDicValueObj root = bw::CNSArchiverFormatHelper::Decode(archive);
    int deepest = 0;
    size_t values = 0;
    Measure(root, 0, deepest, values);
    if (deepest > kDeepestAllowed || values > bw::kKeyedArchiveMaxValues) {
        std::abort();
    }
    bw::CAppPushStoreModel store;
    bw::ReadPushStore(bytes, store);
    for (int32_t i = 0; i < store.GetMessageCount(); ++i) {
        if (store.GetMessage(i) == nullptr) std::abort();
    }
    return 0;
}
