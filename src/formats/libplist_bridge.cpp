#include "formats/libplist_bridge.h"

#include <cstdlib>

namespace bw {

namespace {

plist_t NewNode(const PlistValue& value) {
    switch (value.Kind()) {
        case PlistKind::kDictionary: {
            plist_t dict = plist_new_dict();
            for (const auto& [key, element] : *value.AsDictionary())
                plist_dict_set_item(dict, key.c_str(), NewNode(element));
            return dict;
        }
        case PlistKind::kArray: {
            plist_t array = plist_new_array();
            for (const PlistValue& element : *value.AsArray())
                plist_array_append_item(array, NewNode(element));
            return array;
        }
        case PlistKind::kString:
            return plist_new_string(value.AsString()->c_str());
        case PlistKind::kInteger:
            return plist_new_uint(static_cast<uint64_t>(*value.AsInteger()));
        case PlistKind::kReal:
            return plist_new_real(*value.AsReal());
        case PlistKind::kBoolean:
            return plist_new_bool(*value.AsBoolean());
        case PlistKind::kDate:
            return plist_new_date(static_cast<int32_t>(value.AsDate()->SecondsSince2001()), 0);
        case PlistKind::kData: {
            const PlistValue::Data& data = *value.AsData();
            return plist_new_data(reinterpret_cast<const char*>(data.data()), data.size());
        }
        case PlistKind::kNone:
            break;
    }
    return plist_new_bool(0);
}

}  // namespace

LibplistNode ToLibplist(const PlistValue& value) {
    return LibplistNode(NewNode(value));
}

PlistValue FromLibplist(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_DICT: {
            PlistValue::Dictionary dictionary;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t element = nullptr;
                plist_dict_next_item(node, it, &key, &element);
                if (element == nullptr) break;
                dictionary[key] = FromLibplist(element);
                std::free(key);
            }
            std::free(it);
            return dictionary;
        }
        case PLIST_ARRAY: {
            PlistValue::Array array;
            for (uint32_t i = 0; i < plist_array_get_size(node); ++i)
                array.push_back(FromLibplist(plist_array_get_item(node, i)));
            return array;
        }
        case PLIST_STRING: {
            char* text = nullptr;
            plist_get_string_val(node, &text);
            PlistValue value(text != nullptr ? text : "");
            std::free(text);
            return value;
        }
        case PLIST_UINT: {
            uint64_t number = 0;
            plist_get_uint_val(node, &number);
            return static_cast<int64_t>(number);
        }
        case PLIST_REAL: {
            double number = 0;
            plist_get_real_val(node, &number);
            return number;
        }
        case PLIST_BOOLEAN: {
            uint8_t flag = 0;
            plist_get_bool_val(node, &flag);
            return flag != 0;
        }
        case PLIST_DATE: {
            int32_t seconds = 0, micros = 0;
            plist_get_date_val(node, &seconds, &micros);
            return PlistDate{int64_t{seconds} + PlistDate::kUnixSecondsAt2001};
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            PlistValue value(PlistValue::Data(bytes, bytes + length));
            std::free(bytes);
            return value;
        }
        default:
            return PlistValue();
    }
}

}  // namespace bw
