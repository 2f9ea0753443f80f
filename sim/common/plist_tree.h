// The one owner of libplist trees in the simulator (every part holds trees through PlistTree), a
// small builder for dictionaries, and the XML text of a tree.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

namespace bw::sim {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistTree = std::unique_ptr<void, PlistFree>;

// Builds a dictionary; keys are written in the order they are set.
class DictBuilder {
  public:
    DictBuilder() : dict_(plist_new_dict()) {}

    DictBuilder& Text(const char* key, std::string_view value) {
        return Node(key, plist_new_string(std::string(value).c_str()));
    }
    // Integers the library reads are never negative; libplist 2.2 has no signed constructor.
    DictBuilder& Integer(const char* key, uint64_t value) {
        return Node(key, plist_new_uint(value));
    }
    DictBuilder& Real(const char* key, double value) { return Node(key, plist_new_real(value)); }
    DictBuilder& Flag(const char* key, bool value) {
        return Node(key, plist_new_bool(value ? 1 : 0));
    }
    DictBuilder& Texts(const char* key, std::initializer_list<const char*> values) {
        plist_t array = plist_new_array();
        for (const char* value : values)
            plist_array_append_item(array, plist_new_string(value));
        return Node(key, array);
    }
    DictBuilder& Integers(const char* key, std::initializer_list<uint64_t> values) {
        plist_t array = plist_new_array();
        for (const uint64_t value : values)
            plist_array_append_item(array, plist_new_uint(value));
        return Node(key, array);
    }
    DictBuilder& Dict(const char* key, DictBuilder&& inner) { return Node(key, inner.Release()); }
    // Any node; the dictionary takes it over.
    DictBuilder& Value(const char* key, plist_t node) { return Node(key, node); }

    plist_t Release() { return dict_.release(); }
    PlistTree Take() { return std::move(dict_); }

  private:
    DictBuilder& Node(const char* key, plist_t node) {
        plist_dict_set_item(dict_.get(), key, node);
        return *this;
    }

    PlistTree dict_;
};

// XML text of a tree, as libplist writes it.
inline std::string PlistXml(plist_t tree) {
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(tree, &xml, &length);
    std::string text = xml != nullptr ? std::string(xml, length) : std::string();
    if (xml != nullptr) plist_to_xml_free(xml);
    return text;
}

}  // namespace bw::sim
