// Reads one flat JSON object: string, integer, true/false and null values, no nesting. That
// is all a records journal line holds, and anything else in a line is refused.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace lumo::cli::records {

struct JsonNull {
    bool operator==(const JsonNull&) const = default;
};
using JsonValue = std::variant<JsonNull, bool, std::int64_t, std::string>;
using JsonObject = std::map<std::string, JsonValue, std::less<>>;

// The object, or none with what is wrong in `error`.
std::optional<JsonObject> ParseFlatJson(std::string_view text, std::string& error);

}  // namespace lumo::cli::records
