// Times of records: UTC, ISO 8601 with milliseconds (2026-12-11T07:01:02.345Z). Texts of this
// one form sort as the times do, which the stores and the filters rely on.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumo::cli::records {

std::string FormatUtc(std::chrono::system_clock::time_point time);
std::string NowUtc();

// Milliseconds since 1970 of a text in the form above, or none.
std::optional<std::int64_t> ParseUtcMs(std::string_view text);

// A --since value: "2026-12-11" or a full time as above. None when it is neither.
std::optional<std::string> SinceBound(std::string_view text);

}  // namespace lumo::cli::records
