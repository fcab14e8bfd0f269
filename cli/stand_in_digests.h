// The SHA-256 digests of the repository's stand-in images (firmware/stand_ins.sha256),
// generated when the build is configured.
#pragma once

#include <span>
#include <string_view>

namespace lumo::cli {

extern const std::span<const std::string_view> kStandInDigests;

}  // namespace lumo::cli
