// SHA-1 from OpenSSL, so that tests of what the library hashes never check it with its own code.
#pragma once

#include <openssl/sha.h>

#include <string>
#include <string_view>

namespace bw::testing {

// The 20 raw bytes of the digest.
inline std::string IndependentSha1(std::string_view bytes) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

}  // namespace bw::testing
