// Keyed archives assembled with libplist for the tests: a table of objects, class records,
// references written as real UIDs, and the archive as binary or XML bytes.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace bw::testing {

class KeyedArchiveBuilder {
  public:
    KeyedArchiveBuilder() : objects_(plist_new_array()) {
        plist_array_append_item(objects_, plist_new_string("$null"));
    }
    ~KeyedArchiveBuilder() { plist_free(objects_); }
    KeyedArchiveBuilder(const KeyedArchiveBuilder&) = delete;
    KeyedArchiveBuilder& operator=(const KeyedArchiveBuilder&) = delete;

    static constexpr uint64_t kNull = 0;

    // Any node (the builder takes it over); its index.
    uint64_t Add(plist_t node) {
        plist_array_append_item(objects_, node);
        return plist_array_get_size(objects_) - 1;
    }
    uint64_t String(const std::string& text) { return Add(plist_new_string(text.c_str())); }
    uint64_t Integer(uint64_t value) { return Add(plist_new_uint(value)); }

    // The class record of `name`, added once.
    uint64_t Class(const std::string& name) {
        const auto known = classes_.find(name);
        if (known != classes_.end()) return known->second;
        plist_t record = plist_new_dict();
        plist_dict_set_item(record, "$classname", plist_new_string(name.c_str()));
        plist_t chain = plist_new_array();
        plist_array_append_item(chain, plist_new_string(name.c_str()));
        plist_array_append_item(chain, plist_new_string("NSObject"));
        plist_dict_set_item(record, "$classes", chain);
        return classes_[name] = Add(record);
    }

    // An instance of `className` with its "$class" reference and no members yet; Member adds
    // them. Its index.
    uint64_t Instance(const std::string& className) {
        const uint64_t classIndex = Class(className);
        plist_t object = plist_new_dict();
        plist_dict_set_item(object, "$class", plist_new_uid(classIndex));
        return Add(object);
    }
    void Member(uint64_t object, const char* key, plist_t value) {
        plist_dict_set_item(plist_array_get_item(objects_, static_cast<uint32_t>(object)), key,
                            value);
    }
    static plist_t References(const std::vector<uint64_t>& indices) {
        plist_t array = plist_new_array();
        for (const uint64_t index : indices)
            plist_array_append_item(array, plist_new_uid(index));
        return array;
    }

    uint64_t Array(const std::string& className, const std::vector<uint64_t>& elements) {
        const uint64_t array = Instance(className);
        Member(array, "NS.objects", References(elements));
        return array;
    }
    uint64_t Dictionary(const std::string& className, const std::vector<uint64_t>& keys,
                        const std::vector<uint64_t>& values) {
        const uint64_t dictionary = Instance(className);
        Member(dictionary, "NS.keys", References(keys));
        Member(dictionary, "NS.objects", References(values));
        return dictionary;
    }
    uint64_t Date(double seconds) {
        const uint64_t date = Instance("NSDate");
        Member(date, "NS.time", plist_new_real(seconds));
        return date;
    }
    uint64_t Data(const std::string& bytes) {
        const uint64_t data = Instance("NSMutableData");
        Member(data, "NS.data", plist_new_data(bytes.data(), bytes.size()));
        return data;
    }

    // One notification of a push store: a dictionary of message, creation date and title.
    uint64_t Notification(const std::string& message, double created, const std::string& title) {
        return Dictionary("NSMutableDictionary",
                          {String("AppNotificationMessage"), String("AppNotificationCreationDate"),
                           String("AppNotificationTitle")},
                          {String(message), Date(created), String(title)});
    }

    // The whole archive with "$top" {"root": root}; binary unless `xml`.
    std::string Bytes(uint64_t root, bool xml = false) const {
        plist_t archive = plist_new_dict();
        plist_dict_set_item(archive, "$archiver", plist_new_string("NSKeyedArchiver"));
        plist_dict_set_item(archive, "$version", plist_new_uint(100000));
        plist_t top = plist_new_dict();
        plist_dict_set_item(top, "root", plist_new_uid(root));
        plist_dict_set_item(archive, "$top", top);
        plist_dict_set_item(archive, "$objects", plist_copy(objects_));
        char* out = nullptr;
        uint32_t length = 0;
        (xml ? plist_to_xml : plist_to_bin)(archive, &out, &length);
        std::string bytes = out != nullptr ? std::string(out, length) : std::string();
        (xml ? plist_to_xml_free : plist_to_bin_free)(out);
        plist_free(archive);
        return bytes;
    }

  private:
    plist_t objects_;
    std::map<std::string, uint64_t> classes_;
};

}  // namespace bw::testing
