// Seed corpora are made by code: when BRACKWATER_FUZZ_WRITE_SEEDS names a folder, a fuzz target
// writes its seed inputs there and exits (scripts/fuzz does this before fuzzing).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace bw::fuzz {

inline void MaybeWriteSeeds(const std::vector<std::string>& seeds) {
    const char* folder = std::getenv("BRACKWATER_FUZZ_WRITE_SEEDS");
    if (folder == nullptr || *folder == '\0') return;
    for (size_t i = 0; i < seeds.size(); ++i) {
        std::ofstream out(std::string(folder) + "/seed-" + std::to_string(i), std::ios::binary);
        out.write(seeds[i].data(), static_cast<std::streamsize>(seeds[i].size()));
    }
    std::exit(0);
}

}  // namespace bw::fuzz
