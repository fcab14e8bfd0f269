// Record IDs: random (version 4) UUIDs, so that stations that never talk to each other never
// make the same one.
#pragma once

#include <string>
#include <string_view>

namespace lumo::cli::records {

std::string NewUuid();  // 8-4-4-4-12 lower-case hex digits
bool IsUuid(std::string_view text);

}  // namespace lumo::cli::records
