// AFC requests as a host writes them, for the seeds of the AFC fuzz targets: the header (magic,
// whole length, length up to the payload, packet number, operation), then parameters and payload.
#pragma once

#include <cstdint>
#include <string>

namespace bw::fuzz {

inline std::string Le64(uint64_t value) {
    std::string out;
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>(value >> (8 * i)));
    return out;
}

inline std::string Packet(uint64_t number, uint64_t operation, const std::string& parameters,
                          const std::string& payload = {}) {
    return std::string("CFA6LPAA") + Le64(40 + parameters.size() + payload.size()) +
           Le64(40 + parameters.size()) + Le64(number) + Le64(operation) + parameters + payload;
}

}  // namespace bw::fuzz
