// An image from a file (--image): read whole before anything is sent, and checked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/update_report.h"

namespace lumo::cli {

// The most the protocol can address: 65,536 blocks of 56 bytes (the block index on the wire
// has 16 bits).
inline constexpr std::uint32_t kMaxImageLength = 65536u * UPDATE_BLOCK_SIZE;

struct ImageFile {
    std::vector<std::uint8_t> bytes;
    std::string sha256;
    bool stand_in = false;  // one of the repository's stand-ins, recognised by content
    std::string error;      // why the file cannot be used; empty when it can
};

// `path` is UTF-8. Never throws.
ImageFile ReadImageFile(const std::string& path);

// Whether a SHA-256 (lowercase hex) is one of the stand-ins' recorded at build time.
bool IsStandInDigest(const std::string& sha256);

}  // namespace lumo::cli
