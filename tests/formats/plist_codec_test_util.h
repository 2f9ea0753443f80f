// Byte-building helpers shared by the property-list codec tests.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "formats/plist_codec.h"

namespace bw {

// Readable failure messages for trees.
inline void PrintTo(const PlistValue& value, std::ostream* out) {
    switch (value.Kind()) {
        case PlistKind::kNone:
            *out << "(none)";
            return;
        case PlistKind::kDictionary: {
            *out << "{";
            for (const auto& [key, element] : *value.AsDictionary()) {
                *out << '"' << key << "\": ";
                PrintTo(element, out);
                *out << ", ";
            }
            *out << "}";
            return;
        }
        case PlistKind::kArray:
            *out << "[";
            for (const PlistValue& element : *value.AsArray()) {
                PrintTo(element, out);
                *out << ", ";
            }
            *out << "]";
            return;
        case PlistKind::kString:
            *out << '"' << *value.AsString() << '"';
            return;
        case PlistKind::kInteger:
            *out << *value.AsInteger();
            return;
        case PlistKind::kReal:
            *out << *value.AsReal() << "r";
            return;
        case PlistKind::kBoolean:
            *out << (*value.AsBoolean() ? "true" : "false");
            return;
        case PlistKind::kDate:
            *out << "date(" << value.AsDate()->unixSeconds << ")";
            return;
        case PlistKind::kData:
            *out << "data(" << value.AsData()->size() << " bytes)";
            return;
    }
}

}  // namespace bw

namespace bw::plist_test {

// "D0 01 'ab'" style: hexadecimal byte pairs, with text between single quotes taken literally.
inline std::string Bytes(std::string_view spec) {
    std::string out;
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (size_t i = 0; i < spec.size();) {
        if (spec[i] == ' ') {
            ++i;
        } else if (spec[i] == '\'') {
            const size_t end = spec.find('\'', i + 1);
            out.append(spec.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            out.push_back(static_cast<char>(nibble(spec[i]) << 4 | nibble(spec[i + 1])));
            i += 2;
        }
    }
    return out;
}

inline std::string BigEndian(uint64_t value, unsigned size) {
    std::string out(size, '\0');
    for (unsigned i = size; i-- > 0; value >>= 8)
        out[i] = static_cast<char>(value & 0xFF);
    return out;
}

// A binary property list assembled from raw object bytes, with every trailer field open to
// tampering so that hostile files can be described in a line or two.
struct RawPlist {
    std::vector<std::string> objects;
    unsigned offsetSize = 1;
    unsigned refSize = 1;
    uint64_t topObject = 0;
    std::optional<uint64_t> objectCount;                       // default: objects.size()
    std::optional<uint64_t> offsetTableOffset;                 // default: right after the objects
    std::vector<std::pair<size_t, uint64_t>> offsetOverrides;  // (object, offset)

    std::string Build() const {
        std::string file = "bplist00";
        std::vector<uint64_t> offsets;
        for (const std::string& object : objects) {
            offsets.push_back(file.size());
            file += object;
        }
        for (const auto& [index, offset] : offsetOverrides)
            offsets[index] = offset;
        const uint64_t table = file.size();
        for (uint64_t offset : offsets)
            file += BigEndian(offset, offsetSize);
        file += std::string(6, '\0');
        file.push_back(static_cast<char>(offsetSize));
        file.push_back(static_cast<char>(refSize));
        file += BigEndian(objectCount.value_or(objects.size()), 8);
        file += BigEndian(topObject, 8);
        file += BigEndian(offsetTableOffset.value_or(table), 8);
        return file;
    }
};

inline std::optional<PlistValue> Read(std::string_view bytes) {
    PlistValue value;
    if (!ReadPlistFromMemory(bytes.data(), bytes.size(), value)) {
        if (!value.IsEmpty()) ADD_FAILURE() << "a failed read left a value behind";
        return std::nullopt;
    }
    return value;
}

}  // namespace bw::plist_test
