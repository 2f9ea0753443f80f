// Seed inputs of the targets that read property lists: one tree written in both forms.
#pragma once

#include <string>

#include "formats/plist_library.h"

namespace bw::fuzz {

inline std::string BinarySeed(const CDicValueObj& tree) {
    std::string out;
    writeBinary(tree, out);
    return out;
}

inline std::string XmlSeed(const CDicValueObj& tree) {
    std::string out;
    writeXmlutf8(tree, out);
    return out;
}

}  // namespace bw::fuzz
