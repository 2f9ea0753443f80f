#include "type_words.h"

#include <algorithm>

namespace cli {

const char* TypeNameIn(std::span<const NamedType> table, int number) {
    for (const NamedType& type : table) {
        if (type.number == number) return type.name;
    }
    return "?";
}

bool ParseTypeWords(const std::vector<std::string>& words, std::span<const NamedType> table,
                    const std::string& kind, const std::string& hint, std::vector<int>& types,
                    std::string& problem) {
    for (const std::string& word : words) {
        bool found = false;
        for (const NamedType& type : table) {
            if (word == "all" || word == type.name || word == std::to_string(type.number)) {
                if (std::find(types.begin(), types.end(), type.number) == types.end()) {
                    types.push_back(type.number);
                }
                found = true;
            }
        }
        if (!found) {
            problem =
                std::string("unknown ").append(kind).append(" type ").append(word).append(hint);
            return false;
        }
    }
    if (types.empty()) problem = std::string("give at least one ").append(kind).append(" type");
    return !types.empty();
}

}  // namespace cli
