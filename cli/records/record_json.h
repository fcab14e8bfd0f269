// A record as one JSON object, with the field names the exports and the journal share.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "cli/records/record.h"

namespace lumo::cli::records {

// `with_writer` adds the writer's pid and process_start, which the journal keeps so that a
// later run can tell an interrupted attempt; exports leave them out.
std::string RecordJson(const Record& record, bool with_writer = false);

// A record from such an object; none, with why in `error`, when a field is missing, of the
// wrong type, or out of range (an outcome or ID that cannot be).
std::optional<Record> RecordFromJson(std::string_view line, std::string& error);

}  // namespace lumo::cli::records
