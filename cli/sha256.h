// SHA-256 of a byte sequence, as 64 lowercase hex digits (libgcrypt underneath).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace lumo::cli {

std::string Sha256Hex(std::span<const std::uint8_t> bytes);

}  // namespace lumo::cli
