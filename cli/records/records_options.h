// The options of `lumo-flash records`, as the command line gives them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace lumo::cli::records {

struct RecordsCommandOptions {
    // Filters; since is already a UTC time as records write it.
    std::optional<std::string> serial, unit, station, outcome, since;
    std::size_t limit = 20;  // 0: every match
    bool json = false;       // one object per line
    bool csv = false;
    bool summary = false;    // per day, station and image
    std::optional<std::string> import_file;  // a journal to load into the target
    bool sync = false;                       // deliver the outbox of the target
};

}  // namespace lumo::cli::records
