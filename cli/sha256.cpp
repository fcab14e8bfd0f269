#include "cli/sha256.h"

#include <gcrypt.h>

#include <array>

namespace lumo::cli {

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
    // libgcrypt wants its version check before first use; for hashing nothing more.
    static const bool ready = [] {
        gcry_check_version(nullptr);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    (void)ready;
    std::array<unsigned char, 32> digest{};
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest.data(), bytes.data(), bytes.size());
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(64);
    for (unsigned char b : digest) {
        out += kHex[b >> 4];
        out += kHex[b & 0xF];
    }
    return out;
}

}  // namespace lumo::cli
