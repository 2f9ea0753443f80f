// Junk and privacy types named on the command line by number or by name, and their names.
#pragma once

#include <span>
#include <string>
#include <vector>

namespace cli {

struct NamedType {
    int number;
    const char* name;
};

// The name of `number` in `table`, "?" when it has none.
const char* TypeNameIn(std::span<const NamedType> table, int number);

// The types the words name ("all" names every one), in the order given, each once. On an
// unknown word `problem` is "unknown KIND type WORD" followed by `hint`; with no word it is "give
// at least one KIND type".
bool ParseTypeWords(const std::vector<std::string>& words, std::span<const NamedType> table,
                    const std::string& kind, const std::string& hint, std::vector<int>& types,
                    std::string& problem);

}  // namespace cli
